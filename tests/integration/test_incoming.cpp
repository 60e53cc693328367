// The retrieval run end to end: a real Dovecot mailbox, a real edhost, the main window offscreen
// with its message boxes scripted. What the host stores, what the log says, what stays on the
// server and in "readmsg.lst" after normal runs, refusals, cancels and a lost host.
#include "mail/PB_Liste.h"
#include "platform/MessageLoop.h"
#include "platform/Resolver.h"
#include "support/EdhostProcess.h"
#include "support/HostRecords.h"
#include "support/LoopbackServer.h"
#include "support/MailRunFixture.h"

#include <QLabel>
#include <QTimer>
#include <QProgressBar>
#include <QToolButton>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <sys/resource.h>
#include <thread>

namespace pb {
namespace {

using test::boxes;
using test::EdhostProcess;
using test::enabled;
using test::MailServers;
using test::readBytes;
using test::StoredMail;
using test::storedMails;
using test::writeBytes;

std::vector<std::int32_t> readList(const std::string& file = kReadListFile) {
    TReadList list;
    LoadReadList(list, file);
    std::vector<std::int32_t> out;
    for (const auto& e : list)
        out.push_back(e.MsgNumber);
    return out;
}

void writeReadList(std::vector<std::int32_t> numbers) {
    TReadList list;
    for (auto n : numbers)
        AddReadMessage(list, n);
    SaveReadList(list);
}

std::string served(const std::string& raw) { return std::to_string(MailServers::asServed(raw).size()); }

std::string simpleMail(const std::string& subject, const std::string& body = "text\n") {
    return "From: Sender <sender@example.org>\nTo: Erika <erika@example.org>\nSubject: " + subject + "\n\n" + body;
}

const std::string Name40 = "Sehr lange Namen gibt es auch, 40 Zeich";

const std::vector<std::string> VariedMails = {
    // 1: plain, names with angle brackets, quoted lines, leading empty body line
    "From: Max Muster <max@example.org>\n"
    "To: Erika Mustermann <erika@example.org>\n"
    "Subject: Plain\n"
    "\n"
    "\n"
    "Hallo Erika,\n"
    "> > zitiert\n"
    "\n"
    "Gruss\n",
    // 2: reply-to in lower case, name in parentheses, recipient in double quotes
    "From: jo@example.org (Jo Beispiel)\n"
    "reply-to:   list@example.org\n"
    "To: \"Muster, Erika\" <erika@example.org>\n"
    "Subject: Antwort bitte an die Liste\n"
    "\n"
    "x\n",
    // 3: quoted-printable with a soft break and a malformed escape; bare address in brackets
    "From: =?ISO-8859-1?Q?J=F6rg?= <joerg@example.org>\n"
    "To: <erika@example.org>\n"
    "Subject: QP\n"
    "MIME-Version: 1.0\n"
    "Content-Type: text/plain; charset=iso-8859-1\n"
    "Content-Transfer-Encoding: quoted-printable\n"
    "\n"
    "Gr=FC=DFe aus K=F6ln, mit weichem=\n"
    " Umbruch, Fehler =4G und =3D41.\n",
    // 4: multipart/alternative, folded boundary line
    "From: \"HTML Sender\" <html@example.org>\n"
    "To: erika@example.org\n"
    "Subject: Alternative\n"
    "MIME-Version: 1.0\n"
    "Content-Type: multipart/alternative;\n"
    " boundary=\"alt-1\"\n"
    "\n"
    "This is a multi-part message in MIME format.\n"
    "--alt-1\n"
    "Content-Type: text/plain; charset=utf-8\n"
    "Content-Transfer-Encoding: quoted-printable\n"
    "\n"
    "Sch=C3=B6ne Gr=C3=BC=C3=9Fe\n"
    "--alt-1\n"
    "Content-Type: text/html; charset=utf-8\n"
    "Content-Transfer-Encoding: quoted-printable\n"
    "\n"
    "<p>Sch=C3=B6ne Gr=C3=BC=C3=9Fe</p>\n"
    "--alt-1--\n",
    // 5: attachment, long subject and names
    "From: \"" + Name40 + "\" <long@example.org>\n"
    "To: " + Name40 + " <erika@example.org>\n"
    "Subject: " + std::string(80, 'S') + "\n"
    "MIME-Version: 1.0\n"
    "Content-Type: multipart/mixed; boundary=\"mix\"\n"
    "\n"
    "--mix\n"
    "Content-Type: text/plain\n"
    "\n"
    "Here is the file.\n"
    "--mix\n"
    "Content-Type: application/zip; name=\"a.zip\"\n"
    "Content-Transfer-Encoding: base64\n"
    "\n"
    "UEsDBHppcCBkYXRh\n"
    "--mix--\n",
    // 6: neither a To: line nor a body
    "From: nobody@example.org\n"
    "Subject: Leer\n"
    "\n",
};

class IncomingRun : public test::MailRunFixture {
protected:
    // The log entries from the first one of the latest run on.
    std::vector<std::string> lastRunLog() const {
        const auto all = logTexts();
        auto it = std::find_if(all.rbegin(), all.rend(), [](const std::string& s) {
            return s.rfind("POP3 Nachrichten vom Server löschen: ", 0) == 0;
        });
        return it == all.rend() ? std::vector<std::string>{} : std::vector<std::string>(std::prev(it.base()), all.end());
    }

    static bool contains(const std::vector<std::string>& log, const std::string& entry) {
        return std::find(log.begin(), log.end(), entry) != log.end();
    }
};

TEST_F(IncomingRun, VariedMailsBecomeHostMessagesFieldByField) {
    EdhostProcess host;
    servers().setMails(VariedMails);
    Tmain& w = startWindow();
    w.BitBtn2->click();

    std::vector<std::string> want{"POP3 Nachrichten vom Server löschen: nein", "POP3 Serveradresse: 127.0.0.1",
                                  "POP3 Serverportnr.: " + std::to_string(servers().pop3Port()), "POP3 Login: " + servers().user(),
                                  "POP3 Erstelle Verbindung...", "POP3 Verbunden mit Server 127.0.0.1",
                                  "POP3 Warnung: Das Passwort wurde unverschlüsselt gesendet (Verschlüsselung \"keine\")",
                                  "POP3 6 Mails auf dem Server", "POP3 Hole Mailliste..."};
    long total = 0;
    for (const auto& m : VariedMails)
        total += static_cast<long>(MailServers::asServed(m).size());
    want.push_back("POP3 " + std::to_string(total) + " Bytes auf dem Server");
    for (std::size_t i = 0; i < VariedMails.size(); ++i) {
        want.push_back("POP3 Empfange Mail " + std::to_string(i + 1) + " (" + served(VariedMails[i]) + " Bytes)");
        want.push_back("ED95 Nachricht wird in EMAIL gespeichert...");
        if (i == 2)
            want.push_back("DEQP Fehler in Quoted-Printable-Nachricht");
    }
    want.push_back("POP3 Trenne Verbindung zum Server...");
    want.push_back("POP3 Verbindung getrennt");
    EXPECT_EQ(lastRunLog(), want);
    EXPECT_TRUE(boxes().shown.empty());
    EXPECT_EQ(w.status->text(), "");
    EXPECT_EQ(w.details1->text(), "");
    EXPECT_EQ(w.details2->text(), "");
    EXPECT_EQ(w.ProgressBar1->value(), 0);
    EXPECT_EQ(enabled(w), "1111101");
    EXPECT_EQ(w.RunState, TRunState::Idle);
    EXPECT_EQ(readList(), (std::vector<std::int32_t>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(servers().pop3Count(), 6u);

    const auto mails = storedMails(host);
    ASSERT_EQ(mails.size(), 6u);
    for (const StoredMail& s : mails) {
        EXPECT_EQ(s.h.Flags, 0x2014);
        EXPECT_EQ(s.h.Addr1, TFidoAddr{});
        EXPECT_EQ(s.h.Addr2, TFidoAddr{});
        EXPECT_EQ(s.h.AuxText.Len, 0);
        const std::int32_t size = s.h.Size;   // a packed field: read it into an aligned one first
        EXPECT_EQ(size, static_cast<std::int32_t>(238 + s.text.size() + 1));
    }

    EXPECT_EQ(mails[0].h.ToUserName.str(), "Erika Mustermann");
    EXPECT_EQ(mails[0].h.FromUserName.str(), "Max Muster");
    EXPECT_EQ(mails[0].h.Subject.str(), "Plain");
    EXPECT_EQ(mails[0].text, "\x01"
                             "From: Max Muster <max@example.org>\r\n"
                             "\x01To: Erika Mustermann <erika@example.org>\r\n"
                             "\x01Subject: Plain\r\n"
                             "\x01\r\n"
                             "\x01REPLYADDR Max Muster <max@example.org>\r\n"
                             "From: Max Muster <max@example.org>\r\n"
                             "\r\n"
                             "Hallo Erika,\r\n>> zitiert\r\n\r\nGruss\r\n");

    EXPECT_EQ(mails[1].h.ToUserName.str(), "Muster, Erika");
    EXPECT_EQ(mails[1].h.FromUserName.str(), "Jo Beispiel");
    EXPECT_EQ(mails[1].text, "\x01"
                             "From: jo@example.org (Jo Beispiel)\r\n"
                             "\x01reply-to:   list@example.org\r\n"
                             "\x01To: \"Muster, Erika\" <erika@example.org>\r\n"
                             "\x01Subject: Antwort bitte an die Liste\r\n"
                             "\x01\r\n"
                             "\x01REPLYADDR list@example.org\r\n"
                             "From: jo@example.org (Jo Beispiel)\r\n"
                             "Reply-To: list@example.org\r\n"
                             "\r\n"
                             "x\r\n");

    // Header lines keep their escapes, the name is decoded; the body is decoded, the malformed
    // escape kept.
    EXPECT_EQ(mails[2].h.ToUserName.str(), "erika@example.org");
    EXPECT_EQ(mails[2].h.FromUserName.str(), "J\xF6rg");
    EXPECT_EQ(mails[2].text.substr(mails[2].text.find("\r\n\r\n") + 4),
              "Gr\xFC\xDF" "e aus K\xF6ln, mit weichem Umbruch, Fehler =4G und =41.\r\n");
    EXPECT_NE(mails[2].text.find("\x01REPLYADDR =?ISO-8859-1?Q?J=F6rg?= <joerg@example.org>\r\n"), std::string::npos);

    // The plain part is the text, decoded and in Windows-1252; the HTML alternative repeats it.
    EXPECT_EQ(mails[3].h.ToUserName.str(), "erika@example.org");
    EXPECT_EQ(mails[3].h.FromUserName.str(), "HTML Sender");
    EXPECT_NE(mails[3].text.find("\x01 boundary=\"alt-1\"\r\n"), std::string::npos);
    EXPECT_EQ(mails[3].text.substr(mails[3].text.find("\r\n\r\n") + 4), "Sch\xF6ne Gr\xFC\xDF" "e\r\n");
    EXPECT_FALSE(std::filesystem::exists("text.tmp"));

    EXPECT_EQ(mails[4].h.ToUserName.str(), Name40.substr(0, 35));
    EXPECT_EQ(mails[4].h.FromUserName.str(), Name40.substr(0, 35));
    EXPECT_EQ(mails[4].h.Subject.str(), std::string(71, 'S'));
    EXPECT_EQ(mails[4].text.substr(mails[4].text.find("\r\n\r\n") + 4),
              "Here is the file.\r\n\r\nFile \"a.zip\" extracted\r\n");
    EXPECT_EQ(readBytes("a.zip"), std::string("PK\x03\x04zip data", 12));

    EXPECT_EQ(mails[5].h.ToUserName.str(), "");
    EXPECT_EQ(mails[5].h.FromUserName.str(), "nobody@example.org");
    EXPECT_EQ(mails[5].h.Subject.str(), "Leer");
    EXPECT_EQ(mails[5].text, "\x01"
                             "From: nobody@example.org\r\n\x01Subject: Leer\r\n\x01\r\n"
                             "\x01REPLYADDR nobody@example.org\r\nFrom: nobody@example.org\r\n\r\n");
}

TEST_F(IncomingRun, LaterRunsFetchOnlyWhatIsNew) {
    EdhostProcess host;
    servers().clearMails();
    Tmain& w = startWindow();
    w.BitBtn2->click();
    auto log = lastRunLog();
    ASSERT_GE(log.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(log.end() - 6, log.end()),
              (std::vector<std::string>{"POP3 0 Mails auf dem Server", "POP3 Hole Mailliste...",
                                        "POP3 0 Bytes auf dem Server", "POP3 Keine neuen Nachrichten vorhanden",
                                        "POP3 Trenne Verbindung zum Server...", "POP3 Verbindung getrennt"}));
    EXPECT_EQ(readBytes(kReadListFile), "");

    servers().setMails({simpleMail("eins"), simpleMail("zwei"), simpleMail("drei")});
    w.BitBtn2->click();
    ASSERT_EQ(storedMails(host).size(), 3u);

    // Unchanged mailbox: nothing fetched, the list rewritten with the same numbers.
    w.BitBtn2->click();
    log = lastRunLog();
    EXPECT_TRUE(contains(log, "POP3 Keine neuen Nachrichten vorhanden"));
    EXPECT_EQ(std::count_if(log.begin(), log.end(), [](auto& s) { return s.rfind("POP3 Empfange", 0) == 0; }), 0);
    EXPECT_TRUE(contains(log, "POP3 Verbindung getrennt"));
    EXPECT_EQ(readList(), (std::vector<std::int32_t>{1, 2, 3}));
    EXPECT_EQ(storedMails(host).size(), 3u);

    // A new mail: only it.
    servers().addMail(simpleMail("vier"));
    w.BitBtn2->click();
    log = lastRunLog();
    EXPECT_TRUE(contains(log, "POP3 Empfange Mail 4 (" + served(simpleMail("vier")) + " Bytes)"));
    EXPECT_FALSE(contains(log, "POP3 Keine neuen Nachrichten vorhanden"));
    auto stored = storedMails(host);
    ASSERT_EQ(stored.size(), 4u);
    EXPECT_EQ(stored[3].h.Subject.str(), "vier");

    // The mailbox shrinks to two mails: 3 and 4 drop out of the list, and the mails that
    // take those numbers later are fetched.
    test::deleteByAnotherClient(servers(), {3, 4});
    w.BitBtn2->click();
    EXPECT_TRUE(contains(lastRunLog(), "POP3 Keine neuen Nachrichten vorhanden"));
    EXPECT_EQ(readList(), (std::vector<std::int32_t>{1, 2}));
    servers().addMail(simpleMail("neu drei"));
    w.BitBtn2->click();
    stored = storedMails(host);
    ASSERT_EQ(stored.size(), 5u);
    EXPECT_EQ(stored[4].h.Subject.str(), "neu drei");
    EXPECT_EQ(readList(), (std::vector<std::int32_t>{1, 2, 3}));
}

std::vector<std::string> uidLines() {
    std::vector<std::string> out;
    std::istringstream in(readBytes(kUidListFile));
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

// Makes the host refuse the store of the mail with the given number in the listing.
void refuseStoreOf(Tmain& w, const EdhostProcess& host, int number) {
    auto count = std::make_shared<int>(0);
    w.POP3_Service->OnRetrieveStart = [&host, count, number](QObject*) {
        if (++*count == number)
            host.run({"fault", "--answer", "1039", "0x80001003"});
    };
}

TEST_F(IncomingRun, DeletionFollowsTheStoreAndTheListFollowsTheServer) {
    EdhostProcess host;
    servers().setMails({simpleMail("eins"), simpleMail("zwei"), simpleMail("drei")});
    Tmain& w = startWindow(true);
    refuseStoreOf(w, host, 2);
    w.BitBtn2->click();

    auto log = lastRunLog();
    EXPECT_EQ(log.front(), "POP3 Nachrichten vom Server löschen: ja");
    EXPECT_TRUE(contains(log, "POP3 Übetragungsfehler"));
    EXPECT_TRUE(contains(log, "POP3 Verbindung getrennt"));
    auto stored = storedMails(host);
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[0].h.Subject.str(), "eins");
    EXPECT_EQ(stored[1].h.Subject.str(), "drei");
    // Only the refused mail is left, now as number 1; no deleted number is kept as read.
    const auto left = servers().pop3Mails();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_NE(left[0].find("Subject: zwei"), std::string::npos);
    EXPECT_EQ(readList(), std::vector<std::int32_t>{});

    w.POP3_Service->OnRetrieveStart = nullptr;
    servers().addMail(simpleMail("vier"));
    w.BitBtn2->click();
    stored = storedMails(host);
    ASSERT_EQ(stored.size(), 4u);
    EXPECT_EQ(stored[2].h.Subject.str(), "zwei");
    EXPECT_EQ(stored[3].h.Subject.str(), "vier");
    EXPECT_EQ(servers().pop3Count(), 0u);
}

TEST_F(IncomingRun, ReadEntriesMoveDownWhenEarlierMailsAreDeleted) {
    EdhostProcess host;
    servers().setMails({simpleMail("eins"), simpleMail("zwei"), simpleMail("drei")});
    writeReadList({2});   // fetched by an earlier run that kept it on the server
    Tmain& w = startWindow(true);
    w.BitBtn2->click();
    ASSERT_EQ(storedMails(host).size(), 2u);
    const auto left = servers().pop3Mails();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_NE(left[0].find("Subject: zwei"), std::string::npos);
    EXPECT_EQ(readList(), std::vector<std::int32_t>{1});

    servers().addMail(simpleMail("neu"));
    w.BitBtn2->click();
    const auto stored = storedMails(host);
    ASSERT_EQ(stored.size(), 3u);
    EXPECT_EQ(stored[2].h.Subject.str(), "neu");
}

// Another client deletes mails between the runs, in front of a known mail and in front of a
// new one: by number a new mail would take a known number and be skipped, and a known mail a
// new number and come twice. By unique id each mail comes exactly once.
TEST_F(IncomingRun, MailboxChangedByAnotherClientLosesAndDuplicatesNothing) {
    EdhostProcess host;
    servers().setMails({simpleMail("eins"), simpleMail("zwei"), simpleMail("drei")});
    Tmain& w = startWindow(false);
    refuseStoreOf(w, host, 1);   // "eins" stays unread: the numbers then know 2 and 3
    w.BitBtn2->click();
    w.POP3_Service->OnRetrieveStart = nullptr;
    ASSERT_EQ(uidLines().size(), 2u);

    // eins 1, zwei 2, vier 3: by number "vier" would take the known 3.
    test::deleteByAnotherClient(servers(), {3});
    servers().addMail(simpleMail("vier"));
    w.BitBtn2->click();
    // zwei 1, vier 2, fuenf 3: by number "zwei" would come again as the unknown 1.
    test::deleteByAnotherClient(servers(), {1});
    servers().addMail(simpleMail("fuenf"));
    w.BitBtn2->click();

    EXPECT_EQ(test::hostSubjects(host), (std::map<std::string, int>{
                                            {"eins", 1}, {"zwei", 1}, {"drei", 1}, {"vier", 1}, {"fuenf", 1}}));
    // Both lists follow the mailbox: three ids, and the numbers as they are now.
    EXPECT_EQ(uidLines().size(), 3u);
    auto numbers = readList();
    std::sort(numbers.begin(), numbers.end());
    EXPECT_EQ(numbers, (std::vector<std::int32_t>{1, 2, 3}));
}

// The first run with ids decides by the numbers and records the ids of what they count as
// read; the file is the user's alone. A damaged id list fetches nothing and says so.
TEST_F(IncomingRun, ChangeOverToIdsFetchesNothingTwice) {
    EdhostProcess host;
    servers().setMails({simpleMail("eins"), simpleMail("zwei"), simpleMail("drei")});
    writeReadList({1, 2});
    Tmain& w = startWindow(false);
    w.BitBtn2->click();
    EXPECT_EQ(test::hostSubjects(host), (std::map<std::string, int>{{"drei", 1}}));
    EXPECT_EQ(uidLines().size(), 3u);
    EXPECT_EQ(std::filesystem::status(kUidListFile).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

    test::deleteByAnotherClient(servers(), {1});
    servers().addMail(simpleMail("vier"));
    w.BitBtn2->click();
    EXPECT_EQ(test::hostSubjects(host), (std::map<std::string, int>{{"drei", 1}, {"vier", 1}}));

    // (A last line without its line end was torn by a power cut and is dropped.)
    writeBytes(kUidListFile, readBytes(kUidListFile) + "kaputt mit Leerzeichen\n");
    w.BitBtn2->click();
    ASSERT_EQ(boxes().texts().size(), 1u);
    EXPECT_EQ(boxes().texts()[0], "Die Liste der abgeholten Nachrichten readmsg.uid konnte nicht gelesen werden: "
                                  "Invalid data in line 4. Es wurden keine Nachrichten abgeholt.");
    EXPECT_EQ(test::hostSubjects(host).size(), 2u);
    EXPECT_EQ(w.RunState, TRunState::Idle);
    EXPECT_EQ(enabled(w), "1111101");
}

// A disk that takes no more: the lists are written before the first mail, so nothing is
// fetched that could not be recorded; a save that fails at the end is a box too.
TEST_F(IncomingRun, FullDiskForTheReadList) {
    EdhostProcess host;
    // 148 known mails make a list of 1184 bytes, more than the disk takes; the host's blocks
    // for the two new small mails still fit.
    std::vector<std::string> mails;
    std::vector<std::int32_t> known;
    for (int k = 1; k <= 150; ++k) {
        mails.push_back(simpleMail("Brief " + std::to_string(k)));
        if (k <= 148)
            known.push_back(k);
    }
    servers().setMails(mails);
    writeReadList(known);
    Tmain& w = startWindow(true);
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit full = old;
    full.rlim_cur = 1024;
    auto diskFull = [&](bool on) { ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, on ? &full : &old), 0); };

    diskFull(true);
    w.BitBtn2->click();
    diskFull(false);
    EXPECT_EQ(boxes().texts(), std::vector<std::string>{"Die Liste der abgeholten Nachrichten readmsg.lst konnte nicht "
                                                         "gespeichert werden: Disk full. Es wurden keine Nachrichten "
                                                         "abgeholt."});
    EXPECT_TRUE(storedMails(host).empty());
    EXPECT_EQ(servers().pop3Count(), 150u);
    EXPECT_EQ(w.RunState, TRunState::Idle);

    // Full once the first mail is coming: that mail is stored, but as the journal cannot record
    // it, it is not deleted and the run stops; the boxes say so and what the lost list means.
    boxes().reset();
    w.POP3_Service->OnRetrieveStart = [&](QObject*) { diskFull(true); };
    w.BitBtn2->click();
    diskFull(false);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(boxes().texts(), (std::vector<std::string>{
                                   "Die Liste der abgeholten Nachrichten readmsg.uid konnte nicht gespeichert werden: "
                                   "Disk full. Der Abruf wurde angehalten; die übrigen Mails holt der nächste Abruf.",
                                   "Die Liste der abgeholten Nachrichten readmsg.lst konnte nicht gespeichert werden: "
                                   "Disk full. Beim nächsten Abruf können Nachrichten doppelt ankommen."}));
    EXPECT_EQ(storedMails(host).size(), 1u);
    EXPECT_EQ(servers().pop3Count(), 150u);

    // With room again the next run finds the stored mail in the host, fetches the other one,
    // and deletes both.
    w.POP3_Service->OnRetrieveStart = nullptr;
    w.BitBtn2->click();
    EXPECT_EQ(storedMails(host).size(), 2u);
    EXPECT_EQ(servers().pop3Count(), 148u);
}

// The host does not confirm the close, as when it could not put the stored mails on disk: the
// session is dropped without QUIT, so nothing is deleted that might not be safe in the host.
TEST_F(IncomingRun, NoDeletionWithoutAConfirmedClose) {
    EdhostProcess host;
    servers().setMails({simpleMail("eins"), simpleMail("zwei")});
    Tmain& w = startWindow(true);
    host.run({"fault", "--answer", "1034", "0x80001001"});
    w.BitBtn2->click();
    const auto log = lastRunLog();
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const std::string& s) {
        return s.rfind("ED95 Area EMAIL konnte nicht geschlossen werden: ", 0) == 0;
    }));
    EXPECT_FALSE(contains(log, "POP3 Trenne Verbindung zum Server..."));
    EXPECT_EQ(storedMails(host).size(), 2u);
    EXPECT_EQ(servers().pop3Count(), 2u);

    // The next run knows both mails by their ids.
    w.BitBtn2->click();
    EXPECT_EQ(storedMails(host).size(), 2u);
}

TEST_F(IncomingRun, RefusedStoreIsFetchedAgainNextTime) {
    EdhostProcess host;
    servers().setMails({simpleMail("eins"), simpleMail("zwei")});
    Tmain& w = startWindow(false);
    refuseStoreOf(w, host, 1);
    w.BitBtn2->click();
    EXPECT_TRUE(contains(lastRunLog(), "POP3 Übetragungsfehler"));
    ASSERT_EQ(storedMails(host).size(), 1u);
    EXPECT_EQ(readList(), std::vector<std::int32_t>{2});

    w.POP3_Service->OnRetrieveStart = nullptr;
    w.BitBtn2->click();
    const auto stored = storedMails(host);
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[1].h.Subject.str(), "eins");
    EXPECT_EQ(readList(), (std::vector<std::int32_t>{2, 1}));
    EXPECT_EQ(servers().pop3Count(), 2u);
}

TEST_F(IncomingRun, FailedConnectionsShowOneBoxEach) {
    EdhostProcess host;
    servers().setMails({simpleMail("eins")});
    Tmain& w = startWindow();

    // Wrong password: the login box only, with the command refused and the server's words.
    w.Settings.POP3Password = "wrong";
    w.BitBtn2->click();
    EXPECT_EQ(boxes().texts(), std::vector<std::string>{
                                   "Der Server hat Sie nicht autorisiert. Stellen Sie sicher, dass Sie in der "
                                   "Konfiguration das richtige Passwort und den korrekten Login-Namen eingestellt haben. "
                                   "POP3 Server lehnt PASS ab: -ERR [AUTH] Authentication failed."});
    auto log = lastRunLog();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[log.size() - 3], "POP3 Authentification failed");
    EXPECT_EQ(log[log.size() - 2], "POP3 Server lehnt PASS ab: -ERR [AUTH] Authentication failed.");
    EXPECT_EQ(log.back(), "POP3 Keine Verbindung zum Server");
    EXPECT_EQ(w.RunState, TRunState::Receiving);
    EXPECT_EQ(enabled(w), "1111101");
    EXPECT_EQ(w.status->text(), "");
    EXPECT_FALSE(std::filesystem::exists(kReadListFile));

    // A name that does not resolve: the not-found box only.
    boxes().reset();
    w.Settings.POP3Password = servers().password();
    w.Settings.POP3Server = "pop.nowhere.test";
    setLookupFunction([](const std::string&) { return LookupResult{0, 11001}; });
    w.BitBtn2->click();
    setLookupFunction({});
    EXPECT_EQ(boxes().texts(), std::vector<std::string>{"Dieser Server konnte nicht gefunden werden: pop.nowhere.test. "
                                                         "Der Name des POP3-Servers pop.nowhere.test wurde nicht "
                                                         "gefunden."});
    EXPECT_EQ(lastRunLog().back(), "POP3 Keine Verbindung zum Server");

    // Nobody listening: the general box.
    boxes().reset();
    w.Settings.POP3Server = "127.0.0.1";
    w.Settings.POP3Port = test::closedPort();
    w.BitBtn2->click();
    EXPECT_EQ(boxes().texts(), std::vector<std::string>{
                                   "Es konnte keine Verbindung zu 127.0.0.1 hergestellt werden. Überprüfen Sie Ihre "
                                   "Einstellungen. Vielleicht sind Sie aber zur Zeit auch nicht mit dem Internet verbunden. "
                                   "Der POP3-Server 127.0.0.1 hat die Verbindung abgelehnt."});
    EXPECT_EQ(enabled(w), "1111101");
    EXPECT_TRUE(storedMails(host).empty());

    // No server entered: nothing is tried, and the box says what is missing.
    boxes().reset();
    w.Settings.POP3Server.clear();
    w.BitBtn2->click();
    EXPECT_EQ(boxes().texts(), std::vector<std::string>{"Es ist kein POP3-Server eingetragen."});
    EXPECT_EQ(lastRunLog().back(), "POP3 Keine Verbindung zum Server");

    // The user's own "Abbrechen" while a silent server keeps the run waiting: the log says
    // it, no box tells the user to check the settings.
    boxes().reset();
    test::SilentListener silent;
    w.Settings.POP3Server = "127.0.0.1";
    w.Settings.POP3Port = silent.port();
    QTimer::singleShot(200, &w, [&w] { w.BitBtn7->click(); });
    w.BitBtn2->click();
    EXPECT_TRUE(boxes().shown.empty()) << boxes().texts()[0];
    EXPECT_EQ(lastRunLog().back(), "POP3 Keine Verbindung zum Server");
    EXPECT_EQ(enabled(w), "1111101");
}

TEST_F(IncomingRun, CancelDuringAMailKeepsWhatTheRunDidNotReach) {
    EdhostProcess host;
    std::string big;
    for (int i = 0; i < 200000; ++i)
        big += "Eine Zeile eines grossen Briefes, lang genug fuer viele Pakete: " + std::to_string(i) + "\n";
    servers().setMails({simpleMail("eins"), simpleMail("gross", big), simpleMail("drei")});
    writeReadList({3});   // fetched by an earlier run
    Tmain& w = startWindow();

    // "Abbrechen" once the bar shows that the big mail is coming in. The bar moves at most every
    // 40 ms; on a fast machine the whole mail may take less, so the first line of the big mail
    // waits a little.
    int highest = 0;
    bool clicked = false;
    bool waited = false;
    auto progress = w.POP3_Service->OnRetrieveProgress;
    w.POP3_Service->OnRetrieveProgress = [&](QObject* sender) {
        if (!waited && w.details1->text().startsWith("Nachricht 2 ")) {
            waited = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
        }
        progress(sender);
        highest = std::max(highest, w.ProgressBar1->value());
        if (!clicked && w.ProgressBar1->value() > 0) {
            EXPECT_EQ(w.status->text(), "Empfange Nachrichten von 127.0.0.1");
            EXPECT_EQ(w.details1->text().toStdString(), "Nachricht 2 mit " + served(simpleMail("gross", big)) + " Bytes");
            EXPECT_TRUE(w.details2->text().startsWith("Insgesamt ")) << w.details2->text().toStdString();
            EXPECT_TRUE(w.details2->text().endsWith(" Bytes in 3 Nachrichten")) << w.details2->text().toStdString();
            clicked = true;
            EXPECT_TRUE(w.BitBtn7->isEnabled());
            w.BitBtn7->click();
        }
    };
    w.BitBtn2->click();
    ASSERT_TRUE(clicked) << "the progress bar never moved";
    EXPECT_GT(highest, 0);
    EXPECT_LT(highest, 100);

    const auto log = lastRunLog();
    const std::vector<std::string> tail(log.end() - 4, log.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"POP3 Empfange Mail 1 (" + served(simpleMail("eins")) + " Bytes)",
                                              "ED95 Nachricht wird in EMAIL gespeichert...",
                                              "POP3 Empfange Mail 2 (" + served(simpleMail("gross", big)) + " Bytes)",
                                              "POP3 Übetragung vom Benutzer abgebrochen"}));
    EXPECT_EQ(w.RunState, TRunState::Idle);
    EXPECT_EQ(enabled(w), "1111101");
    EXPECT_EQ(w.ProgressBar1->value(), 0);
    EXPECT_TRUE(boxes().shown.empty());
    // The known number 3 was not reached and stays; mail 1 was stored.
    EXPECT_EQ(readList(), (std::vector<std::int32_t>{3, 1}));
    ASSERT_EQ(storedMails(host).size(), 1u);

    // The next run connects afresh and fetches only the big mail.
    w.POP3_Service->OnRetrieveProgress = progress;
    w.BitBtn2->click();
    const auto stored = storedMails(host);
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[1].h.Subject.str(), "gross");
    EXPECT_EQ(readList(), (std::vector<std::int32_t>{3, 1, 2}));
}

TEST_F(IncomingRun, CancelDuringTheListingLeavesTheListFileAlone) {
    EdhostProcess host;
    servers().setMails({simpleMail("eins"), simpleMail("zwei"), simpleMail("drei")});
    writeReadList({7, 1});
    const std::string before = readBytes(kReadListFile);
    Tmain& w = startWindow();
    auto list = w.POP3_Service->OnList;
    w.POP3_Service->OnList = [&](int msg, int size) {
        list(msg, size);
        if (msg == 1)
            w.BitBtn7->click();
    };
    w.BitBtn2->click();
    EXPECT_EQ(lastRunLog().back(), "Übertragung bei Initialisierung abgebrochen");
    EXPECT_EQ(readBytes(kReadListFile), before);
    EXPECT_EQ(w.RunState, TRunState::Idle);
    EXPECT_EQ(enabled(w), "1111101");
    EXPECT_TRUE(storedMails(host).empty());

    w.POP3_Service->OnList = list;
    w.BitBtn2->click();
    EXPECT_EQ(storedMails(host).size(), 2u);
    EXPECT_EQ(readList(), (std::vector<std::int32_t>{1, 2, 3}));
}

TEST_F(IncomingRun, LostHostEndsTheRunWithoutLosingStoredMails) {
    EdhostProcess host;
    servers().setMails({simpleMail("eins"), simpleMail("zwei"), simpleMail("drei")});
    Tmain& w = startWindow(true);
    int started = 0;
    w.POP3_Service->OnRetrieveStart = [&](QObject*) {
        if (++started == 2) {
            host.stop();
            // The host's farewell reaches the window while the run waits for the server.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            pumpUntil([&] { return w.RunState == TRunState::Cancelled || std::chrono::steady_clock::now() > deadline; });
        }
    };
    w.BitBtn2->click();

    const auto log = lastRunLog();
    EXPECT_TRUE(contains(log, "ED95 Verbindung zu Echodesk verloren"));
    EXPECT_TRUE(contains(log, "ED95 Area EMAIL konnte nicht geschlossen werden: Not connected to Echodesk!"));
    EXPECT_FALSE(contains(log, "POP3 Empfange Mail 3 (" + served(simpleMail("drei")) + " Bytes)"));
    EXPECT_FALSE(contains(log, "POP3 Trenne Verbindung zum Server..."));
    EXPECT_TRUE(boxes().shown.empty()) << boxes().texts()[0];
    EXPECT_EQ(enabled(w), "0001101");
    EXPECT_EQ(w.RunState, TRunState::Idle);
    // The session ended without QUIT, so nothing was deleted and mail 1 stays known.
    EXPECT_EQ(servers().pop3Count(), 3u);
    EXPECT_EQ(readList(), std::vector<std::int32_t>{1});
    ASSERT_TRUE(host.start());
    EXPECT_EQ(storedMails(host).size(), 1u);
}

TEST_F(IncomingRun, InternetPollSendsAfterAFailedRetrieval) {
    EdhostProcess host;
    Tmain& w = startWindow();
    w.Settings.POP3Password = "wrong";
    w.BitBtn1->click();
    const auto log = logTexts();
    const auto failed = std::find(log.begin(), log.end(), "POP3 Keine Verbindung zum Server");
    ASSERT_NE(failed, log.end());
    EXPECT_TRUE(std::any_of(failed, log.end(), [](const std::string& s) { return s.rfind("SMTP ", 0) == 0; }))
        << "the sending half did not run";
    EXPECT_EQ(enabled(w), "1111101");
    EXPECT_EQ(w.status->text(), "");
}

} // namespace
} // namespace pb
