#pragma once
// How one line of the activity log is made: the date in the user's short date format, a
// blank, the time in the user's long time format, a blank, the entry's text.
#include <QDateTime>
#include <QLocale>
#include <QString>

#include <string>
#include <string_view>

namespace pb {

// The locale's long time format: hours, minutes and seconds as the user writes them, without
// the time-zone name that Qt's long format adds (a log line carries the wall-clock time only).
QString LongTimeFormat(const QLocale& locale);
// The locale's short date format.
QString ShortDateFormat(const QLocale& locale);

// One log line for `text` (Windows-1252 bytes) at `when`, in `locale`'s formats. Control
// characters in the text become blanks, so one entry is always exactly one line.
std::string FormatLogLine(const QDateTime& when, std::string_view text, const QLocale& locale);

// Log lines of the present moment in the default locale, one after the other. The date and the
// time are formatted once a second rather than for every line: the formats, the zone and the
// text of the two took more of a retrieval than anything else the log does.
class TLogClock {
public:
    std::string Line(std::string_view text);

private:
    qint64 second_ = -1;
    QLocale locale_;
    std::string stamp_;
};

} // namespace pb
