// Splitting a retrieved mail into header, body and attachment files, fed line by line as the
// server sends it (dot-stuffed, ending with ".\r\n") without a network. Every feed carries the
// start of a following answer after the end-of-message line: the parse must stop right before
// it, whatever the mail looks like, or the session would fall out of step.
#include "mail/MailAssembler.h"
#include "net/Pop3Client.h"
#include "platform/AnsiText.h"
#include "platform/MessageLoop.h"
#include "support/Base64Lines.h"
#include "support/FileBytes.h"

#include <QByteArray>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <sys/stat.h>
#include <thread>

namespace pb {
namespace {

using test::readBytes;

// Lines as the server sends them.
std::string base64Lines(const std::string& data) { return test::base64Lines(data, 60, "\r\n"); }

const std::string NextAnswer = "+OK next answer\r\n";

// Serves `wire` line by line like ReadLn(TMimeReader::MaxLine): a longer line in pieces;
// running past its end is a closed connection.
struct Feed {
    std::string wire;
    std::size_t pos = 0;
    std::string ReadLn() {
        if (pos >= wire.size())
            throw ESockError("Connection closed");
        std::size_t lf = wire.find('\n', pos);
        lf = std::min({lf == std::string::npos ? wire.size() - 1 : lf, pos + TMimeReader::MaxLine - 1});
        std::string line = wire.substr(pos, lf + 1 - pos);
        pos = lf + 1;
        return line;
    }
    std::string rest() const { return wire.substr(pos); }
};

class MessageParse : public ::testing::Test {
protected:
    // Names made of arbitrary bytes are beyond QTemporaryDir's own clean-up.
    void TearDown() override { std::filesystem::remove_all(dir.path().toStdString()); }

    QTemporaryDir dir;
    std::string path = dir.path().toStdString() + "/";
    TUUProcessor coder;
    TMailMessage mail;
    std::size_t textInMemory = 1 << 20, textPiece = 1 << 20;

    // Parses one mail given as served (the end-of-message line added here).
    void parse(const std::string& served, std::size_t maxText = 64u << 20) {
        Feed feed{served + ".\r\n" + NextAnswer};
        TMultiLineReader lines([&](std::string& line, std::size_t) { line = feed.ReadLn(); });
        TMailAssembler assembler;
        assembler.MaxText = maxText;
        assembler.TextInMemory = textInMemory;
        assembler.TextPiece = textPiece;
        read(lines, assembler);
        EXPECT_EQ(feed.rest(), NextAnswer) << "the parse must end right after the mail";
    }
    // One mail of `lines` into `mail` as the POP3 component reads it: its pieces through the
    // reader into the assembler.
    void read(TMultiLineReader& lines, TMailAssembler& assembler) {
        TMimeReader reader(assembler);
        mail.Clear();
        assembler.Begin(mail, path, coder, {}, [] { processMessages(); });
        reader.Begin();
        lines.Begin();
        for (std::string piece; lines.NextPiece(piece);)
            reader.Feed(piece);
        reader.End();
    }
    std::vector<std::string> body() const { return mail.Body.Lines(); }
    std::string file(const std::string& name) const { return readBytes(path + name); }
    std::size_t fileCount() const {
        const auto it = std::filesystem::directory_iterator(dir.path().toStdString());
        return static_cast<std::size_t>(std::distance(begin(it), end(it)));
    }
};

std::string zipMail(const std::string& nameLine, const std::string& encoding,
                    const std::string& data, const std::string& ct = "multipart/mixed") {
    return "From: Sender <s@example.org>\r\n"
           "Subject: with file\r\n"
           "Content-Type: " + ct + "; boundary=\"XYZ\"\r\n"
           "\r\n"
           "preamble\r\n"
           "--XYZ\r\n"
           "Content-Type: text/plain\r\n"
           "\r\n"
           "see attachment\r\n"
           "--XYZ\r\n"
           "Content-Type: application/zip; " + nameLine + "\r\n"
           "Content-Transfer-Encoding: " + encoding + "\r\n"
           "\r\n" +
           base64Lines(data) +
           "--XYZ--\r\n"
           "epilogue\r\n";
}

// --- plain mails -------------------------------------------------------------------------------

TEST_F(MessageParse, PlainMailSplitsIntoHeadAndBodyWithDotStuffingUndone) {
    parse("From: a@example.org\r\n"
          "Subject: Hello there\r\n"
          "Message-ID: <1@x>\r\n"
          "\r\n"
          "first line\r\n"
          "..x\r\n"
          "...\r\n"
          "bare lf\n"
          "ends in cr\r\r\n"
          "\r\n");
    EXPECT_EQ(mail.Subject, " Hello there");
    EXPECT_EQ(mail.From, "a@example.org");
    EXPECT_EQ(mail.MessageId, "<1@x>");
    EXPECT_EQ(mail.Head.Count(), 4);
    EXPECT_EQ(mail.Head[3], "");
    EXPECT_EQ(mail.Head.HeaderIndex("message-id"), 2);
    EXPECT_EQ(body(), (std::vector<std::string>{"first line", ".x", "..", "bare lf", "ends in cr\r", ""}));
    EXPECT_TRUE(mail.Attachments.Empty());
}

TEST_F(MessageParse, EmptyBodyAndHeaderWithoutBlankLineEndAtTheMailsEnd) {
    parse("Subject: nothing\r\n\r\n");
    EXPECT_TRUE(mail.Body.Empty());
    parse("Subject: cut short\r\nX-Other: y\r\n");
    EXPECT_EQ(mail.Head.Count(), 2);
    EXPECT_TRUE(mail.Body.Empty());
}

TEST_F(MessageParse, MediaTypesAreReadInAnyLetterCase) {
    parse(zipMail("name=\"a.zip\"", "BASE64", "PK", "Multipart/Mixed"));
    EXPECT_EQ(body(), (std::vector<std::string>{"see attachment", "\r\nFile \"a.zip\" extracted"}));
    EXPECT_EQ(file("a.zip"), "PK");
}

// --- attachments ------------------------------------------------------------------------------

TEST_F(MessageParse, Base64PartIsDecodedAndRepeatedNamesGetSuffixes) {
    static const char bytes[] = "PK\x03\x04 binary \x00\xff data";
    const std::string zip(bytes, sizeof bytes - 1);
    parse(zipMail("name=\"a.zip\"", "base64", zip));
    EXPECT_EQ(body(), (std::vector<std::string>{"see attachment", "\r\nFile \"a.zip\" extracted"}));
    EXPECT_EQ(mail.Attachments.Lines(), std::vector<std::string>{"a.zip"});
    EXPECT_EQ(file("a.zip"), zip);
    EXPECT_FALSE(std::filesystem::exists(path + "Temp.mme"));

    parse(zipMail("name=\"a.zip\"", "base64", zip));
    EXPECT_EQ(mail.Attachments.Lines(), std::vector<std::string>{"a_1.zip"});
    EXPECT_EQ(file("a_1.zip"), zip);
    EXPECT_EQ(body().back(), "\r\nFile \"a_1.zip\" extracted");   // the name as saved
}

// Decoding a large attachment must not freeze the window: the owner's turn (here the message
// loop's) is called during the decode, so timers and a cancel button are handled. The coder's own progress hook stays in place.
// The text of an HTML mail read only in part ends with a note naming the file that holds it all.
TEST_F(MessageParse, AnHtmlTextReadInPartEndsWithANote) {
    std::string html = "<p>Anfang</p>";
    while (html.size() < 3000)
        html += "<p>weiter</p>\r\n";
    for (const std::size_t maxText : {std::size_t(64) << 20, std::size_t(1000)}) {
        parse("Content-Type: text/html\r\n\r\n" + html, maxText);
        const auto lines = body();
        ASSERT_GE(lines.size(), 3u);
        EXPECT_EQ(lines.front(), "Anfang");
        const bool cut = maxText < html.size();
        EXPECT_EQ(lines[lines.size() - 2] == ansi("*** Der Text dieser Nachricht war zu lang und ist hier gekürzt. Die "
                                                  "HTML-Fassung ist vollständig in der Datei \"text.html\" gespeichert. ***"),
                  cut) << lines[lines.size() - 2];
        EXPECT_EQ(mail.ParseLog.Count(), cut ? 1 : 0);
        EXPECT_EQ(file("text.html"), html);
        std::filesystem::remove(path + "text.html");
    }
}

// A second file of a name is numbered before its suffix, a double suffix kept whole.
TEST_F(MessageParse, RepeatedNamesAreNumberedBeforeTheirSuffix) {
    const std::pair<std::string, std::string> rows[] = {
        {"archive.tar.gz", "archive_1.tar.gz"}, {"Sicherung.TAR.BZ2", "Sicherung_1.TAR.BZ2"},
        {"invoice.pdf.exe", "invoice.pdf_1.exe"}, {"README", "README_1"},
        {"a.b.c", "a.b_1.c"},                     {".tar.gz", "__1.tar.gz"},
    };
    for (const auto& [name, second] : rows) {
        SCOPED_TRACE(name);
        const std::string part = "--b\r\nContent-Disposition: attachment; filename=\"" + name + "\"\r\n\r\nx\r\n";
        parse("Content-Type: multipart/mixed; boundary=b\r\n\r\n" + part + part + "--b--\r\n");
        ASSERT_EQ(mail.Attachments.Count(), 2);
        EXPECT_EQ(mail.Attachments[1], second);
        EXPECT_EQ(file(second), "x");
    }
}

TEST_F(MessageParse, WindowMessagesAreHandledWhileALargeAttachmentIsDecoded) {
    std::mt19937 rng(7);
    // Lower-case letters: their Base64 text never holds the boundary "XYZ".
    std::string data(2 << 20, '\0');
    for (char& c : data)
        c = static_cast<char>('a' + rng() % 26);
    int ownCalls = 0;
    coder.OnProgress = [&](TUUProcessor&) {
        // Long enough that the assembly sees time passing since its last turn of the loop.
        if (ownCalls++ == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
    };
    bool fired = false;
    QTimer::singleShot(0, [&] { fired = true; });
    parse(zipMail("name=\"big.bin\"", "base64", data));
    EXPECT_TRUE(fired) << "no message was dispatched during the decode";
    EXPECT_GT(ownCalls, 1);
    EXPECT_EQ(file("big.bin"), data);
    ASSERT_TRUE(coder.OnProgress);
    const int before = ownCalls;
    coder.OnProgress(coder);
    EXPECT_EQ(ownCalls, before + 1) << "the caller's own hook must be given back";
    EXPECT_EQ(coder.SourceStream, nullptr);
}

// Nor must reading the text of a large HTML-only mail, which the HTML parser takes in one go.
TEST_F(MessageParse, WindowMessagesAreHandledWhileTheTextOfALargeHtmlIsRead) {
    std::string html = "<html><body>\r\n";
    while (html.size() < 200 * 1024)
        html += "<p>Gr&uuml;&szlig;e <b>fett</b></p>\r\n";
    bool fired = false;
    QTimer::singleShot(0, [&] { fired = true; });
    parse("Content-Type: text/html; charset=utf-8\r\n\r\n" + html + "</body></html>\r\n");
    EXPECT_TRUE(fired) << "no message was dispatched while the HTML was read";
    ASSERT_GT(body().size(), 2u);
    EXPECT_EQ(body()[0], "Gr\xFC\xDF" "e fett");
    EXPECT_EQ(body().back(), "\r\nFile \"text.html\" extracted");
}

TEST_F(MessageParse, UnnamedPartsAndCapitalBase64) {
    // Every part without a name is text.tmp; a named part before it does not lend its name.
    parse("Content-Type: multipart/mixed; boundary=b1\r\n\r\n"
          "--b1\r\n\r\ntext\r\n"
          "--b1\r\nContent-Type: application/octet-stream\r\n\r\nraw one\r\n"
          "--b1\r\nContent-Type: application/pdf; name=\"doc.pdf\"\r\n"
          "Content-Transfer-Encoding: BASE64\r\n\r\nQUJD\r\n"
          "--b1\r\nContent-Type: application/octet-stream\r\n\r\nraw two\r\n"
          "--b1--\r\n");
    EXPECT_EQ(mail.Attachments.Lines(), (std::vector<std::string>{"text.tmp", "doc.pdf", "text_1.tmp"}));
    EXPECT_EQ(file("text.tmp"), "raw one");
    EXPECT_EQ(file("doc.pdf"), "ABC");   // the encoding's name is read in any case
    EXPECT_EQ(file("text_1.tmp"), "raw two");
}

TEST_F(MessageParse, UnnamedPartsOfManyMailsTakeTheLowestFreeSuffix) {
    // One assembler over the mails of a session, as the retrieval run keeps it.
    const std::string served = "Content-Type: multipart/mixed; boundary=b1\r\n\r\n"
                               "--b1\r\n\r\ntext\r\n"
                               "--b1\r\nContent-Type: application/octet-stream\r\n\r\n<p>html</p>\r\n"
                               "--b1--\r\n";
    Feed feed;
    TMultiLineReader lines([&](std::string& line, std::size_t) { line = feed.ReadLn(); });
    TMailAssembler assembler;
    auto fetch = [&] {
        feed = Feed{served + ".\r\n" + NextAnswer};
        read(lines, assembler);
        EXPECT_EQ(feed.rest(), NextAnswer);
        return mail.Attachments.Lines();
    };
    using Names = std::vector<std::string>;
    EXPECT_EQ(fetch(), Names{"text.tmp"});
    EXPECT_EQ(fetch(), Names{"text_1.tmp"});
    EXPECT_EQ(fetch(), Names{"text_2.tmp"});
    // Another program takes the next name meanwhile: its file is never overwritten.
    std::ofstream(path + "text_3.tmp") << "theirs";
    EXPECT_EQ(fetch(), Names{"text_4.tmp"});
    EXPECT_EQ(file("text_3.tmp"), "theirs");
    EXPECT_EQ(file("text_4.tmp"), "<p>html</p>");
    // A file removed between sessions leaves a gap that the next session fills first.
    std::filesystem::remove(path + "text_1.tmp");
    assembler.NewSession();
    EXPECT_EQ(fetch(), Names{"text_1.tmp"});
    EXPECT_EQ(fetch(), Names{"text_5.tmp"});
}

TEST_F(MessageParse, SinglePartBase64TextIsTheBody) {
    parse("Subject: encoded\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
          base64Lines("line one\r\nline two\r\n"));
    EXPECT_TRUE(mail.Attachments.Empty());
    EXPECT_EQ(body(), (std::vector<std::string>{"line one", "line two"}));
    EXPECT_TRUE(std::filesystem::is_empty(dir.path().toStdString()));
}

TEST_F(MessageParse, UuencodedPartIsDecoded) {
    // "Cat" uuencoded: count 3, one group of four characters.
    parse("Content-Type: multipart/mixed; boundary=\"q\"\r\n\r\n--q\r\n\r\nhi\r\n"
          "--q\r\nContent-Disposition: attachment; filename=\"cat.txt\"\r\n"
          "Content-Transfer-Encoding: X-UUENCODE\r\n\r\n"
          "#0V%T\r\n`\r\nend\r\n--q--\r\n");
    EXPECT_EQ(mail.Attachments.Lines(), std::vector<std::string>{"cat.txt"});
    EXPECT_EQ(file("cat.txt"), "Cat");
}

TEST_F(MessageParse, HostileAttachmentNamesStayInsideTheDirectory) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"../../escape.txt", "escape.txt"},
        {"C:\\Windows\\evil.exe", "evil.exe"},
        {"sub/dir/", "text.tmp"},
        {"..", "text_1.tmp"},
        {".", "text_2.tmp"},
        {"tab\there\x01.txt", "tabhere.txt"},
        {std::string("nul\0byte", 8), "nulbyte"},
    };
    for (const auto& [name, expected] : cases) {
        parse("Content-Type: multipart/mixed; boundary=z\r\n\r\n--z\r\n\r\nt\r\n"
              "--z\r\nContent-Type: text/plain; name=\"" + name + "\"\r\n\r\nx\r\n--z--\r\n");
        ASSERT_EQ(mail.Attachments.Count(), 1) << name;
        EXPECT_EQ(mail.Attachments[0], expected);
    }
    // Everything that was written is a plain file directly in the directory.
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path().toStdString()))
        EXPECT_EQ(entry.path().parent_path(), std::filesystem::path(dir.path().toStdString()));
    EXPECT_FALSE(std::filesystem::exists(dir.path().toStdString() + "/../escape.txt"));
    EXPECT_TRUE(std::filesystem::exists(path + "escape.txt"));
    EXPECT_TRUE(std::filesystem::exists(path + "evil.exe"));
    EXPECT_TRUE(std::filesystem::exists(path + "nulbyte"));
}

TEST_F(MessageParse, NamesThatCouldHurtGetALeadingUnderscoreAndNoLinkIsFollowed) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {".bash_profile", "_.bash_profile"}, {"-rf", "_-rf"},
        {"addressbook.lst", "_addressbook.lst"}, {"PBRIDGE.INI", "_PBRIDGE.INI"},
        {"readmsg.lst.new", "_readmsg.lst.new"}, {"Temp.mme", "_Temp.mme"},
        {"pbridge.lock", "_pbridge.lock"}, {"notes.txt", "notes.txt"},
    };
    for (const auto& [name, expected] : cases) {
        for (const char* encoding : {"7bit", "base64"}) {
            parse("Content-Type: multipart/mixed; boundary=z\r\n\r\n--z\r\n\r\nt\r\n"
                  "--z\r\nContent-Type: text/plain; name=\"" + name +
                  "\"\r\nContent-Transfer-Encoding: " + encoding + "\r\n\r\n" +
                  base64Lines("x") + "--z--\r\n");
            ASSERT_EQ(mail.Attachments.Count(), 1) << name;
            const std::string& got = mail.Attachments[0];
            if (std::string(encoding) == "7bit")
                EXPECT_EQ(got, expected);
            else   // the second one of the name, with a suffix
                EXPECT_EQ(got[0] == '_', expected[0] == '_') << name << " became " << got;
            struct stat st{};
            ASSERT_EQ(::lstat((path + mail.Attachments[0]).c_str(), &st), 0);
            EXPECT_TRUE(S_ISREG(st.st_mode));
            EXPECT_EQ(st.st_mode & 0777, 0600u) << mail.Attachments[0];
        }
    }
    // A link planted under the name a mail gives is never written through: the file takes the
    // next free name, and the link's target stays untouched.
    const std::string target = path + "victim";
    std::filesystem::create_symlink(target, path + "a.zip");
    parse(zipMail("name=\"a.zip\"", "base64", "PK"));
    EXPECT_EQ(mail.Attachments.Lines(), std::vector<std::string>{"a_1.zip"});
    EXPECT_FALSE(std::filesystem::exists(target));
    for (const auto& e : std::filesystem::directory_iterator(dir.path().toStdString()))
        EXPECT_NE(e.path().filename().string().rfind("Temp.mme", 0), 0u) << "left: " << e.path();
}

// --- structure ---------------------------------------------------------------------------------

// A multipart whose delimiter never comes, or that has none a reader could find, is read as
// one text/plain part: the body when there is none yet, else a file; nothing of it is lost,
// and the log says so. The whole mail as in the record: body lines, then the files.
TEST_F(MessageParse, AMultipartWithoutAUsableDelimiterIsReadAsText) {
    const std::string note = ansi("POP3 Trennzeile der mehrteiligen Mail nicht gefunden, ihr Inhalt als Text übernommen");
    const std::string b300(300, 'b'), b2000(2000, 'q');
    const std::string hidden = "--other\r\nContent-Type: application/pdf; name=a.pdf\r\n\r\nJVBERi0x\r\n--other--\r\n";
    struct Row {
        std::string name, mail;
        std::vector<std::string> body;
        std::map<std::string, std::string> files = {};
        bool noted = true;
    };
    const Row rows[] = {
        {"boundary never comes", "Content-Type: multipart/mixed; boundary=\"never\"\r\n\r\nonly text\r\n" + hidden,
         {"only text", "--other", "Content-Type: application/pdf; name=a.pdf", "", "JVBERi0x", "--other--"}},
        {"a boundary of 300 that never comes", "Content-Type: multipart/mixed; boundary=\"" + b300 + "\"\r\n\r\n" + hidden,
         {"--other", "Content-Type: application/pdf; name=a.pdf", "", "JVBERi0x", "--other--"}, {}, false},
        {"a boundary of 2000 that does come: past the bound, one text",
         "Content-Type: multipart/mixed;\r\n boundary=\"" + b2000 + "\"\r\n\r\n--" + b2000 + "\r\n\r\nHallo\r\n--" +
             b2000 + "--\r\n",
         {"--" + b2000, "", "Hallo", "--" + b2000 + "--"}, {}, false},
        {"no boundary at all, charset and encoding kept",
         "Content-Type: multipart/alternative; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
         "Gr=C3=BC=C3=9Fe\r\n",
         {"Gr\xFC\xDF" "e"}, {}, false},
        {"a nested multipart without its delimiter after the text: a file",
         "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\nText\r\n"
         "--b\r\nContent-Type: multipart/alternative; boundary=x\r\n\r\nversteckt\r\n--b--\r\n",
         {"Text", "\r\nFile \"text.tmp\" extracted"}, {{"text.tmp", "versteckt\r\n"}}},
        {"a preamble before real parts is not kept",
         "Content-Type: multipart/mixed; boundary=b\r\n\r\nThis is a multi-part message in MIME format.\r\n"
         "--b\r\n\r\nText\r\n--b--\r\n",
         {"Text"}, {}, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        parse("Subject: s\r\n" + row.mail);
        EXPECT_EQ(body(), row.body);
        for (const auto& [name, bytes] : row.files)
            EXPECT_EQ(file(name), bytes);
        EXPECT_EQ(mail.Attachments.Count(), static_cast<int>(row.files.size()));
        const auto log = mail.ParseLog.Lines();
        EXPECT_EQ(std::count(log.begin(), log.end(), note), row.noted ? 1 : 0);
        EXPECT_FALSE(mail.TextLost());
        for (const auto& [name, bytes] : row.files)
            std::filesystem::remove(path + name);
    }
    // Longer than the record: the text as far as it goes, and all of it in a file.
    std::string lines;
    for (int i = 0; i < 100; ++i)
        lines += "Zeile " + std::to_string(i) + "\r\n";
    for (const std::size_t inMemory : {std::size_t(1) << 20, std::size_t(0)}) {
        textInMemory = inMemory;
        parse("Content-Type: multipart/mixed; boundary=nie\r\n\r\n" + lines, 200);
        EXPECT_TRUE(mail.TextCut);
        EXPECT_EQ(mail.Attachments.Lines(), std::vector<std::string>{"text.tmp"});
        EXPECT_EQ(file("text.tmp"), lines);
        EXPECT_EQ(body().front(), "Zeile 0");
        EXPECT_EQ(body().back(), "\r\nFile \"text.tmp\" extracted");
        std::filesystem::remove(path + "text.tmp");
        EXPECT_EQ(fileCount(), 0u);
    }
}

// Whether a mail kept nothing of what its body held, so that the run keeps it as it came.
TEST_F(MessageParse, AMailThatKeptNothingOfItsBodySaysSo) {
    const std::pair<std::string, bool> rows[] = {
        {"Subject: s\r\n\r\n \t\r\n\r\n", false},
        {"Subject: s\r\n\r\nText\r\n", false},
        // A part whose header never ends, and text that only a delimiter's look hides.
        {"Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\nHier steht der Text\r\n--b--\r\n", true},
        {"Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\n--b--\r\nEpilog\r\n", true},
        {"Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\n \r\n--b--\r\n", true},
    };
    for (const auto& [served, lost] : rows) {
        SCOPED_TRACE(served);
        parse(served);
        EXPECT_EQ(mail.TextLost(), lost);
    }
}

TEST_F(MessageParse, MissingBoundariesEndAtTheEndOfTheMail) {
    // The closing delimiter never comes: the open attachment ends with the mail.
    parse("Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n\r\ntext\r\n"
          "--b\r\nContent-Type: text/plain; name=\"open.txt\"\r\n\r\ndata\r\n");
    EXPECT_EQ(mail.Attachments.Lines(), std::vector<std::string>{"open.txt"});
    EXPECT_EQ(file("open.txt"), "data\r\n");
    // A part header cut off by the end of the mail.
    parse("Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\nContent-Type: text/plain\r\n");
    EXPECT_TRUE(mail.Attachments.Empty());
}

TEST_F(MessageParse, NestedMultipartsAreWalkedToTheEnd) {
    parse("Content-Type: multipart/mixed; boundary=\"outer\"\r\n\r\n"
          "--outer\r\n"
          "Content-Type: multipart/alternative; boundary=\"inner\"\r\n\r\n"
          "--inner\r\nContent-Type: text/plain\r\n\r\nplain text\r\n"
          "--inner\r\nContent-Type: text/html; name=\"alt.html\"\r\n\r\n<p>html</p>\r\n"
          "--inner--\r\n"
          "--outer\r\nContent-Type: text/plain; name=\"kept.txt\"\r\n\r\nsaved\r\n"
          "--outer--\r\n");
    // The HTML alternative repeats the text; the outer part after the inner ones is a file.
    EXPECT_EQ(body(), (std::vector<std::string>{"plain text", "\r\nFile \"kept.txt\" extracted"}));
    EXPECT_EQ(mail.Attachments.Lines(), std::vector<std::string>{"kept.txt"});
    EXPECT_EQ(file("kept.txt"), "saved");
}

// Only a whole delimiter line of an open multipart ends a part, the innermost first; a
// delimiter of an enclosing multipart also ends the inner ones still open.
TEST_F(MessageParse, OnlyDelimiterLinesEndParts) {
    parse("Content-Type: multipart/mixed; boundary=b\r\n\r\n"
          "--b\r\n\r\nbegins --b\r\n--bx is text\r\n--b- too\r\n"
          "--b \t\r\nContent-Type: multipart/mixed; boundary=b2\r\n\r\n"
          "--b2\r\nContent-Disposition: attachment; filename=in.txt\r\n\r\n--b2--x\r\nstill in\r\n"
          "--b\r\nContent-Disposition: attachment; filename=out.txt\r\n\r\nouter\r\n"
          "--b--  \r\nepilogue\r\n");
    EXPECT_EQ(body(), (std::vector<std::string>{"begins --b", "--bx is text", "--b- too",
                                                "\r\nFile \"in.txt\" extracted", "\r\nFile \"out.txt\" extracted"}));
    EXPECT_EQ(file("in.txt"), "--b2--x\r\nstill in");
    EXPECT_EQ(file("out.txt"), "outer");
}

TEST_F(MessageParse, NestingBeyondTheLimitIsSavedWhole) {
    std::string deep = "Content-Type: multipart/mixed; boundary=x0\r\n\r\n";
    for (int i = 1; i <= TMimeReader::MaxDepth; ++i)
        deep += "--x" + std::to_string(i - 1) + "\r\nContent-Type: multipart/mixed; boundary=x" + std::to_string(i) +
                "\r\n\r\n";
    deep += "--x" + std::to_string(TMimeReader::MaxDepth) + "\r\n\r\ndeep\r\n";
    parse(deep);
    EXPECT_EQ(mail.Attachments.Lines(), std::vector<std::string>{"text.tmp"});
    EXPECT_EQ(file("text.tmp"), "--x" + std::to_string(TMimeReader::MaxDepth) + "\r\n\r\ndeep\r\n");
}

// Whatever the server sends, the parse keeps to its bounds: long lines, many parts, much text.
TEST_F(MessageParse, HostileSizesStayBounded) {
    const std::string huge(TMimeReader::MaxLine * 2 + 10, 'A');
    parse("Subject: " + huge + "\r\nContent-Type: multipart/mixed; boundary=h\r\n\r\n--h\r\n\r\n" + huge +
          "\r\nshort\r\n--h\r\nContent-Type: application/octet-stream; name=line.bin\r\n\r\n" + huge + "\r\n--h--\r\n");
    EXPECT_EQ(mail.Subject.size(), 4096u);
    EXPECT_EQ(body(), (std::vector<std::string>{std::string(TMimeReader::MaxLine, 'A'), "short",
                                                "\r\nFile \"line.bin\" extracted"}));
    EXPECT_EQ(file("line.bin"), huge);   // a file part keeps every byte, the delimiter's line end aside
    EXPECT_EQ(mail.ParseLog.Lines(), std::vector<std::string>{ansi("POP3 Zeilen über 1 MB gekürzt")});

    // Many parts: empty unnamed ones make no file, at most 100 files, the rest in "rest.eml".
    std::string many = "Content-Type: multipart/mixed; boundary=p\r\n\r\n--p\r\n\r\ntext\r\n";
    for (int i = 0; i < 5000; ++i)
        many += "--p\r\nContent-Type: application/octet-stream\r\n\r\n";
    for (int i = 0; i < 150; ++i)
        many += "--p\r\nContent-Disposition: attachment; filename=f.txt\r\n\r\n" + std::to_string(i) + "\r\n";
    many += "--p--\r\n";
    const std::size_t before = fileCount();
    parse(many);
    EXPECT_EQ(fileCount() - before, 100u);
    EXPECT_EQ(mail.Attachments.Count(), 100);
    EXPECT_EQ(mail.Attachments[99], "rest.eml");
    EXPECT_EQ(file("f_98.txt"), "98");
    EXPECT_EQ(file("rest.eml").rfind("--p\r\nContent-Disposition: attachment; filename=f.txt\r\n\r\n99\r\n--p\r\n", 0), 0u);
    EXPECT_EQ(mail.ParseLog.Count(), 1);

    // Text beyond what the record holds is not kept.
    parse("Subject: t\r\n\r\n0123456789\r\n0123456789\r\n0123456789\r\n", 30);
    EXPECT_EQ(body(), (std::vector<std::string>{"0123456789", "0123456789"}));
    EXPECT_TRUE(mail.TextCut);
}

TEST_F(MessageParse, CharsetsOfTheText) {
    // Undeclared 8-bit text: UTF-8 when it is valid UTF-8, else Windows-1252 already.
    parse("Subject: u\r\n\r\nGr\xC3\xBC\xC3\x9F" "e\r\n");
    EXPECT_EQ(body(), std::vector<std::string>{"Gr\xFC\xDF" "e"});
    parse("Subject: w\r\n\r\nGr\xFC\xDF" "e \x80\r\n");
    EXPECT_EQ(body(), std::vector<std::string>{"Gr\xFC\xDF" "e \x80"});
    // Another charset through iconv; a character Windows-1252 lacks is transliterated.
    parse("Content-Type: text/plain; charset=iso-8859-2\r\n\r\nPr\xE8\xA9 \xF0\xD2\r\n");
    EXPECT_EQ(body(), std::vector<std::string>{"Prc\x8A dN"});
    // An unknown charset leaves the bytes and says so once.
    parse("Content-Type: text/plain; charset=x-unbekannt\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
          "=FCber=\r\n");
    EXPECT_EQ(body(), (std::vector<std::string>{"\xFC" "ber"}));
    EXPECT_TRUE(mail.BodyEndsOpen);
    EXPECT_EQ(mail.ParseLog.Count(), 1);
}

// A text too long to keep in memory while it arrives is taken from disk in pieces, and comes out
// as it would have from memory: soft line breaks and characters across the pieces, escapes,
// line ends of a decoded text, the cut at the record limit, the notes.
TEST_F(MessageParse, ATextKeptOnDiskEndsAsOneKeptInMemory) {
    std::string qp, utf8, lineEnds;
    for (int i = 0; i < 40; ++i) {
        qp += "Zeile " + std::to_string(i) + " mit =FCber und ohne Ende =\r\nweiter =4G und =3D\r\n";
        utf8 += "Gr\xC3\xBC\xC3\x9F" "e Nr. " + std::to_string(i) + (i % 3 ? "\r\n" : i % 2 ? "\n" : "\r");
    }
    const std::string cases[] = {
        "Content-Type: text/plain; charset=iso-8859-1\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n" + qp +
            "offen=\r\n",
        "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: base64\r\n\r\n" + base64Lines(utf8),
        "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n" + utf8 + "\r\n",
        "Content-Type: text/plain; charset=x-unbekannt\r\n\r\n" + utf8 + "\r\n",
    };
    for (const std::string& text : cases) {
        for (const std::size_t maxText : {std::size_t(64) << 20, std::size_t(700)}) {
            const std::string served = "Subject: t\r\n" + text;
            textInMemory = textPiece = 1 << 20;
            parse(served, maxText);
            const TMailMessage inMemory = mail;
            textInMemory = 0;
            textPiece = 64;
            parse(served, maxText);
            SCOPED_TRACE(text.substr(0, 80));
            EXPECT_EQ(body(), inMemory.Body.Lines());
            EXPECT_EQ(mail.BodyEndsOpen, inMemory.BodyEndsOpen);
            EXPECT_EQ(mail.TextCut, inMemory.TextCut);
            EXPECT_EQ(mail.ParseLog.Lines(), inMemory.ParseLog.Lines());
            EXPECT_EQ(fileCount(), 0u) << "a private file was left behind";
        }
    }
}

// Random mails built from the pieces mails are made of, plus random bytes: the parse never
// crashes, never reads past the end of the mail and never writes outside its directory.
// PB_PARSE_FUZZ_ROUNDS=N runs longer, PB_PARSE_FUZZ_SEED=S draws other mails.
TEST_F(MessageParse, RandomMailsNeverBreakTheParse) {
    const char* env = std::getenv("PB_PARSE_FUZZ_ROUNDS");
    const int rounds = env ? std::atoi(env) : 1500;
    const char* seed = std::getenv("PB_PARSE_FUZZ_SEED");
    std::mt19937 rng(seed ? static_cast<unsigned>(std::atoi(seed)) : 20261207u);
    auto pick = [&](std::initializer_list<const char*> xs) {
        return std::string(*(xs.begin() + rng() % xs.size()));
    };
    auto randomBytes = [&](int n) {
        std::string s;
        for (int i = 0; i < n; ++i)
            s.push_back(static_cast<char>(rng() % 256));
        return s;
    };
    for (int round = 0; round < rounds; ++round) {
        std::string m;
        const int lines = static_cast<int>(rng() % 40);
        for (int i = 0; i < lines; ++i) {
            m += pick({"Content-Type: multipart/mixed; boundary=\"b\"", "Content-Type: multipart/x; BOUNDARY=b",
                       "boundary=\"", "--b", "--b--", "", "", ".", "..", ".\r", "text",
                       "Content-Transfer-Encoding: base64", "Content-Transfer-Encoding: X-UUENCODE",
                       "Content-Transfer-Encoding: BASE64", "name=\"../x\"", "filename=\"a.b.c\"",
                       "name=\"", "Subject:", "From:", "QUJD", "M86)C", "`", "end", "===="});
            if (rng() % 4 == 0)
                m += randomBytes(static_cast<int>(rng() % 30));
            m += rng() % 5 == 0 ? "\n" : "\r\n";
        }
        // A lone dot line is the end of the mail; the server stuffs it, so must the test.
        std::string stuffed;
        std::istringstream in(m);
        for (std::string l; std::getline(in, l);)
            stuffed += (!l.empty() && l[0] == '.' ? "." : "") + l + "\n";
        SCOPED_TRACE(round);
        parse(stuffed);
        if (HasFailure())
            return;
        // Nothing outside the directory; then start afresh, so that the unique-name search
        // does not grow with every round.
        const std::filesystem::path top(dir.path().toStdString());
        for (const auto& entry : std::filesystem::recursive_directory_iterator(top))
            ASSERT_EQ(entry.path().parent_path(), top);
        for (const auto& entry : std::filesystem::directory_iterator(top))
            std::filesystem::remove_all(entry.path());
    }
}

} // namespace
} // namespace pb
