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

namespace {

// The date, a blank, the time, a blank.
std::string stamp(const QDateTime& when, const QLocale& locale) {
    std::string line = fromUnicode(locale.toString(when.date(), ShortDateFormat(locale)));
    line += ' ';
    line += fromUnicode(locale.toString(when.time(), LongTimeFormat(locale)));
    line += ' ';
    return line;
}

std::string withText(std::string line, std::string_view text) {
    const std::size_t start = line.size();
    line += text;
    for (std::size_t i = start; i < line.size(); ++i) {
        auto c = static_cast<unsigned char>(line[i]);
        if (c < 0x20 || c == 0x7F)
            line[i] = ' ';
    }
    return line;
}

} // namespace

std::string FormatLogLine(const QDateTime& when, std::string_view text, const QLocale& locale) {
    return withText(stamp(when, locale), text);
}

std::string TLogClock::Line(std::string_view text) {
    const qint64 ms = QDateTime::currentMSecsSinceEpoch();
    const qint64 second = ms / 1000;   // never before 1970 on a running system
    const QLocale locale;
    if (second != second_ || locale != locale_) {
        // The zone's offset only changes on a whole second: the stamp holds for all of it.
        stamp_ = stamp(QDateTime::fromMSecsSinceEpoch(ms), locale);
        second_ = second;
        locale_ = locale;
    }
    return withText(stamp_, text);
}

} // namespace pb
