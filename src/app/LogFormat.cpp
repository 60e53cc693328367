#include "app/LogFormat.h"

#include "platform/AnsiText.h"

namespace pb {

QString ShortDateFormat(const QLocale& locale) {
    return locale.dateFormat(QLocale::ShortFormat);
}

QString LongTimeFormat(const QLocale& locale) {
    const QString fmt = locale.timeFormat(QLocale::LongFormat);
    QString out;
    bool quoted = false;
    for (qsizetype i = 0; i < fmt.size(); ++i) {
        QChar c = fmt[i];
        if (c == u'\'') {
            quoted = !quoted;
            out += c;
        } else if (!quoted && c == u't') {
            continue; // the time-zone field in any of its lengths
        } else {
            out += c;
        }
    }
    return out.simplified();
}

std::string FormatLogLine(const QDateTime& when, std::string_view text, const QLocale& locale) {
    std::string line = fromUnicode(locale.toString(when.date(), ShortDateFormat(locale)));
    line += ' ';
    line += fromUnicode(locale.toString(when.time(), LongTimeFormat(locale)));
    line += ' ';
    const std::size_t start = line.size();
    line += text;
    for (std::size_t i = start; i < line.size(); ++i) {
        auto c = static_cast<unsigned char>(line[i]);
        if (c < 0x20 || c == 0x7F)
            line[i] = ' ';
    }
    return line;
}

} // namespace pb
