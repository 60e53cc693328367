// Converting a retrieved mail into a host message: display names, quote marks, quoted-printable
// decoding, encoded words, the record limit, and the whole record (kludges, visible lines,
// names, flags) byte for byte.
#include "mail/MailConversion.h"
#include "mime/MimeText.h"
#include "net/Pop3Client.h"

#include <QByteArray>
#include <gtest/gtest.h>

#include <clocale>

#include <random>
#include <string>
#include <vector>

namespace pb {
namespace {

std::string textOf(const TNewMsg& rec) {
    return std::string(reinterpret_cast<const char*>(rec.data()) + sizeof(TNewMsgHeader),
                       rec.size() - sizeof(TNewMsgHeader) - 1);
}

TMailMessage mail(std::vector<std::string> head, std::vector<std::string> body, std::string from,
                  std::string subject) {
    TMailMessage m;
    for (auto& l : head)
        m.Head.Add(l);
    for (auto& l : body)
        m.Body.Add(l);
    m.From = std::move(from);
    m.Subject = std::move(subject);
    return m;
}

TEST(DisplayName, NameFormsOfAddressHeaders) {
    struct Case {
        const char* value;
        const char* name;
    };
    const Case cases[] = {
        {"Max Muster <max@example.org>", "Max Muster"},
        {"Max Muster   <max@example.org>", "Max Muster"},
        {"<max@example.org>", "max@example.org"},
        {"    <max@example.org>", "max@example.org"},
        {"max@example.org", "max@example.org"},
        {"\"Muster, Max\" <max@example.org>", "Muster, Max"},
        {"\"Peter \\\"Pit\\\" Meier\" <pit@example.org>", "Peter \"Pit\" Meier"},
        {"John Q. \"Der (Echte)\" Public <jqp@example.org>", "John Q. Der (Echte) Public"},
        {"max@example.org (Max Muster)", "Max Muster"},
        {"(Max) <max@example.org>", "Max"},
        // A comment is the name only without a phrase; nested ones stay its text.
        {"Max (Arbeit) <max@example.org> (privat)", "Max"},
        {"max@example.org (Max (der) \\(Echte\\) Muster)", "Max (der) (Echte) Muster"},
        {"Max <ma\"x@example.org>", "Max"},
        // The first mailbox of a list; a group gives its name.
        {"anna@example.org, Bert <b@example.org>", "anna@example.org"},
        {"\"A, B\" <ab@example.org>, C <c@example.org>", "A, B"},
        {"Muster, Max <max@example.org>, C <c@example.org>", "Muster, Max"},
        {"Freunde: anna@example.org, Bert <b@example.org>;", "Freunde"},
        {"\"Die Liste\":;", "Die Liste"},
        {"\"unclosed <max@example.org>", "unclosed <max@example.org>"},
        {"max@example.org (unclosed", "unclosed"},
        {"<max@example.org", "max@example.org"},
        {"\"\" <max@example.org>", "max@example.org"},
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ExtractDisplayName(c.value), c.name) << "value: " << c.value;
}

TEST(HeaderLookup, ReplyToAnyCaseToExactCase) {
    TStringList head{"From: a@example.org", "TO: wrong@example.org", "Cc: c@example.org",
                     "reply-to:   back@example.org", "To: Right <r@example.org>", "Reply-To: second@example.org", ""};
    std::string value = "stale";
    EXPECT_TRUE(FindReplyTo(head, value));
    EXPECT_EQ(value, "back@example.org");
    EXPECT_EQ(FindToHeader(head), " Right <r@example.org>");

    TStringList none{"From: a@example.org", "T", "To", ""};
    EXPECT_FALSE(FindReplyTo(none, value));
    EXPECT_EQ(value, "");
    EXPECT_EQ(FindToHeader(none), "");
}

TEST(QuoteMarks, ClosedUpNearTheStartOnly) {
    TStringList body{"> > > text",  "AB> > x",   "ABC> > x",  "    > > x", " > > x",   "> >",
                     ">",           "text > > x", "> x > > y", "",          ">  > x",   ">>> already"};
    CompactQuoteMarks(body);
    const std::vector<std::string> want{">>> text", "AB>> x",   "ABC>> x",   "    > > x", " >> x",   ">>",
                                        ">",        "text > > x", "> x > > y", "",         "> > x",   ">>> already"};
    EXPECT_EQ(body.Lines(), want);
}

TEST(QuotedPrintable, EscapesSoftBreaksAndMalformedOnes) {
    struct Case {
        const char* in;
        const char* out;
        int malformed;
    };
    const Case cases[] = {
        {"=41", "A", 0},
        {"a=3D41b", "a=41b", 0},            // an escaped "=" is not decoded again
        {"line=\r\nnext\r\n", "linenext\r\n", 0},
        {"=\r\n=41\r\n", "A\r\n", 0},       // the byte after a soft break may start an escape
        {"=c3=a4", "\xC3\xA4", 0},
        {"=4G and =", "=4G and =", 1},      // a final "=" is no escape
        {"=4=41", "=4A", 1},
        {"==41", "=A", 1},
        {"x=4", "x=4", 1},                  // only one character after the "="
        {"no escapes", "no escapes", 0},
    };
    for (const Case& c : cases) {
        std::string text = c.in;
        int count = 0;
        DecodeQuotedPrintable(text, 0, [&] { ++count; });
        EXPECT_EQ(text, c.out) << "input: " << c.in;
        EXPECT_EQ(count, c.malformed) << "input: " << c.in;
    }
    std::string text = "H=41: =41=";
    DecodeQuotedPrintable(text, 5);
    EXPECT_EQ(text, "H=41: A=");
}

// Most characters are converted without iconv; whatever the text holds, and wherever the first
// character iconv must see stands, UTF-8 by any of its names gives the same.
TEST(Charsets, Utf8ToWindows1252TheSameByEitherRoad) {
    const std::vector<std::string> pieces = {
        "plain ", "Gr\xC3\xBC\xC3\x9F" "e", "\xE2\x82\xAC", "\xE2\x80\x9EZitat\xE2\x80\x9C", "\xC2\xA0\xC3\xBF",
        "\xC2\x85", "\xC2\x81",                                 // C1 controls
        "\xE2\x86\x92", "\xC4\x81", "\xF0\x9F\x98\x80",         // not in the code page
        "\xC3", "\x80", "\xE2\x82", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xFF",   // malformed
        "\r\n",
    };
    std::mt19937 rng(7);
    for (int round = 0; round < 400; ++round) {
        std::string text;
        for (int k = static_cast<int>(rng() % 6); k >= 0; --k)
            text += pieces[rng() % pieces.size()];
        std::string fast = text, reference = text;
        ASSERT_TRUE(ConvertToWindows1252(fast, "utf-8"));
        ASSERT_TRUE(ConvertToWindows1252(reference, "ISO-10646/UTF8/"));   // UTF-8 to iconv alone
        EXPECT_EQ(fast, reference) << text;
    }
}

// What Windows-1252 lacks is written in its nearest Latin form, the same whatever the locale
// (iconv's own transliteration follows it), from UTF-8 and from other charsets alike.
TEST(Charsets, LettersTheCodePageLacksAreWrittenAlikeInEveryLocale) {
    const std::pair<std::string, std::string> rows[] = {
        {"T\xC5\x8Dky\xC5\x8D", "Tokyo"},
        {"\xC5\x81ukasz \xC5\xBB\xC3\xB3\xC5\x82\xC4\x87", "Lukasz Z\xF3lc"},
        {"\xC4\x90\xC3\xB4 \xC5\x9F\xC4\x9F\xC4\xB0\xC4\xB1 \xC8\x98\xC8\x9B", "D\xF4 sgIi St"},
        {"\xEF\xAC\x81 \xE2\x91\xA0 \xC3\x85ngstr\xC3\xB6m \xC5\x92", "fi 1 \xC5ngstr\xF6m \x8C"},
        {"\xE6\x9D\xB1\xE4\xBA\xAC \xF0\x9F\x98\x80", "?? ?"},
    };
    const std::string before = std::setlocale(LC_ALL, nullptr);
    for (const char* locale : {"C", "C.UTF-8"}) {
        if (!std::setlocale(LC_ALL, locale))
            continue;
        for (const auto& [utf8, expected] : rows) {
            SCOPED_TRACE(std::string(locale) + ": " + utf8);
            std::string text = utf8;
            ASSERT_TRUE(ConvertToWindows1252(text, "utf-8"));
            EXPECT_EQ(text, expected);
            EXPECT_EQ(DecodeEncodedWords("=?utf-8?b?" + QByteArray::fromStdString(utf8).toBase64().toStdString() + "?="),
                      expected);
        }
        std::string latin2 = "\xA3\xF3" "d\xBC";   // Łódź in ISO-8859-2
        ASSERT_TRUE(ConvertToWindows1252(latin2, "iso-8859-2"));
        EXPECT_EQ(latin2, "L\xF3" "dz");
    }
    std::setlocale(LC_ALL, before.c_str());
}

// 7-bit runs are passed several bytes at a time: an 8-bit byte must be seen in every place of
// such a step and in the bytes after the last whole step.
TEST(Charsets, AnEightBitByteIsSeenWhereverItStands) {
    for (std::size_t len = 1; len < 20; ++len) {
        EXPECT_FALSE(HasEightBit(std::string(len, 'a')));
        for (std::size_t at = 0; at < len; ++at) {
            std::string t(len, 'a');
            t[at] = '\xFF';
            EXPECT_TRUE(HasEightBit(t)) << len << " " << at;
            EXPECT_FALSE(IsUtf8(t)) << len << " " << at;
            std::string u = std::string(at, 'a') + "\xC3\xBC" + std::string(len - at, 'b');
            ASSERT_TRUE(ConvertToWindows1252(u, "utf-8"));
            EXPECT_EQ(u, std::string(at, 'a') + "\xFC" + std::string(len - at, 'b'));
        }
    }
}

TEST(ConvertMail, WithoutToLineOrBodyStillAMessage) {
    const TMailMessage m = mail({"From: a@example.org", ""}, {"", ""}, "a@example.org", "");
    const TNewMsg rec = ConvertMail(m);
    EXPECT_EQ(textOf(rec), "\x01"
                           "From: a@example.org\r\n\x01\r\n\x01REPLYADDR a@example.org\r\nFrom: a@example.org\r\n\r\n");
    const TNewMsgHeader& h = rec.Header();
    EXPECT_EQ(h.ToUserName.str(), "");
    EXPECT_EQ(h.FromUserName.str(), "a@example.org");
    EXPECT_EQ(h.Flags, 0x2014);
    EXPECT_EQ(h.Addr1, TFidoAddr{});
    EXPECT_EQ(h.Addr2, TFidoAddr{});
    const std::int32_t size = h.Size;   // a packed field: read it into an aligned one first
    EXPECT_EQ(size, static_cast<std::int32_t>(rec.size()));
    EXPECT_EQ(rec.size(), 238 + textOf(rec).size() + 1);
    EXPECT_EQ(rec.data()[rec.size() - 1], 0);

    const TMailMessage empty = mail({""}, {}, "", "");
    EXPECT_EQ(textOf(ConvertMail(empty)), "\x01\r\n\x01REPLYADDR \r\nFrom: \r\n\r\n");
}

TEST(ConvertMail, ARawNulNeverEndsTheStoredText) {
    using namespace std::string_literals;
    const TMailMessage m = mail({"X-Odd: a\0b"s, ""}, {"vor\0nach"s, "Ende"}, "a\0@example.org"s, "");
    const std::string text = textOf(ConvertMail(m));
    EXPECT_EQ(text.find('\0'), std::string::npos);
    EXPECT_EQ(text, "\x01X-Odd: a b\r\n\x01\r\n\x01REPLYADDR a @example.org\r\nFrom: a @example.org\r\n\r\n"
                    "vor nach\r\nEnde\r\n");
}

// A reader hides a line that begins with SOH and ends a line at CR: only the program's own
// kludge lines may begin with SOH, whatever a sender puts in the header or the text.
TEST(ConvertMail, NoSenderPlantsAHiddenLine) {
    const TMailMessage m = mail({"From: a\x01@example.org", "X-A: eins\r\x01REPLYADDR evil@example.org",
                                 "Reply-To: \x01MSGID: 1", "Subject: \x01=?utf-8?q?=01x?=", ""},
                                {"\x01REPLYADDR evil@example.org", "Text\r\x01MSGID: 2 x", "x\x01"},
                                "a\x01@example.org", " \x01=?utf-8?q?=01x?=");
    const std::string text = textOf(ConvertMail(m));
    EXPECT_EQ(text, "\x01" "From: a@@example.org\r\n\x01X-A: eins @REPLYADDR evil@example.org\r\n"
                    "\x01Reply-To: @MSGID: 1\r\n\x01Subject: @=?utf-8?q?=01x?=\r\n\x01\r\n"
                    "\x01REPLYADDR @MSGID: 1\r\nFrom: a@@example.org\r\nReply-To: @MSGID: 1\r\n\r\n"
                    "@REPLYADDR evil@example.org\r\nText\r@MSGID: 2 x\r\nx@\r\n");
    EXPECT_EQ(ConvertMail(m).Header().Subject.str(), "@@x");
}

// A name Windows-1252 cannot hold is written as well as it can be; of one with nothing readable
// left the field takes the address, when it fits whole (a name with "@" is where a reply goes).
TEST(ConvertMail, NamesTheBaseCannotHold) {
    const std::string longAddress = "ein.sehr.langer.name@beispiel.example.org";   // 41 characters
    const std::pair<std::string, std::string> rows[] = {
        {"=?utf-8?b?5bGx55Sw5aSq6YOO?= <taro@example.jp>", "taro@example.jp"},
        {"\xE5\xB1\xB1\xE7\x94\xB0 <taro@example.jp>", "taro@example.jp"},
        {"taro@example.jp (\xE5\xB1\xB1\xE7\x94\xB0)", "taro@example.jp"},
        {"=?utf-8?b?5bGx55Sw?= <" + longAddress + ">", "??"},
        {"\"\xE5\xB1\xB1\xE7\x94\xB0 Taro\" <taro@example.jp>", "?? Taro"},
        {"=?utf-8?q?T=C5=8Dky=C5=8D_Taro?= <t@example.jp>", "Tokyo Taro"},
        {"\xE5\xB1\xB1 <>", "?"},
    };
    for (const auto& [value, name] : rows) {
        SCOPED_TRACE(value);
        const TNewMsg rec = ConvertMail(mail({"To: " + value, ""}, {"x"}, value, "s"));
        EXPECT_EQ(rec.Header().FromUserName.str(), name);
        EXPECT_EQ(rec.Header().ToUserName.str(), name);
    }
}

TEST(ConvertMail, BodyLinesStayAsAddedWhetherTheMailIsKeptOrUsedUp) {
    // Leading empty lines go; a file's notice begins with a line end of its own and is one
    // line that is not empty, so the empty line above it stays.
    TMailMessage m = mail({""}, {"", "", "\r\nFile \"a.zip\" extracted", "> > x"}, "a@example.org", "");
    const std::string kept = textOf(ConvertMail(m));
    EXPECT_EQ(kept, "\x01\r\n\x01REPLYADDR a@example.org\r\nFrom: a@example.org\r\n\r\n"
                    "\r\nFile \"a.zip\" extracted\r\n>> x\r\n");
    EXPECT_EQ(m.Body.Lines(), (std::vector<std::string>{"", "", "\r\nFile \"a.zip\" extracted", "> > x"}));
    EXPECT_EQ(textOf(ConvertMail(std::move(m))), kept);
    EXPECT_TRUE(m.Body.Empty());
}

TEST(ConvertMail, NamesAndSubjectCutToTheHostFields) {
    const std::string name40(40, 'N');
    const std::string subject80 = std::string(80, 's');
    const TMailMessage m = mail({"To: \"" + name40 + "\" <b@example.org>", ""}, {"x"},
                                "   " + name40 + "  <a@example.org>", "   " + subject80);
    const TNewMsg rec = ConvertMail(m);
    const TNewMsgHeader& h = rec.Header();
    EXPECT_EQ(h.ToUserName.str(), name40.substr(0, 35));
    EXPECT_EQ(h.FromUserName.str(), name40.substr(0, 35));
    EXPECT_EQ(h.Subject.str(), subject80.substr(0, 71));
}

TEST(ConvertMail, EncodedWordsDecodedForPeopleRawForKludgesAndReplies) {
    std::vector<std::string> logged;
    auto log = [&](const std::string& e) { logged.push_back(e); };
    const std::string from = "=?ISO-8859-1?Q?J=F6rg?= <j@example.org>";
    TMailMessage m = mail({"From: " + from, "To: =?utf-8?q?B=C3=BCro?= <b@example.org>", ""},
                          {"Gr\xFC\xDF" "e, soft"}, from,
                          " =?utf-8?b?R3LDvMOfZQ==?= =?utf-8?q?_aus_K=C3=B6ln?=");
    m.BodyEndsOpen = true;
    m.ParseLog.Add("DEQP Fehler in Quoted-Printable-Nachricht");
    const TNewMsg rec = ConvertMail(m, log);
    const std::string text = textOf(rec);
    EXPECT_NE(text.find("\x01" "From: " + from + "\r\n"), std::string::npos);
    EXPECT_NE(text.find("\x01REPLYADDR " + from + "\r\n"), std::string::npos);
    EXPECT_NE(text.find("\r\nFrom: J\xF6rg <j@example.org>\r\n"), std::string::npos);
    // The last line ended in a soft line break: no line end after it.
    EXPECT_EQ(text.substr(text.size() - 13), "\r\nGr\xFC\xDF" "e, soft");
    EXPECT_EQ(rec.Header().FromUserName.str(), "J\xF6rg");
    EXPECT_EQ(rec.Header().ToUserName.str(), "B\xFCro");
    EXPECT_EQ(rec.Header().Subject.str(), "Gr\xFC\xDF" "e aus K\xF6ln");
    EXPECT_EQ(logged, std::vector<std::string>{"DEQP Fehler in Quoted-Printable-Nachricht"});
}

TEST(ConvertMail, ALongTextGivesTheCallerTurnsOnTheWay) {
    TMailMessage m = mail({""}, std::vector<std::string>(4, std::string(1 << 20, 'x')), "a@example.org", "");
    const std::string kept = textOf(ConvertMail(m));
    int turns = 0;
    EXPECT_EQ(textOf(ConvertMail(std::move(m), {}, [&] { ++turns; })), kept);
    EXPECT_GE(turns, 4);
}

TEST(ConvertMail, TextBeyondTheRecordLimitIsCutWithANote) {
    const std::string line(8 << 20, 'x');
    std::vector<std::string> body(9, line);
    body.push_back("never stored");
    std::vector<std::string> logged;
    const TNewMsg rec = ConvertMail(mail({"Subject: big", ""}, body, "a@example.org", " big"),
                                    [&](const std::string& e) { logged.push_back(e); });
    EXPECT_EQ(rec.size(), kMaxRecordSize);
    const std::string text = textOf(rec);
    EXPECT_EQ(text.find("never stored"), std::string::npos);
    EXPECT_NE(text.find("gek\xFCrzt"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 5), "***\r\n");
    EXPECT_EQ(logged.size(), 1u);
    // A mail whose text was cut while it arrived gets the note even when the rest fits.
    TMailMessage cut = mail({""}, {"kept"}, "a@example.org", "");
    cut.TextCut = true;
    EXPECT_NE(textOf(ConvertMail(cut)).find("kept\r\n\r\n***"), std::string::npos);
}

} // namespace
} // namespace pb
