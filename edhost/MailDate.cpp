#include "MailDate.h"

#include <string>

namespace pb::edhost {
namespace {

// The value with every comment (nested, with quoted pairs) turned into a blank: the obsolete
// form allows one between any two parts. nullopt when the parentheses do not pair.
std::optional<std::string> withoutComments(std::string_view v) {
    std::string out;
    out.reserve(v.size());
    int depth = 0;
    for (std::size_t i = 0; i < v.size(); ++i) {
        const char c = v[i];
        if (depth == 0 && c != '(') {
            if (c == ')')
                return std::nullopt;
            out += c;
        } else if (c == '\\') {
            ++i;
        } else if (c == '(') {
            ++depth;
        } else if (c == ')' && --depth == 0) {
            out += ' ';
        }
    }
    if (depth != 0)
        return std::nullopt;
    return out;
}

bool letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool digit(char c) { return c >= '0' && c <= '9'; }

bool sameLetters(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if ((a[i] | 0x20) != (b[i] | 0x20))
            return false;
    return true;
}

// The parts of a date-time in turn, blanks and line folds between them passed over.
class Parts {
public:
    explicit Parts(std::string_view s) : s_(s) {}

    // A number of minDigits..maxDigits digits; *digits gets how many it had.
    std::optional<int> number(std::size_t minDigits, std::size_t maxDigits, std::size_t* digits = nullptr) {
        blanks();
        const std::size_t start = i_;
        int v = 0;
        while (i_ < s_.size() && digit(s_[i_]) && i_ - start < 9)
            v = v * 10 + (s_[i_++] - '0');
        const std::size_t n = i_ - start;
        if (n < minDigits || n > maxDigits || (i_ < s_.size() && digit(s_[i_])))
            return std::nullopt;
        if (digits)
            *digits = n;
        return v;
    }
    std::string_view word() {
        blanks();
        const std::size_t start = i_;
        while (i_ < s_.size() && letter(s_[i_]))
            ++i_;
        return s_.substr(start, i_ - start);
    }
    bool take(char c) {
        blanks();
        if (i_ < s_.size() && s_[i_] == c) {
            ++i_;
            return true;
        }
        return false;
    }
    // The next character, blanks passed over; '\0' at the end.
    char peek() {
        blanks();
        return i_ < s_.size() ? s_[i_] : '\0';
    }
    // Exactly four digits right here, with nothing between them and what came before.
    std::optional<int> fourDigitsHere() {
        if (i_ + 4 > s_.size())
            return std::nullopt;
        int v = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            if (!digit(s_[i_ + k]))
                return std::nullopt;
            v = v * 10 + (s_[i_ + k] - '0');
        }
        i_ += 4;
        if (i_ < s_.size() && digit(s_[i_]))
            return std::nullopt;
        return v;
    }
    bool atEnd() {
        blanks();
        return i_ == s_.size();
    }

private:
    void blanks() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\r' || s_[i_] == '\n'))
            ++i_;
    }
    std::string_view s_;
    std::size_t i_ = 0;
};

constexpr std::string_view kDays[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
constexpr std::string_view kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The zones older mailers name, in hours east of UTC. Any other name (the military letters
// included, whose sign was mixed up in practice) says only that the time is given in UTC.
struct NamedZone {
    std::string_view name;
    int hours;
};
constexpr NamedZone kZones[] = {{"UT", 0},  {"GMT", 0}, {"EST", -5}, {"EDT", -4}, {"CST", -6},
                                {"CDT", -5}, {"MST", -7}, {"MDT", -6}, {"PST", -8}, {"PDT", -7}};

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar.
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

bool leapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

} // namespace

std::optional<MailDate> parseMailDate(std::string_view value) {
    const auto text = withoutComments(value);
    if (!text)
        return std::nullopt;
    Parts p(*text);
    if (letter(p.peek())) {
        const std::string_view day = p.word();
        bool known = false;
        for (std::string_view d : kDays)
            known = known || sameLetters(day, d);
        if (!known || !p.take(','))
            return std::nullopt;
    }
    const auto day = p.number(1, 2);
    int month = 0;
    const std::string_view monthName = p.word();
    for (int m = 0; m < 12; ++m)
        if (sameLetters(monthName, kMonths[m]))
            month = m + 1;
    std::size_t yearDigits = 0;
    auto year = p.number(2, 9, &yearDigits);
    if (!day || month == 0 || !year)
        return std::nullopt;
    // Two digits: 1950-2049; three: counted from 1900.
    if (yearDigits == 2)
        *year += *year < 50 ? 2000 : 1900;
    else if (yearDigits == 3)
        *year += 1900;
    const auto hour = p.number(2, 2);
    const bool colon = p.take(':');
    const auto minute = p.number(2, 2);
    std::optional<int> second = 0;
    if (p.take(':'))
        second = p.number(2, 2);
    if (!hour || !colon || !minute || !second)
        return std::nullopt;

    int offset = 0;
    if (const char sign = p.peek(); sign == '+' || sign == '-') {
        p.take(sign);
        const auto hhmm = p.fourDigitsHere();
        if (!hhmm || *hhmm / 100 > 23 || *hhmm % 100 > 59)
            return std::nullopt;
        offset = (*hhmm / 100 * 60 + *hhmm % 100) * 60 * (sign == '-' ? -1 : 1);
    } else {
        const std::string_view zone = p.word();
        if (zone.empty() || zone.size() > 5 || sameLetters(zone, "J"))
            return std::nullopt;
        for (const NamedZone& z : kZones)
            if (sameLetters(zone, z.name))
                offset = z.hours * 3600;
    }
    if (!p.atEnd())
        return std::nullopt;

    static constexpr int kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const int monthDays = kMonthDays[month - 1] + (month == 2 && leapYear(*year) ? 1 : 0);
    if (*year < 1900 || *day < 1 || *day > monthDays || *hour > 23 || *minute > 59 || *second > 60)
        return std::nullopt;
    MailDate d;
    d.Offset = offset;
    d.Utc = daysFromCivil(*year, static_cast<unsigned>(month), static_cast<unsigned>(*day)) * 86400 +
            *hour * 3600 + *minute * 60 + *second - offset;
    return d;
}

} // namespace pb::edhost
