#pragma once
// Attachment data as a mail sender writes it: base64 in lines of `width` characters.
#include <QByteArray>

#include <string>

namespace pb::test {

inline std::string base64Lines(const std::string& data, int width = 60, const char* lineEnd = "\n") {
    const QByteArray b64 = QByteArray::fromStdString(data).toBase64();
    std::string out;
    for (qsizetype i = 0; i < b64.size(); i += width)
        out += b64.mid(i, width).toStdString() + lineEnd;
    return out;
}

} // namespace pb::test
