#include "platform/AnsiText.h"

#include <QList>
#include <array>

namespace pb {
namespace {

// Unicode code points of the bytes 0x80..0x9F; the rest of the code page equals Latin-1.
constexpr std::array<char16_t, 32> kHighTable = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

char encodeChar(char32_t cp) {
    const int b = windows1252Byte(cp);
    return b < 0 ? '?' : static_cast<char>(b);
}

} // namespace

int windows1252Byte(char32_t cp) {
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF))
        return static_cast<int>(cp);
    if (cp > 0xFF && cp < 0x152)
        return -1;   // below the lowest character of the table's upper half
    for (std::size_t i = 0; i < kHighTable.size(); ++i)
        if (kHighTable[i] == cp)
            return static_cast<int>(0x80 + i);
    return -1;
}

std::string ansi(std::string_view utf8) {
    return fromUnicode(QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size())));
}

QString toUnicode(std::string_view cp1252) {
    QString out;
    out.reserve(static_cast<qsizetype>(cp1252.size()));
    for (unsigned char c : cp1252) {
        if (c >= 0x80 && c < 0xA0)
            out.append(QChar(kHighTable[c - 0x80]));
        else
            out.append(QChar(c));
    }
    return out;
}

std::string fromUnicode(const QString& text) {
    std::string out;
    out.reserve(static_cast<std::size_t>(text.size()));
    for (char32_t cp : text.toUcs4())
        out.push_back(encodeChar(cp));
    return out;
}

std::string toUtf8(std::string_view cp1252) {
    return toUnicode(cp1252).toStdString();
}

} // namespace pb
