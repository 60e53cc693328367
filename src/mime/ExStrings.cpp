#include "mime/ExStrings.h"

#include <algorithm>
#include <array>

namespace pb {
namespace {

constexpr std::array<unsigned char, 256> makeUpperTable() {
    std::array<unsigned char, 256> t{};
    for (int c = 0; c < 256; ++c)
        t[c] = static_cast<unsigned char>(c);
    for (int c = 'a'; c <= 'z'; ++c)
        t[c] = static_cast<unsigned char>(c - 32);
    for (int c = 0xE0; c <= 0xFE; ++c)
        if (c != 0xF7)   // the division sign has no capital
            t[c] = static_cast<unsigned char>(c - 32);
    t[0x9A] = 0x8A;   // š Š
    t[0x9C] = 0x8C;   // œ Œ
    t[0x9E] = 0x8E;   // ž Ž
    t[0xFF] = 0x9F;   // ÿ Ÿ
    return t;
}
constexpr auto kUpper = makeUpperTable();

inline unsigned char up(char c) { return kUpper[static_cast<unsigned char>(c)]; }

std::string_view headerName(std::string_view line, bool& hasColon) {
    auto colon = line.find(':');
    hasColon = colon != std::string_view::npos;
    return hasColon ? line.substr(0, colon) : std::string_view{};
}

} // namespace

std::string AnsiUpperCase(std::string_view Text) {
    std::string out(Text);
    for (char& c : out)
        c = static_cast<char>(up(c));
    return out;
}

int AnsiCompareText(std::string_view A, std::string_view B) {
    std::size_t n = std::min(A.size(), B.size());
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char a = up(A[i]), b = up(B[i]);
        if (a != b)
            return a < b ? -1 : 1;
    }
    return A.size() == B.size() ? 0 : (A.size() < B.size() ? -1 : 1);
}

bool AnsiSameText(std::string_view A, std::string_view B) {
    return A.size() == B.size() && AnsiCompareText(A, B) == 0;
}

std::string AsciiLower(std::string_view Text) {
    std::string out(Text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string NthWord(std::string_view Text, char Separator, int N) {
    std::string word;
    int field = 1;
    for (char c : Text) {
        if (c == Separator) {
            if (field == N)
                break;
            ++field;
        } else if (field == N) {
            word.push_back(c);
        }
    }
    return word;
}

std::string CopyFrom(const std::string& Text, std::size_t From, std::size_t Count) {
    if (From == 0 || From > Text.size())
        return {};
    return Text.substr(From - 1, Count);
}

// ---- TStringList ---------------------------------------------------------------------------

TStringList::TStringList(std::initializer_list<std::string> Lines) : lines_(Lines) {}

void TStringList::checkIndex(int Index, int Limit) const {
    if (Index < 0 || Index > Limit)
        throw EStringListError("List index out of bounds (" + std::to_string(Index) + ")");
}

const std::string& TStringList::operator[](int Index) const {
    checkIndex(Index, Count() - 1);
    return lines_[static_cast<std::size_t>(Index)];
}

int TStringList::Add(std::string S) {
    if (!sorted_) {
        lines_.push_back(std::move(S));
        return Count() - 1;
    }
    auto at = std::upper_bound(lines_.begin(), lines_.end(), S, [](const std::string& a, const std::string& b) {
        return AnsiCompareText(a, b) < 0;
    });
    at = lines_.insert(at, std::move(S));
    return static_cast<int>(at - lines_.begin());
}

void TStringList::Insert(int Index, std::string S) {
    if (sorted_)
        throw EStringListError("Operation not allowed on sorted list");
    checkIndex(Index, Count());
    lines_.insert(lines_.begin() + Index, std::move(S));
}

void TStringList::Put(int Index, std::string S) {
    if (sorted_)
        throw EStringListError("Operation not allowed on sorted list");
    checkIndex(Index, Count() - 1);
    lines_[static_cast<std::size_t>(Index)] = std::move(S);
}

void TStringList::Delete(int Index) {
    checkIndex(Index, Count() - 1);
    lines_.erase(lines_.begin() + Index);
}

void TStringList::SetSorted(bool Value) {
    if (Value && !sorted_)
        std::stable_sort(lines_.begin(), lines_.end(), [](const std::string& a, const std::string& b) {
            return AnsiCompareText(a, b) < 0;
        });
    sorted_ = Value;
}

std::string TStringList::Text() const {
    std::string out;
    for (const auto& line : lines_) {
        out += line;
        out += "\r\n";
    }
    return out;
}

// ---- TExStringList -------------------------------------------------------------------------

int TExStringList::HeaderIndex(std::string_view Name) const {
    const auto& lines = Lines();
    bool hasColon = false;
    if (!Sorted()) {
        for (std::size_t i = 0; i < lines.size(); ++i) {
            std::string_view name = headerName(lines[i], hasColon);
            if (hasColon && AnsiSameText(name, Name))
                return static_cast<int>(i);
        }
        return -1;
    }
    int lower = 0, upper = Count() - 1;
    while (lower <= upper) {
        int middle = lower + (upper - lower) / 2;
        int c = AnsiCompareText(headerName(lines[static_cast<std::size_t>(middle)], hasColon), Name);
        if (c < 0)
            lower = middle + 1;
        else if (c > 0)
            upper = middle - 1;
        else
            return middle;
    }
    return -1;
}

void TExStringList::SetHeader(std::string_view Name, std::string_view Value) {
    int i = HeaderIndex(Name);
    if (Value.empty()) {
        if (i >= 0)
            Delete(i);
        return;
    }
    std::string line;
    line.reserve(Name.size() + 2 + Value.size());
    line.append(Name).append(": ").append(Value);
    if (Sorted()) {
        // A sorted list keeps its order: the new line goes to its own place.
        if (i >= 0)
            Delete(i);
        Add(std::move(line));
    } else if (i >= 0) {
        Put(i, std::move(line));
    } else {
        Add(std::move(line));
    }
}

std::string Trim(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ')
        ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ')
        --e;
    return std::string(s.substr(b, e - b));
}

std::string_view WithoutLineEnd(std::string_view line) {
    if (!line.empty() && line.back() == '\n') {
        line.remove_suffix(1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
    }
    return line;
}

std::string CutLineEnd(std::string line) {
    line.resize(WithoutLineEnd(line).size());
    return line;
}

} // namespace pb
