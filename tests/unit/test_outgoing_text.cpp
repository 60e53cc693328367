// Preparing a host message for sending: line cutting and wrapping, the head lines, recipients
// from To lines, the host's recipient name or the prompt, the log lines, quote initials.
#include "mail/OutgoingText.h"
#include "platform/AnsiText.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pb {
namespace {

std::vector<std::string> lines(std::string_view text) {
    TStringList body;
    PrepareBody(text, body);
    return body.Lines();
}

using Lines = std::vector<std::string>;

TEST(PrepareBody, LineEnds) {
    EXPECT_EQ(lines("eins\r\nzwei"), (Lines{"eins", "zwei"}));
    EXPECT_EQ(lines("eins\r\nzwei\r"), (Lines{"eins", "zwei"}));
    EXPECT_EQ(lines("eins\r\nzwei\r\n"), (Lines{"eins", "zwei", ""}));
    EXPECT_EQ(lines("eins\rzwei"), (Lines{"eins", "zwei"}));
    EXPECT_EQ(lines(""), (Lines{""}));
    EXPECT_EQ(lines("\r"), (Lines{""}));
    EXPECT_EQ(lines("\r\n"), (Lines{"", ""}));
    // Only one LF belongs to a line end; a second one stays, and LF alone ends no line.
    EXPECT_EQ(lines("a\r\n\nb"), (Lines{"a", "\nb"}));
    EXPECT_EQ(lines("a\nb"), (Lines{"a\nb"}));
    EXPECT_EQ(lines("a\r\r\nb"), (Lines{"a", "", "b"}));
}

TEST(PrepareBody, Wrapping) {
    const std::string x100(100, 'x');
    EXPECT_EQ(lines(x100), (Lines{std::string(72, 'x'), std::string(28, 'x')}));

    // Blank at position 70: the first 69 characters, then the 10 after the blank.
    const std::string l80 = std::string(69, 'a') + " " + std::string(10, 'b');
    EXPECT_EQ(lines(l80), (Lines{std::string(69, 'a'), std::string(10, 'b')}));

    // The last blank within the first 72 counts, even when more follow later.
    const std::string words = std::string(30, 'a') + " " + std::string(30, 'b') + " " + std::string(30, 'c');
    EXPECT_EQ(lines(words), (Lines{std::string(30, 'a') + " " + std::string(30, 'b'), std::string(30, 'c')}));

    // A blank at position 73 is beyond the reach: cut after 72, and the rest keeps it.
    const std::string l73 = std::string(72, 'a') + " " + std::string(5, 'b');
    EXPECT_EQ(lines(l73), (Lines{std::string(72, 'a'), " " + std::string(5, 'b')}));

    // Exactly 72 stays whole.
    EXPECT_EQ(lines(std::string(72, 'z')), (Lines{std::string(72, 'z')}));

    // A long text goes on wrapping; every piece keeps the limit.
    std::string longText;
    for (int i = 0; i < 60; ++i)
        longText += (i ? " Wort" : "Wort") + std::to_string(i);
    std::string joined;
    for (const std::string& l : lines(longText)) {
        EXPECT_LE(l.size(), kBodyLineWidth) << l;
        joined += (joined.empty() ? "" : " ") + l;
    }
    EXPECT_EQ(joined, longText);
}

TEST(PrepareBody, QuoteLinesAreNotWrapped) {
    const std::string quote3 = "EM> " + std::string(196, 'q');
    EXPECT_EQ(lines(quote3), (Lines{quote3}));
    const std::string quote5 = "ABCD>" + std::string(195, 'q');
    EXPECT_EQ(lines(quote5), (Lines{quote5}));

    const std::string late = "abcde>" + std::string(194, 'q');
    const auto wrapped = lines(late);
    ASSERT_EQ(wrapped.size(), 3u);
    EXPECT_EQ(wrapped[0], late.substr(0, 72));
    EXPECT_EQ(wrapped[1], late.substr(72, 72));
    EXPECT_EQ(wrapped[2], late.substr(144));

    // The quote test is made afresh on the rest: a rest that starts like a quote stays whole.
    const std::string restQuote = std::string(72, 'a') + "> " + std::string(100, 'b');
    EXPECT_EQ(lines(restQuote), (Lines{std::string(72, 'a'), "> " + std::string(100, 'b')}));
}

TEST(LineKinds, ToLinesKludgesQuotes) {
    for (const char* to : {"To:", "TO: x", "to:x", "tO: y"})
        EXPECT_TRUE(IsToLine(to)) << to;
    for (const char* other : {"To", "To :x", "T o:", " To:", "Tx:", ""})
        EXPECT_FALSE(IsToLine(other)) << other;
    EXPECT_TRUE(IsKludgeLine("\x01MSGID: 1"));
    EXPECT_FALSE(IsKludgeLine(" \x01MSGID"));
    EXPECT_FALSE(IsKludgeLine(""));
    EXPECT_TRUE(IsQuoteLine(">"));
    EXPECT_TRUE(IsQuoteLine("1234>"));
    EXPECT_FALSE(IsQuoteLine("12345>"));
}

TEST(DropHeadLines, FirstLineAndKludges) {
    TStringList body{"\x01" "first", "\x01" "PID: x", "\x01" "MSGID: y", "", "\x01" "late kludge", "Hallo"};
    DropHeadLines(body);
    EXPECT_EQ(body.Lines(), (Lines{"", "\x01" "late kludge", "Hallo"}));

    TStringList plain{"Erste Zeile", "Text"};
    DropHeadLines(plain);
    EXPECT_EQ(plain.Lines(), (Lines{"Text"}));

    TStringList onlyKludges{"x", "\x01" "a"};
    DropHeadLines(onlyKludges);
    EXPECT_TRUE(onlyKludges.Empty());

    TStringList none;
    DropHeadLines(none);
    EXPECT_TRUE(none.Empty());
}

TEST(StripQuoteInitials, MarkWithinFive) {
    TStringList body{" EM> Text", "EM>> Text", "ABCDEF> weit", "> schon", "ABCD> fuenf", "kein Zitat",
                     "", "a > b > c"};
    StripQuoteInitials(body);
    EXPECT_EQ(body.Lines(), (Lines{"> Text", ">> Text", "ABCDEF> weit", "> schon", "> fuenf", "kein Zitat", "",
                                   "> b > c"}));
}

const TAddressBook Book = {{"Erika Mustermann", "erika@example.org"},
                           {"Max", "max@example.org"},
                           {"Max", "second-max@example.org"}};

// Runs the resolution and keeps what it logged and whether it asked.
struct Resolution {
    TStringList body;
    TStringList to;
    std::vector<std::string> log;
    int asked = 0;
    std::vector<std::string> promptAnswer;

    void run(std::string_view toUserName) {
        ResolveRecipients(
            body, toUserName, Book, to, [this](const std::string& e) { log.push_back(toUtf8(e)); },
            [this] {
                ++asked;
                return promptAnswer;
            });
    }
};

TEST(ResolveRecipients, ToLineVariants) {
    Resolution r;
    // Any case, any number of blanks after the colon; an address is taken as it is, also when
    // the book has an entry of that text.
    r.body = {"tO:Max", "TO:    who@example.org", "to: Max", "Text"};
    r.run("");
    EXPECT_EQ(r.to.Lines(), (Lines{"Max <max@example.org>", "who@example.org", "Max <max@example.org>"}));
    EXPECT_EQ(r.body.Lines(), (Lines{"Text"}));
    EXPECT_EQ(r.log.size(), 3u);
}

TEST(ResolveRecipients, SecondToLineUnknown) {
    Resolution r;
    r.body = {"To: Max", "To: Niemand", "To: erika@example.org", "Text"};
    r.run("Erika Mustermann");
    EXPECT_EQ(r.to.Lines(), (Lines{"Max <max@example.org>", "erika@example.org"}));
    EXPECT_EQ(r.body.Lines(), (Lines{"Text"}));
    EXPECT_EQ(r.log, (Lines{"SMTP Unebkannter Empfänger", "SMTP Sende Nachricht an: Max <max@example.org>",
                            "SMTP Sende Nachricht an: erika@example.org"}));
}

TEST(ResolveRecipients, FirstToLineUnknownStopsTheSearch) {
    Resolution r;
    r.promptAnswer = {"never@example.org"};
    r.body = {"To: Niemand", "To: Max", "Text"};
    // The host's recipient would resolve, but a text that names its recipient is not overruled.
    r.run("Erika Mustermann");
    EXPECT_TRUE(r.to.Empty());
    EXPECT_EQ(r.body.Lines(), (Lines{"To: Max", "Text"}));
    EXPECT_EQ(r.log, (Lines{"SMTP Unebkannter Empfänger: Niemand"}));
    EXPECT_EQ(r.asked, 0);
}

TEST(ResolveRecipients, NameCompareIsExact) {
    Resolution r;
    r.body = {"To: Erika Mustermann ", "Text"};   // trailing blank
    r.run("");
    EXPECT_TRUE(r.to.Empty());
    EXPECT_EQ(r.log, (Lines{"SMTP Unebkannter Empfänger: Erika Mustermann "}));
}

TEST(ResolveRecipients, HostRecipientThenPrompt) {
    Resolution byName;
    byName.body = {"Hallo"};
    byName.run("Erika Mustermann");
    EXPECT_EQ(byName.to.Lines(), (Lines{"Erika Mustermann <erika@example.org>"}));
    EXPECT_EQ(byName.asked, 0);

    Resolution asked;
    asked.body = {"T o: Max", "Hallo"};   // not a To line
    asked.promptAnswer = {"a@example.org", "Max <max@example.org>"};
    asked.run("Unbekannt");
    EXPECT_EQ(asked.asked, 1);
    EXPECT_EQ(asked.to.Lines(), (Lines{"a@example.org", "Max <max@example.org>"}));
    EXPECT_EQ(asked.body.Lines(), (Lines{"T o: Max", "Hallo"}));
    EXPECT_EQ(asked.log, (Lines{"SMTP Sende Nachricht an: a@example.org",
                                "SMTP Sende Nachricht an: Max <max@example.org>"}));

    Resolution closedEmpty;
    closedEmpty.body = {};
    closedEmpty.run("Unbekannt");
    EXPECT_EQ(closedEmpty.asked, 1);
    EXPECT_TRUE(closedEmpty.to.Empty());
    EXPECT_TRUE(closedEmpty.log.empty());
}

TEST(PrepareOutgoing, WholeMessage) {
    const std::string text = "\x01MSGID: 2:240/1 1234\r\x01PID: Echodesk\rTo: Erika Mustermann\r\rHallo Erika,\r"
                             " EM> zitiert\r";
    TStringList body, to;
    std::vector<std::string> log;
    auto logFn = [&](const std::string& e) { log.push_back(e); };
    PrepareOutgoing(text, "", Book, false, body, to, logFn, {});
    EXPECT_EQ(body.Lines(), (Lines{"Hallo Erika,", " EM> zitiert"}));
    EXPECT_EQ(to.Lines(), (Lines{"Erika Mustermann <erika@example.org>"}));

    PrepareOutgoing(text, "", Book, true, body, to, logFn, {});
    EXPECT_EQ(body.Lines(), (Lines{"Hallo Erika,", "> zitiert"}));

    // One leading empty line goes, a second one stays.
    PrepareOutgoing("kopf\r\r\rText", "Max", Book, false, body, to, logFn, {});
    EXPECT_EQ(body.Lines(), (Lines{"", "Text"}));
}

} // namespace
} // namespace pb
