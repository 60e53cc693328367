#pragma once
// String lists of Windows-1252 lines, and the mail-header list built on them.
//
// TStringList is the plain ordered list the mail components keep lines in (recipient lists,
// body lines, header lines). TExStringList adds the look-up and the setter by header name that
// the SMTP client composes its header with and that the POP3 client's header lines offer.
//
// Case-insensitive comparisons follow the Windows-1252 letters (so "ä" equals "Ä"); they never
// trim blanks.
#include "platform/Exceptions.h"

#include <string>
#include <string_view>
#include <vector>

namespace pb {

// Upper case of Windows-1252 text: a-z, the accented small letters and š, œ, ž, ÿ.
std::string AnsiUpperCase(std::string_view Text);
// Case-insensitive order of Windows-1252 texts: <0, 0 or >0 like strcmp, on upper-cased bytes.
int AnsiCompareText(std::string_view A, std::string_view B);
bool AnsiSameText(std::string_view A, std::string_view B);
// ASCII letters A-Z become a-z; every other byte stays (for protocol names and MIME tokens).
std::string AsciiLower(std::string_view Text);
// The N-th field of Text (from 1); every Separator ends a field, so adjacent separators make an
// empty field. Everything else stays, line ends included ("+OK 2 320\r\n", ' ', 3 -> "320\r\n").
std::string NthWord(std::string_view Text, char Separator, int N);

// The line end a line has (CR LF, or a bare LF) removed.
std::string CutLineEnd(std::string Line);
std::string_view WithoutLineEnd(std::string_view Line);
// Blanks and control characters off both ends.
std::string Trim(std::string_view Text);

// Characters of Text from position From (1-based), at most Count; empty when From is 0 or
// past the end.
std::string CopyFrom(const std::string& Text, std::size_t From, std::size_t Count = std::string::npos);

// An index outside the list, or an operation that would break a sorted list's order.
class EStringListError : public Exception {
public:
    using Exception::Exception;
};

class TStringList {
public:
    TStringList() = default;
    TStringList(std::initializer_list<std::string> Lines);
    virtual ~TStringList() = default;

    int Count() const { return static_cast<int>(lines_.size()); }
    bool Empty() const { return lines_.empty(); }
    // Line Index; raises EStringListError outside 0..Count()-1.
    const std::string& operator[](int Index) const;

    // Appends S (in a sorted list: inserts it at its place, after equal lines); returns its index.
    int Add(std::string S);
    // Inserts S before Index (0..Count()); not allowed on a sorted list.
    void Insert(int Index, std::string S);
    // Replaces line Index; not allowed on a sorted list.
    void Put(int Index, std::string S);
    void Delete(int Index);
    void Clear() { lines_.clear(); }

    bool Sorted() const { return sorted_; }
    // Turning sorting on sorts the lines (stable, case-insensitive).
    void SetSorted(bool Value);

    // Every line followed by CR LF.
    std::string Text() const;

    const std::vector<std::string>& Lines() const { return lines_; }
    auto begin() const { return lines_.begin(); }
    auto end() const { return lines_.end(); }

private:
    void checkIndex(int Index, int Limit) const;

    std::vector<std::string> lines_;
    bool sorted_ = false;
};

// Header lines "Name: value". A line's header name is its text before the first ":"; a line
// without a colon has no name (in a sorted list it counts as the empty name).
class TExStringList : public TStringList {
public:
    using TStringList::TStringList;

    // Index of the line whose header name equals Name ignoring case, or -1. An unsorted list
    // is scanned from the first line and the first match wins; a sorted list is searched
    // by halving, which finds a match when the list is in order by name.
    int HeaderIndex(std::string_view Name) const;

    // A non-empty Value replaces the line of that name with "Name: Value" in place, or appends
    // it when there is none (a sorted list moves it to its place). An empty Value removes the
    // line of that name, if any.
    void SetHeader(std::string_view Name, std::string_view Value);
};

} // namespace pb
