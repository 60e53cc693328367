// The program's German texts are written once in the sources as UTF-8. A text with an umlaut
// that reaches a log line, a box or the host without `ansi` arrives as "verschlÃ¼sselt" (its
// UTF-8 bytes read as Windows-1252). This reads every source of the program and finds, for each
// string literal with a byte above 0x7F, the call that takes it; only the conversions may.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// The calls that may take a non-ASCII literal, each for its reason.
const std::set<std::string> kConversions = {
    "ansi",                                        // into the host's character set
    "u", "fromUtf8", "QStringLiteral",             // into the window's Unicode
    "label", "button", "check", "group", "edit",   // dialog builders: their text goes through u()
    "LogFailure", "ListFailure", "SaveLists",      // take source text and call ansi() on it
    "complain", "usage", "Refuse", "kHelp",        // the terminal's UTF-8 (help, usage, one line on stderr)
};

struct Literal {
    std::string where;   // file:line
    std::string taker;   // innermost named call, else the name the statement assigns, else ""
};

bool identChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == ':';
}

// The identifier that ends just before `end` (blanks skipped), without its namespaces.
std::string nameBefore(const std::string& s, size_t end) {
    while (end > 0 && std::isspace(static_cast<unsigned char>(s[end - 1])))
        --end;
    size_t start = end;
    while (start > 0 && identChar(s[start - 1]))
        --start;
    std::string name = s.substr(start, end - start);
    if (const size_t colon = name.rfind("::"); colon != std::string::npos)
        name.erase(0, colon + 2);
    return name.empty() || std::isdigit(static_cast<unsigned char>(name[0])) ? std::string() : name;
}

std::vector<Literal> nonAsciiLiterals(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream buf;
    buf << in.rdbuf();
    const std::string s = buf.str();
    std::vector<Literal> out;
    std::vector<std::string> frames;   // one per open "(" (the call's name) or "{" ("")
    std::string assigned;              // the name before the statement's "=" so far
    int line = 1;
    for (size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '\n') {
            ++line;
        } else if (s.compare(i, 2, "//") == 0) {
            i = s.find('\n', i) - 1;
        } else if (s.compare(i, 2, "/*") == 0) {
            const size_t end = s.find("*/", i);
            line += static_cast<int>(std::count(s.begin() + i, s.begin() + end, '\n'));
            i = end + 1;
        } else if (c == '"' || c == '\'') {
            size_t j = i + 1;
            bool high = false;
            for (; s[j] != c; ++j) {
                high |= static_cast<unsigned char>(s[j]) > 0x7F;
                if (s[j] == '\\')
                    ++j;
            }
            // A character (U'ö') or a UTF-16/32 string is a code point, not text in a charset.
            const bool wide = c == '\'' || (i > 0 && std::strchr("uUL", s[i - 1]) && s[i - 1] != '\0');
            if (high && !wide) {
                std::string taker;
                for (auto f = frames.rbegin(); f != frames.rend() && taker.empty(); ++f)
                    taker = *f;
                out.push_back({file.filename().string() + ":" + std::to_string(line), taker.empty() ? assigned : taker});
            }
            i = j;
        } else if (c == '(' || c == '{') {
            frames.push_back(c == '(' ? nameBefore(s, i) : std::string());
        } else if ((c == ')' || c == '}') && !frames.empty()) {
            frames.pop_back();
        } else if (c == '=' && s[i + 1] != '=' && !std::strchr("=!<>+-*/", s[i - 1])) {
            assigned = nameBefore(s, i);
        }
        if (c == ';' || c == '}')
            assigned.clear();
    }
    return out;
}

TEST(SourceText, EveryNonAsciiLiteralGoesThroughAConversion) {
    int seen = 0;
    for (const auto& entry : fs::recursive_directory_iterator(fs::path(PB_SOURCE_DIR) / "src")) {
        const std::string ext = entry.path().extension().string();
        if (ext != ".cpp" && ext != ".h")
            continue;
        for (const Literal& l : nonAsciiLiterals(entry.path())) {
            ++seen;
            EXPECT_TRUE(kConversions.count(l.taker))
                << l.where << ": taken by \"" << l.taker << "\", not by a conversion (ansi for the host)";
        }
    }
    EXPECT_GT(seen, 50);
}

} // namespace
