// The message reader's events for a table of mails, each fed whole, line by line, in pieces of
// seven bytes and byte by byte: every feed must tell the same structure. One reader reads all
// rows in turn, so what one mail leaves behind would show in the next.
#include "mime/MimeReader.h"
#include "support/MimeTrace.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace pb {
namespace {

using enum TPartBody;
using test::TTrace;
constexpr std::size_t MaxLine = TMimeReader::MaxLine;

struct TRow {
    std::string Name;
    std::string Mail;
    std::vector<std::pair<std::string, TPartBody>> Answers;
    std::string Trace;
    bool Abandon = false;
};

std::string Crlf(std::string_view text) {
    std::string out;
    for (char c : text)
        out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

std::string Repeat(char c, std::size_t n) { return std::string(n, c); }

// Multiparts nested one deeper than the reader follows: the deepest is read as one part.
TRow TooDeep() {
    const int max = TMimeReader::MaxDepth;
    TRow row{"nesting past MaxDepth", "Content-Type: multipart/mixed; boundary=b0\n\n", {{"*", Bytes}}, {}};
    row.Trace = "H Content-Type: multipart/mixed; boundary=b0\nH\nF0 Content-Type: multipart/mixed; boundary=b0\n"
                "B0 multipart/mixed multipart=b0\n";
    for (int d = 1; d <= max; ++d) {
        const std::string b = "b" + std::to_string(d);
        row.Mail += "--b" + std::to_string(d - 1) + "\nContent-Type: multipart/mixed; boundary=" + b + "\n\n";
        row.Trace += "F" + std::to_string(d) + " Content-Type: multipart/mixed; boundary=" + b + "\n";
        row.Trace += "B" + std::to_string(d) + " multipart/mixed" + (d < max ? " multipart=" + b : "") + "\n";
    }
    row.Mail += "--b32\nx\n";
    row.Trace += "D --b32\\nx\\n\n";
    for (int d = max; d >= 0; --d)
        row.Trace += "E" + std::to_string(d) + " multipart/mixed\n";
    row.Trace += "M end\n";
    return row;
}

std::vector<TRow> Rows() {
    const std::string mixed = "Content-Type: multipart/mixed; boundary=b\n\n";
    const std::string mixedTrace =
        "H Content-Type: multipart/mixed; boundary=b\nH\nF0 Content-Type: multipart/mixed; boundary=b\n"
        "B0 multipart/mixed multipart=b\n";
    return {
        {"one text part, CR LF", Crlf("Subject: Hi\nFrom: a@b\n\nHello\n\nWorld\n"), {{"*", Lines}},
         "H Subject: Hi\nH From: a@b\nF0 Subject: Hi\nH\nF0 From: a@b\nB0 text/plain\n"
         "L Hello\nL\nL World\nE0 text/plain\nM end\n"},
        {"one text part, bare LF, last line without line end", "Subject: Hi\n\nHello\nWorld", {{"*", Lines}},
         "H Subject: Hi\nH\nF0 Subject: Hi\nB0 text/plain\nL Hello\nL World\nE0 text/plain\nM end\n"},
        {"folded field", "Subject: a\n  b\n\tc\nX: y\n\n", {{"*", Lines}},
         "H Subject: a\nH   b\nH \\tc\nH X: y\nF0 Subject: a  b\\tc\nH\nF0 X: y\nB0 text/plain\nE0 text/plain\nM end\n"},
        {"no blank line after the header", "Subject: a\nFrom: b", {{"*", Lines}},
         "H Subject: a\nH From: b\nF0 Subject: a\nF0 From: b\nM end\n"},
        {"preamble, parts as bytes, closing delimiter, epilogue, CR LF",
         Crlf(mixed + "preamble\n--b\nContent-Type: text/plain\n\none\ntwo\n--b\n"
                      "Content-Type: application/octet-stream\n\nAAA\n--b--\nepilogue\n--b\n"),
         {{"*", Bytes}},
         "H Content-Type: multipart/mixed; boundary=b\nH\nF0 Content-Type: multipart/mixed; boundary=b\n"
         "B0 multipart/mixed multipart=b\nD preamble\nF1 Content-Type: text/plain\nB1 text/plain\nD one\\r\\ntwo\n"
         "E1 text/plain\nF1 Content-Type: application/octet-stream\nB1 application/octet-stream\nD AAA\n"
         "E1 application/octet-stream\nE0 multipart/mixed\nM end\n"},
        {"preamble, parts as bytes, closing delimiter, epilogue, bare LF",
         mixed + "preamble\n--b\nContent-Type: text/plain\n\none\ntwo\n--b--\nepilogue\n",
         {{"*", Bytes}},
         mixedTrace + "D preamble\nF1 Content-Type: text/plain\nB1 text/plain\nD one\\ntwo\nE1 text/plain\n"
                      "E0 multipart/mixed\nM end\n"},
        {"a multipart whose delimiter never comes holds its preamble, as lines or passed over",
         mixed + "text\n--bx\n\n--b-\nmore", {{"*", Lines}},
         mixedTrace + "L text\nL --bx\nL\nL --b-\nL more\nE0 multipart/mixed\nM end\n"},
        {"a nested multipart's preamble passed over", mixed + "--b\nContent-Type: multipart/related; boundary=c\n\n"
         "gone\n--c\n\nx\n--c--\n--b--\n", {{"multipart/related", Skip}, {"*", Lines}},
         mixedTrace + "F1 Content-Type: multipart/related; boundary=c\nB1 multipart/related multipart=c\n"
                      "B2 text/plain\nL x\nE2 text/plain\nE1 multipart/related\nE0 multipart/mixed\nM end\n"},
        {"a multipart without boundary, or with one past the bound, is one text/plain part",
         "Content-Type: multipart/mixed; boundary=\"" + Repeat('x', TMimeReader::MaxBoundary + 1) + "\"\n\n--" +
             Repeat('x', TMimeReader::MaxBoundary + 1) + "\ntext\n",
         {{"*", Lines}},
         "H Content-Type: multipart/mixed; boundary=\"x{257}\"\nH\nF0 Content-Type: multipart/mixed; "
         "boundary=\"x{257}\"\nB0 text/plain\nL --x{257}\nL text\nE0 text/plain\nM end\n"},
        {"a multipart without boundary", "Content-Type: multipart/alternative\n\nHallo\n", {{"*", Lines}},
         "H Content-Type: multipart/alternative\nH\nF0 Content-Type: multipart/alternative\nB0 text/plain\n"
         "L Hallo\nE0 text/plain\nM end\n"},
        {"a nested multipart that uses the same boundary: the inner one's first",
         mixed + "--b\nContent-Type: multipart/alternative; boundary=b\n\n--b\nContent-Type: text/plain\n\ninner\n"
                 "--b--\n--b\nContent-Type: text/html\n\nouter\n--b--\n",
         {{"*", Lines}},
         mixedTrace + "F1 Content-Type: multipart/alternative; boundary=b\nB1 multipart/alternative multipart=b\n"
                      "F2 Content-Type: text/plain\nB2 text/plain\nL inner\nE2 text/plain\nE1 multipart/alternative\n"
                      "F1 Content-Type: text/html\nB1 text/html\nL outer\nE1 text/html\nE0 multipart/mixed\nM end\n"},
        {"an enclosing delimiter ends the inner multipart; a part without header fields",
         "Content-Type: multipart/mixed; boundary=out\n\n--out\nContent-Type: multipart/mixed; boundary=in\n\n"
         "--in\n\ninner text\n--out\nContent-Type: text/plain\n\nsecond\n--out--\n",
         {{"*", Bytes}},
         "H Content-Type: multipart/mixed; boundary=out\nH\nF0 Content-Type: multipart/mixed; boundary=out\n"
         "B0 multipart/mixed multipart=out\nF1 Content-Type: multipart/mixed; boundary=in\n"
         "B1 multipart/mixed multipart=in\nB2 text/plain\nD inner text\nE2 text/plain\nE1 multipart/mixed\n"
         "F1 Content-Type: text/plain\nB1 text/plain\nD second\nE1 text/plain\nE0 multipart/mixed\nM end\n"},
        {"delimiters with trailing blanks, lines that only begin like one, a closing one as the last line",
         mixed + "--b \t\nContent-Type: text/plain\n\n--bx\n--b x\n-- b\na--b\n--b--x\n---b\n--b-- ",
         {{"*", Bytes}},
         mixedTrace + "F1 Content-Type: text/plain\nB1 text/plain\nD --bx\\n--b x\\n-- b\\na--b\\n--b--x\\n---b\n"
                      "E1 text/plain\nE0 multipart/mixed\nM end\n"},
        {"the line end before a delimiter is the delimiter's, whatever the line ends",
         mixed + "--b\n\na\r\nb\nc\rd\nx\r\r\n\r\n--b\n\na\r\nb\nc\rd\nx\r\r\n\r\n--b--\n",
         {{"text/plain", Bytes}},
         mixedTrace + "B1 text/plain\nD a\\r\\nb\\nc\\rd\\nx\\r\\r\\n\nE1 text/plain\n"
                      "B1 text/plain\nD a\\r\\nb\\nc\\rd\\nx\\r\\r\\n\nE1 text/plain\nE0 multipart/mixed\nM end\n"},
        {"a part read as lines: each line without its line end", mixed + "--b\n\na\r\nb\nc\rd\nx\r\r\n\r\n--b--\n",
         {{"*", Lines}},
         mixedTrace + "B1 text/plain\nL a\nL b\nL c\\rd\nL x\\r\nL\nE1 text/plain\nE0 multipart/mixed\nM end\n"},
        {"a part cut off by the end of the mail keeps its last line end", Crlf(mixed + "--b\n\ndata\n"), {{"*", Bytes}},
         "H Content-Type: multipart/mixed; boundary=b\nH\nF0 Content-Type: multipart/mixed; boundary=b\n"
         "B0 multipart/mixed multipart=b\nB1 text/plain\nD data\\r\\n\nE1 text/plain\nE0 multipart/mixed\nM end\n"},
        {"a delimiter cuts a part's header",
         mixed + "--b\nContent-Type: text/html\nContent-Disposition: attachment;\n--b\nContent-Type: text/plain\n\nx\n--b--\n",
         {{"*", Bytes}},
         mixedTrace + "F1 Content-Type: text/html\nF1 Content-Disposition: attachment;\nF1 Content-Type: text/plain\n"
                      "B1 text/plain\nD x\nE1 text/plain\nE0 multipart/mixed\nM end\n"},
        {"invalid types are text/plain without charset; a multipart without subtype is mixed",
         "Content-Type: multipart; boundary=b\n\n--b\nContent-Type: text; charset=utf-8\n\n"
         "--b\nContent-Type: text/plain (comment); charset=utf-8\n\n--b\nContent-Type: image/; name=x.png\n\n--b--\n",
         {{"*", Bytes}},
         "H Content-Type: multipart; boundary=b\nH\nF0 Content-Type: multipart; boundary=b\n"
         "B0 multipart/mixed multipart=b\nF1 Content-Type: text; charset=utf-8\nB1 text/plain\nE1 text/plain\n"
         "F1 Content-Type: text/plain (comment); charset=utf-8\nB1 text/plain charset=utf-8\nE1 text/plain\n"
         "F1 Content-Type: image/; name=x.png\nB1 text/plain name=x.png\nE1 text/plain\nE0 multipart/mixed\nM end\n"},
        {"names in encoded words and RFC 2231, encoding and disposition",
         mixed + "--b\nContent-Type: application/pdf; name=\"=?UTF-8?B?w6RyZ2VyLnBkZg==?=\"\n"
                 "Content-Disposition: attachment\n\n--b\nContent-Type: image/png\n"
                 "Content-Disposition: inline; filename*=UTF-8''%C3%BCber.png\n\n"
                 "--b\nContent-Transfer-Encoding:  BASE64 \nContent-Type: text/plain; charset=\"ISO-8859-1\"\n\n--b--\n",
         {{"*", Skip}},
         mixedTrace + "F1 Content-Type: application/pdf; name=\"=?UTF-8?B?w6RyZ2VyLnBkZg==?=\"\n"
                      "F1 Content-Disposition: attachment\nB1 application/pdf name=ärger.pdf attachment\n"
                      "E1 application/pdf\nF1 Content-Type: image/png\n"
                      "F1 Content-Disposition: inline; filename*=UTF-8''%C3%BCber.png\nB1 image/png name=über.png\n"
                      "E1 image/png\nF1 Content-Transfer-Encoding:  BASE64 \n"
                      "F1 Content-Type: text/plain; charset=\"ISO-8859-1\"\nB1 text/plain charset=ISO-8859-1 enc=base64\n"
                      "E1 text/plain\nE0 multipart/mixed\nM end\n"},
        {"a part passed over, delimiter-like lines and all",
         mixed + "--b\nContent-Type: text/html\n\n<p>\n--bx\n--b\n\nafter\n--b--\n", {{"text/html", Skip}, {"*", Lines}},
         mixedTrace + "F1 Content-Type: text/html\nB1 text/html\nE1 text/html\nB1 text/plain\nL after\nE1 text/plain\n"
                      "E0 multipart/mixed\nM end\n"},
        {"the rest of the mail as it came", mixed + "--b\n\nt\n--b\nContent-Type: application/x-rest\n\nr1\n--b\n\nt2\n--b--\nepi\n",
         {{"application/x-rest", RestOfMail}, {"*", Lines}},
         mixedTrace + "B1 text/plain\nL t\nE1 text/plain\nF1 Content-Type: application/x-rest\nB1 application/x-rest\n"
                      "R --b\\nContent-Type: application/x-rest\\n\\n\nD r1\\n--b\\n\\nt2\\n--b--\\nepi\\n\n"
                      "E1 application/x-rest\nE0 multipart/mixed\nM end\n"},
        TooDeep(),
        {"an over-long header line is cut", "Subject: " + Repeat('x', MaxLine) + "\r\n\r\nbody\r\n", {{"*", Lines}},
         "H Subject: x{" + std::to_string(MaxLine - 9) + "}\nH\nF0 Subject: x{" +
             std::to_string(TMimeReader::MaxField - 9) + "}\nB0 text/plain\nL body\nE0 text/plain\nM end cut\n"},
        {"an over-long text line is cut, one of MaxLine bytes is not",
         "\n" + Repeat('w', MaxLine) + "\r\n" + Repeat('y', MaxLine + 1) + "\nz", {{"*", Lines}},
         "H\nB0 text/plain\nL w{" + std::to_string(MaxLine) + "}\nL y{" + std::to_string(MaxLine) +
             "}\nL z\nE0 text/plain\nM end cut\n"},
        {"an over-long line of a part read as bytes comes whole and holds no delimiter",
         mixed + "--b\n\n" + Repeat('x', MaxLine) + "--b\r\n--b" + Repeat(' ', MaxLine) + "\n--b--\n", {{"*", Bytes}},
         mixedTrace + "B1 text/plain\nD x{" + std::to_string(MaxLine) + "}--b\\r\\n--b {" + std::to_string(MaxLine) +
             "}\nE1 text/plain\nE0 multipart/mixed\nM end\n"},
        {"broken off in a part read as bytes: what came is handed on, no part ends",
         Crlf(mixed + "--b\n\nabc\n--"), {{"*", Bytes}},
         "H Content-Type: multipart/mixed; boundary=b\nH\nF0 Content-Type: multipart/mixed; boundary=b\n"
         "B0 multipart/mixed multipart=b\nB1 text/plain\nD abc\\r\\n--\nM abandoned\n",
         true},
        {"broken off in a part read as lines", "\nline\nlin", {{"*", Lines}},
         "H\nB0 text/plain\nL line\nL lin\nM abandoned\n", true},
        {"broken off in the header", "Subject: a\nFrom: b", {{"*", Lines}},
         "H Subject: a\nH From: b\nF0 Subject: a\nF0 From: b\nM abandoned\n", true},
    };
}

// Each piece from one buffer, overwritten once it is fed, as a socket's buffer is.
void FeedIn(TMimeReader& reader, const std::string& mail, const std::function<std::size_t(std::size_t)>& next) {
    std::string piece;
    for (std::size_t at = 0; at < mail.size();) {
        const std::size_t n = std::min(next(at), mail.size() - at);
        piece.assign(mail, at, n);
        reader.Feed(piece);
        piece.assign(piece.size(), '#');
        at += n;
    }
}

TEST(MimeReader, TellsTheSameStructureHoweverTheMailIsCut) {
    const std::vector<TRow> rows = Rows();
    const std::vector<std::pair<std::string, std::function<std::size_t(const std::string&, std::size_t)>>> feeds = {
        {"whole", [](const std::string& m, std::size_t) { return m.size(); }},
        {"line by line",
         [](const std::string& m, std::size_t at) {
             const std::size_t lf = m.find('\n', at);
             return lf == std::string::npos ? m.size() - at : lf + 1 - at;
         }},
        {"in pieces of seven", [](const std::string&, std::size_t) { return std::size_t(7); }},
        {"byte by byte", [](const std::string&, std::size_t) { return std::size_t(1); }},
    };
    for (const auto& [feedName, next] : feeds) {
        TTrace trace;
        TMimeReader reader(trace);
        for (const TRow& row : rows) {
            SCOPED_TRACE(row.Name + ", fed " + feedName);
            trace.Reset();
            trace.Answers = row.Answers;
            reader.Begin();
            FeedIn(reader, row.Mail, [&](std::size_t at) { return next(row.Mail, at); });
            if (row.Abandon)
                reader.Abandon();
            else
                reader.End();
            EXPECT_EQ(trace.Text, row.Trace);
        }
    }
}

} // namespace
} // namespace pb
