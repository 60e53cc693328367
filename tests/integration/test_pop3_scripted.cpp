// The POP3 client against scripted loopback servers, for what a real Dovecot cannot be made to
// do on cue: refuse PASS and then accept it, refuse STAT or LIST, stall or close in the middle
// of a mail while the user cancels.
#include "mail/MailAssembler.h"
#include "net/Pop3Client.h"
#include "platform/AnsiText.h"
#include "platform/MessageLoop.h"
#include "support/ExceptionText.h"
#include "support/LoopbackServer.h"
#include "support/RetrievingPop3.h"
#include "support/StrictServers.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

namespace pb {
namespace {

using namespace std::chrono_literals;
using test::exceptionText;
using test::LoopbackServer;
using test::Peer;

// Answers every command from a script of (expected command, reply) pairs and records what
// came; after the script it answers QUIT with +OK and waits for the close.
// CAPA is answered with `capa` (refused by default) and, like lines off the grammar, kept in
// `besides` only.
struct Dialogue {
    using Script = std::vector<std::pair<std::string, std::string>>;
    explicit Dialogue(Script s) : script(std::move(s)) {}
    Script script;
    std::string greeting = "+OK ready\r\n";
    std::string capa = test::NoCapa;
    std::vector<std::string> received;
    std::string besides;
    void operator()(Peer& p) {
        p.send(greeting);
        for (const auto& [expect, reply] : script) {
            const std::string line = test::ReadPop3Command(p, capa, &besides);
            if (line.empty())
                return;
            received.push_back(line.substr(0, line.size() - 2));
            p.send(reply);
        }
        const std::string line = test::ReadPop3Command(p, capa, &besides);
        if (!line.empty()) {
            received.push_back(line.substr(0, line.size() - 2));
            p.send("+OK bye\r\n");
        }
        p.waitForClose();
    }
    std::vector<std::string> expected() const {
        std::vector<std::string> out;
        for (const auto& s : script)
            out.push_back(s.first);
        return out;
    }
};

void setup(TPop3Client& c, std::uint16_t port, const std::string& password = "secret") {
    test::pointAt(c, port);
    c.UserID = "user";
    c.Password = password;
}

// Logged in at port, the attachments going into dir.
void connectInto(TPop3Client& c, std::uint16_t port, const QTemporaryDir& dir) {
    setup(c, port);
    c.AttachFilePath = dir.path().toStdString() + "/";
    c.Connect();
}

TEST(Pop3Login, RefusedPasswordFailsAtOnceWithoutAHandler) {
    Dialogue d({{"USER user", "+OK\r\n"}, {"PASS secret", "-ERR wrong\r\n"}});
    LoopbackServer server(std::ref(d));
    TPop3Client c;
    setup(c, server.port());
    int connects = 0;
    c.OnConnect = [&](QObject*) { ++connects; };
    EXPECT_EQ(exceptionText([&] { c.Connect(); }), "Authentication failed");
    EXPECT_FALSE(c.Connected());
    EXPECT_FALSE(c.Busy());
    EXPECT_EQ(connects, 0);
    server.join();
    auto expected = d.expected();
    expected.push_back("QUIT");   // the session is ended politely
    EXPECT_EQ(d.received, expected);
}

TEST(Pop3Login, HandlerGetsOneMoreAttemptOnly) {
    Dialogue ok({{"USER user", "+OK\r\n"}, {"PASS wrong", "-ERR no\r\n"},
                 {"USER user", "+OK\r\n"}, {"PASS secret", "+OK in\r\n"},
                 {"STAT", "+OK 3 1200\r\n"}});
    LoopbackServer server(std::ref(ok));
    TPop3Client c;
    setup(c, server.port(), "wrong");
    int asked = 0;
    c.OnAuthenticationFailed = [&](bool& handled) {
        ++asked;
        c.Password = "secret";
        handled = true;
    };
    c.Connect();
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(c.MailCount, 3);
    c.Disconnect();
    server.join();

    Dialogue twice({{"USER user", "+OK\r\n"}, {"PASS a", "-ERR no\r\n"},
                    {"USER user", "+OK\r\n"}, {"PASS b", "-ERR still no\r\n"}});
    LoopbackServer again(std::ref(twice));
    setup(c, again.port(), "a");
    c.OnAuthenticationFailed = [&](bool& handled) {
        ++asked;
        c.Password = "b";
        handled = true;
    };
    EXPECT_EQ(exceptionText([&] { c.Connect(); }), "Authentication failed");
    EXPECT_EQ(asked, 2);
}

TEST(Pop3Login, MissingCredentialsAreRefusedBeforeAnyTrafficUnlessTheHandlerSaysGoOn) {
    TPop3Client c;
    setup(c, test::closedPort(), "");
    EXPECT_EQ(exceptionText([&] { c.Connect(); }), "Authentication failed");

    Dialogue d({{"USER user", "+OK\r\n"}, {"PASS ", "+OK\r\n"}, {"STAT", "+OK\r\n"}});
    LoopbackServer server(std::ref(d));
    setup(c, server.port(), "");
    c.OnAuthenticationNeeded = [](bool& handled) { handled = true; };
    c.Connect();
    EXPECT_EQ(c.MailCount, 0);
    c.Disconnect();
    server.join();
    EXPECT_EQ(d.received[1], "PASS ");
}

TEST(Pop3Login, RefusedStatStillReportsTheLogin) {
    Dialogue d({{"USER user", "+OK\r\n"}, {"PASS secret", "+OK\r\n"}, {"STAT", "-ERR locked\r\n"}});
    LoopbackServer server(std::ref(d));
    TPop3Client c;
    setup(c, server.port());
    int connects = 0;
    c.OnConnect = [&](QObject*) { ++connects; };
    EXPECT_EQ(exceptionText([&] { c.Connect(); }), "-ERR locked\r\n");
    EXPECT_EQ(connects, 1);
    EXPECT_FALSE(c.Connected());
}

// A refused listing ends at once; a malformed line of a listing costs only its own mail: it is
// passed by (LIST, or UIDL without a number) or given a substitute id (UIDL), and named in the
// log entries.
TEST(Pop3Operations, RefusedListEndsAndMalformedListingLinesCostOnlyTheirMail) {
    const std::string longId(71, 'x');
    Dialogue d({{"USER user", "+OK\r\n"}, {"PASS secret", "+OK\r\n"}, {"STAT", "+OK 1 10\r\n"},
                {"LIST", "-ERR not now\r\n"}, {"LIST", "+OK\r\n1 10\r\n2 x\r\n3 30\r\n.\r\n"},
                {"UIDL", "+OK\r\n1 abc\r\n2 " + longId + "\r\n0 z\r\n3 a\x01" "b\r\n4\r\n.\r\n"}});
    LoopbackServer server(std::ref(d));
    TPop3Client c;
    setup(c, server.port());
    c.Connect();
    EXPECT_EQ(exceptionText([&] { c.List(); }), "-ERR not now\r\n");
    std::vector<int> listed;
    c.OnList = [&](int msg, int) { listed.push_back(msg); };
    c.List();   // "x" is no size
    EXPECT_EQ(listed, (std::vector<int>{1, 3}));
    ASSERT_EQ(c.ListingLog.size(), 1u);
    EXPECT_EQ(c.ListingLog[0], ansi("POP3 Unbrauchbare Zeile der Mailliste übergangen: 2 x"));
    EXPECT_FALSE(c.Busy());

    std::map<int, std::string> ids;
    ASSERT_TRUE(c.ListUniqueIds(ids));
    ASSERT_EQ(ids.size(), 4u);
    EXPECT_EQ(ids[1], "abc");
    for (int n : {2, 3, 4})
        EXPECT_TRUE(ValidUniqueId(ids[n]) && ids[n][0] == '~') << ids[n];
    EXPECT_NE(ids[2], ids[3]);
    ASSERT_EQ(c.ListingLog.size(), 4u);   // 2, 0, 3, 4
    EXPECT_EQ(c.ListingLog[1], ansi("POP3 Unbrauchbare Zeile der Kennungsliste übergangen: 0 z"));
    EXPECT_NE(c.ListingLog[2].find("Mail 3, sie gilt als " + ids[3] + ": 3 a?b"), std::string::npos) << c.ListingLog[2];
}

TEST(Pop3Operations, OverlongLinesComeInPiecesAndKeepTheSessionInStep) {
    // Lines of 3 MB in a listing, a summary and a mail read past: each is taken in pieces of at
    // most 1 MB, and a piece that merely looks like the end line never ends the answer early.
    const std::string tail = std::string(3u << 20, 'x');
    const std::string fakeEnd = std::string(1u << 20, 'y') + ".\r\n";
    Dialogue d({{"USER user", "+OK\r\n"}, {"PASS secret", "+OK\r\n"}, {"STAT", "+OK 2 10\r\n"},
                {"LIST", "+OK\r\n1 10 " + tail + "\r\n2 20\r\n.\r\n"},
                {"TOP 1 0", "+OK\r\nX-Long: " + tail + "\r\n" + fakeEnd + "Subject: Hallo\r\n.\r\n"},
                {"LIST 1", "+OK 1 10\r\n"},
                {"RETR 2", "+OK\r\n" + fakeEnd + "body " + tail + "\r\n.\r\n"},
                {"DELE 1", "+OK\r\n"}});
    LoopbackServer server(std::ref(d));
    TPop3Client c;
    setup(c, server.port());
    c.Connect();
    std::vector<int> listed;
    c.OnList = [&](int msg, int) { listed.push_back(msg); };
    c.List();
    EXPECT_EQ(listed, (std::vector<int>{1, 2}));
    c.GetSummary(1);
    EXPECT_EQ(c.Summary.Subject, " Hallo");
    EXPECT_EQ(c.Summary.Bytes, 10);
    c.RequestMailMessage(2);
    c.DeleteMailMessage(1);   // reads past the requested mail first
    c.Disconnect();
    server.join();
    EXPECT_EQ(d.received.back(), "QUIT");
    EXPECT_EQ(d.received.size(), d.script.size() + 1);
}

// A reply line longer than any server writes is a protocol error, and its rest is never read
// as the answer to the next command: the connection is dropped where the line outgrew the bound.
TEST(Pop3Operations, AnOverlongReplyLineIsAProtocolErrorNeverTheNextAnswer) {
    const std::string huge = std::string(3u << 20, 'x') + "\r\n";
    struct Row {
        std::string name, greeting;
        Dialogue::Script script;
        std::vector<std::string> received;
    };
    const Row rows[] = {
        {"greeting", "+OK " + huge, {{"USER user", "-ERR nicht autorisiert\r\n"}}, {}},
        {"answer to USER", "+OK ready\r\n", {{"USER user", "+OK " + huge}, {"PASS secret", "-ERR no\r\n"}}, {"USER user"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Dialogue d(row.script);
        d.greeting = row.greeting;
        LoopbackServer server(std::ref(d));
        TPop3Client c;
        setup(c, server.port());
        EXPECT_EQ(exceptionText([&] { c.Connect(); }), "Protocol error: reply line longer than 1 MB");
        EXPECT_FALSE(c.Connected());
        server.join();
        EXPECT_EQ(d.received, row.received) << "no QUIT, nothing after the line";
    }
}

// --- command spellings and capabilities ---------------------------------------------------------

// A whole session against a server that offers UTF8 and PIPELINING: every command the client
// has goes out exactly as RFC 1939, 2449 and 6856 spell it (the strict server refuses and keeps
// aside any other line), UTF8 before the login, and the Windows-1252 password as UTF-8.
TEST(Pop3Commands, EveryCommandIsSpelledAsTheRfcsDefineIt) {
    Dialogue d({{"UTF8", "+OK UTF8 enabled\r\n"}, {"USER user", "+OK\r\n"},
                {"PASS gr\xC3\xBCn", "+OK\r\n"}, {"STAT", "+OK 2 20\r\n"},
                {"LIST", "+OK\r\n1 10\r\n2 10\r\n.\r\n"}, {"UIDL", "+OK\r\n1 a\r\n2 b\r\n.\r\n"},
                {"TOP 1 0", "+OK\r\nSubject: eins\r\n.\r\n"}, {"LIST 1", "+OK 1 10\r\n"},
                {"RETR 2", "+OK\r\nSubject: Gr\xC3\xBC\xC3\x9F" "e\r\n\r\nText\r\n.\r\n"},
                {"DELE 2", "+OK\r\n"}, {"DELE 1", "+OK\r\n"}});
    d.capa = "+OK\r\nUSER\r\nTOP\r\nutf8 USER\r\nPIPELINING\r\nX-UNKNOWN 1 2 3\r\n.\r\n";
    LoopbackServer server(std::ref(d));
    QTemporaryDir dir;
    test::RetrievingPop3 c;
    setup(c, server.port(), "gr\xFCn");
    c.AttachFilePath = dir.path().toStdString() + "/";
    c.Connect();
    EXPECT_TRUE(c.Utf8Mode);
    EXPECT_TRUE(c.Capabilities.Pipelining);
    c.List();
    std::map<int, std::string> ids;
    EXPECT_TRUE(c.ListUniqueIds(ids));
    c.GetSummary(1);
    c.DeleteOnRead = true;
    c.GetMailMessage(2);
    EXPECT_EQ(c.MailMessage.Subject, " Gr\xC3\xBC\xC3\x9F" "e");   // raw UTF-8, decoded on storing
    c.DeleteMailMessage(1);
    c.Disconnect();
    server.join();
    auto expected = d.expected();
    expected.push_back("QUIT");
    EXPECT_EQ(d.received, expected);
    EXPECT_EQ(d.besides, "CAPA\r\n");   // nothing off the grammar
}

// A strict server refuses LIST with a trailing blank (Cyrus: "-ERR Syntax error").
TEST(Pop3Commands, ListWithATrailingBlankIsRefused) {
    EXPECT_FALSE(test::Pop3Command("LIST \r\n"));
    EXPECT_TRUE(test::Pop3Command("LIST\r\n"));
    Dialogue d({{"USER user", "+OK\r\n"}, {"PASS secret", "+OK\r\n"}, {"STAT", "+OK 0 0\r\n"}});
    LoopbackServer server(std::ref(d));
    TPop3Client c;
    setup(c, server.port());
    c.Connect();
    EXPECT_EQ(c.Transaction("LIST "), "-ERR Syntax error\r\n");
    c.Disconnect();
    server.join();
    EXPECT_EQ(d.besides, "CAPA\r\nLIST \r\n");
}

// A CAPA answer with a 3 MB line and more lines than are kept: it is read to its end in
// bounded pieces and the session stays in step; UTF8 beyond the 100th line is not taken up,
// and UIDL is tried although the answer does not list it.
TEST(Pop3Commands, HugeCapaAnswerIsBoundedAndOnlyEnables) {
    Dialogue d({{"USER user", "+OK\r\n"}, {"PASS secret", "+OK\r\n"}, {"STAT", "+OK 0 0\r\n"},
                {"UIDL", "+OK\r\n.\r\n"}});
    d.capa = "+OK\r\nX-LONG " + std::string(3u << 20, 'x') + "\r\n";
    for (int i = 0; i < 150; ++i)
        d.capa += "X-FILL " + std::to_string(i) + "\r\n";
    d.capa += "UTF8\r\n.\r\n";
    LoopbackServer server(std::ref(d));
    TPop3Client c;
    setup(c, server.port());
    c.Connect();
    EXPECT_TRUE(c.Capabilities.Answered);
    EXPECT_FALSE(c.Utf8Mode);
    std::map<int, std::string> ids;
    EXPECT_TRUE(c.ListUniqueIds(ids));
    c.Disconnect();
    server.join();
    auto expected = d.expected();
    expected.push_back("QUIT");
    EXPECT_EQ(d.received, expected);
}

// Sends the greeting, takes the login and RETR, then the first half of a mail.
void halfAMail(Peer& p, const std::string& half = "Subject: half\r\n\r\nfirst line\r\n") {
    p.send("+OK ready\r\n");
    for (const char* reply : {"+OK\r\n", "+OK\r\n", "+OK 1 100\r\n"}) {
        test::ReadPop3Command(p);
        p.send(reply);
    }
    test::ReadPop3Command(p);   // RETR 1
    p.send("+OK\r\n" + half);
}

TEST(Pop3Retrieve, CancelDuringRetrEndsTheWaitAndDropsTheConnection) {
    LoopbackServer server([](Peer& p) {
        halfAMail(p);
        p.pause(300ms);
        p.send("more\r\n.\r\n");   // what arrives after the cancel drops the connection
        p.waitForClose();
    });
    QTemporaryDir dir;
    test::RetrievingPop3 c;
    connectInto(c, server.port(), dir);
    int ends = 0;
    c.OnRetrieveEnd = [&](QObject*) { ++ends; };
    QTimer::singleShot(100, [&] { c.Abort(); });
    EXPECT_THROW(c.GetMailMessage(1), EAbortError);
    EXPECT_EQ(ends, 1);
    EXPECT_FALSE(c.Busy());
    EXPECT_EQ(c.MailMessage.Body.Lines(), std::vector<std::string>{"first line"});
    QElapsedTimer clock;
    clock.start();
    pumpUntil([&] { return !c.Connected() || clock.elapsed() > 5000; });
    EXPECT_FALSE(c.Connected());
    EXPECT_TRUE(c.InBuffer.Empty());
    EXPECT_EQ(exceptionText([&] { c.GetMailMessage(1); }), "Not Connected");
}

// "Abbrechen" pressed while a large attachment is being decoded (the window's messages are
// handled meanwhile): the file is finished, then the retrieval ends at its next read.
TEST(Pop3Retrieve, CancelWhileAnAttachmentIsDecodedEndsTheRetrievalAfterTheFile) {
    std::string data(2 << 20, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>('a' + (i * 7919 + i / 26) % 26);   // no "XYZ" in its Base64
    const QByteArray b64 = QByteArray::fromStdString(data).toBase64();
    std::string part;
    for (qsizetype i = 0; i < b64.size(); i += 76)
        part += b64.mid(i, 76).toStdString() + "\r\n";
    LoopbackServer server([&part](Peer& p) {
        p.send("+OK ready\r\n");
        for (const char* reply : {"+OK\r\n", "+OK\r\n", "+OK 1 100\r\n"}) {
            test::ReadPop3Command(p);
            p.send(reply);
        }
        test::ReadPop3Command(p);   // RETR 1
        p.send("+OK\r\nContent-Type: multipart/mixed; boundary=\"XYZ\"\r\n\r\n--XYZ\r\n"
               "Content-Type: text/plain\r\n\r\nsee the file\r\n--XYZ\r\n"
               "Content-Type: application/octet-stream; name=\"big.bin\"\r\n"
               "Content-Transfer-Encoding: base64\r\n\r\n" + part + "--XYZ--\r\n");
        p.pause(500ms);
        p.send("epilogue\r\n.\r\n");
        p.waitForClose();
    });
    QTemporaryDir dir;
    test::RetrievingPop3 c;
    connectInto(c, server.port(), dir);
    bool decoding = false, canceledWhileDecoding = false;
    c.UUProcessor.OnBeginDecode = [&](TUUProcessor&) {
        decoding = true;
        QTimer::singleShot(0, [&] {
            canceledWhileDecoding = decoding;
            c.Abort();
        });
    };
    c.UUProcessor.OnEndDecode = [&](TUUProcessor&) { decoding = false; };
    int windows = 0;
    c.UUProcessor.OnProgress = [&](TUUProcessor&) {
        if (windows++ == 0)
            std::this_thread::sleep_for(30ms);   // time enough for the window to get a turn
    };
    EXPECT_THROW(c.GetMailMessage(1), EAbortError);
    EXPECT_TRUE(canceledWhileDecoding);
    EXPECT_FALSE(c.Busy());
    EXPECT_EQ(c.MailMessage.Attachments.Lines(), std::vector<std::string>{"big.bin"});
    std::ifstream file(dir.path().toStdString() + "/big.bin", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), data);
    QElapsedTimer clock;
    clock.start();
    pumpUntil([&] { return !c.Connected() || clock.elapsed() > 5000; });
    EXPECT_FALSE(c.Connected());
}

// A mail cut off in its text, or in a file after its text: the text that came is kept, and
// no file is left half written.
TEST(Pop3Retrieve, ServerClosingMidMailEndsTheRetrievalKeepingTheTextAndNoHalfFile) {
    const std::string halves[] = {
        "Subject: half\r\n\r\nfirst line\r\n",
        "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\nfirst line\r\n--b\r\n"
        "Content-Type: application/zip; name=\"a.zip\"\r\n\r\nPK half\r\n"};
    for (const std::string& half : halves) {
        SCOPED_TRACE(half);
        LoopbackServer server([&half](Peer& p) { halfAMail(p, half); });
        QTemporaryDir dir;
        test::RetrievingPop3 c;
        connectInto(c, server.port(), dir);
        int ends = 0;
        c.OnRetrieveEnd = [&](QObject*) { ++ends; };
        EXPECT_EQ(exceptionText([&] { c.GetMailMessage(1); }), "Connection closed");
        EXPECT_EQ(ends, 1);
        EXPECT_FALSE(c.Connected());
        EXPECT_EQ(c.MailMessage.Body.Lines(), std::vector<std::string>{"first line"});
        EXPECT_TRUE(c.MailMessage.Attachments.Empty());
        EXPECT_TRUE(std::filesystem::is_empty(dir.path().toStdString()));
        EXPECT_EQ(exceptionText([&] { c.GetMailMessage(1); }), "Not Connected");
        EXPECT_FALSE(c.Busy());
    }
}

// Without an assembly set there is nowhere for a mail to go: the retrieval is refused before
// RETR goes out, and the session goes on.
TEST(Pop3Retrieve, RetrievalWithoutAnAssemblyIsRefusedAndTheSessionGoesOn) {
    LoopbackServer server([](Peer& p) { halfAMail(p); });
    TPop3Client c;
    setup(c, server.port());
    c.Connect();
    EXPECT_THROW(c.GetMailMessage(1), Exception);
    EXPECT_FALSE(c.Busy());
    EXPECT_TRUE(c.Connected());
}

} // namespace
} // namespace pb
