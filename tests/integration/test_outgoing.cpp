// The sending run end to end: messages written into a real edhost with its `write` command, a
// real SMTP server (the aiosmtpd sink storing each accepted mail byte for byte), the main window
// offscreen with its message boxes and the recipient prompt played by the test. What arrives at
// the server, what the host's flags say afterwards, what the log and the boxes say.
#include "mail/PB_addressbook.h"
#include "platform/MessageLoop.h"
#include "support/EdhostProcess.h"
#include "support/LoopbackServer.h"
#include "support/StrictServers.h"
#include "support/MailRunFixture.h"

#include <QByteArray>
#include <QDateTime>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QToolButton>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <string>
#include <vector>

namespace pb {
namespace {

using test::boxes;
using test::EdhostProcess;
using test::enabled;
using test::SmtpMail;
using test::writeBytes;
using Lines = std::vector<std::string>;

constexpr const char* PointAddress = "point@example.org";

// The mail text as the window composes it: header lines, two empty lines, the body lines. Texts
// are Windows-1252 bytes.
std::string composed(const std::string& fromName, const std::string& to, const std::string& subject,
                     const Lines& body) {
    std::string s = "From: " + fromName + " <" + PointAddress + ">\r\nTo: " + to + "\r\n";
    if (!subject.empty())
        s += "Subject: " + subject + "\r\n";
    s += "X-Mailer: Echodesk 95 using Postbridge Alpha 4\r\n"
         "Mime-Version: 1.0\r\n"
         "Content-Type: text/plain; charset=iso-8859-1\r\n"
         "\r\n\r\n";
    for (const std::string& line : body)
        s += line + "\r\n";
    return s;
}

// Plays the user in the recipient prompt: for each time it is shown, types the next set of
// entries and adds each with "Hinzufügen >>"; then the dialog is left (with "OK", or by the close
// box when nothing was added).
class PromptUser : public TAddressForm {
public:
    std::deque<Lines> typed;
    Lines subjects;
    void ShowModal() override {
        subjects.push_back(toUtf8(fromUnicode(Betreff->text())));
        Lines entries;
        if (!typed.empty()) {
            entries = typed.front();
            typed.pop_front();
        }
        for (const std::string& e : entries) {
            AdrNew->setText(QString::fromStdString(e));
            Button1Click();
        }
    }
};

class OutgoingRun : public test::MailRunFixture {
protected:
    void SetUp() override {
        MainWindowFixture::SetUp();
        servers().clearSmtp();
        SaveAddressBook({{"Erika Mustermann", "erika@example.org"}, {"Max", "max@example.org"}});
    }

    // The window after its start-up against the test's host, sending through the test's server.
    Tmain& startWindow() {
        Tmain& w = MailRunFixture::startWindow();
        w.Settings.SMTPEmail = PointAddress;
        w.Settings.SMTPLogin = "point";
        w.Settings.StripInitials = false;
        w.AddressForm = &prompt_;
        return w;
    }

    // Writes an outgoing message into "EMAIL" as the user of the point program does (UTF-8 in,
    // the host stores Windows-1252); returns its number.
    int write(EdhostProcess& host, const std::string& from, const std::string& to, const std::string& subject,
              const std::string& text) {
        writeBytes("message.txt", text);
        int code = -1;
        const std::string out = host.run({"write", "EMAIL", "--from", from, "--to", to, "--subject", subject,
                                          "--text-file", path("message.txt")},
                                         &code);
        EXPECT_EQ(code, 0) << out;
        return ++written_;
    }

    static std::string flags(EdhostProcess& host, int n) {
        std::string f = host.run({"flags", "EMAIL", std::to_string(n)});
        while (!f.empty() && f.back() == '\n')
            f.pop_back();
        return f;
    }

    // The log entries of the latest sending run.
    std::vector<std::string> lastRunLog() const {
        const auto all = logTexts();
        auto it = std::find_if(all.rbegin(), all.rend(),
                               [](const std::string& s) { return s.rfind("SMTP Serveradresse: ", 0) == 0; });
        return it == all.rend() ? Lines{} : Lines(std::prev(it.base()), all.end());
    }

    Lines connectLines() const {
        return {"SMTP Serveradresse: 127.0.0.1", "SMTP Serverportnr.: " + std::to_string(servers().smtpPort()),
                "SMTP Login: point", "SMTP Erstelle Verbindung...", "SMTP Verbunden mit Server 127.0.0.1"};
    }

    static Lines closingLines() { return {"SMTP Verbindung wird getrennt...", "SMTP Verbindung getrennt"}; }

    // The mail as received, without its Date and Message-ID lines: every mail has each once, in
    // its standard form, but their values differ from run to run.
    static std::string received(const SmtpMail& m) {
        std::string out;
        int dates = 0, ids = 0;
        const std::size_t headerEnd = m.data.find("\r\n\r\n");
        for (std::size_t pos = 0; pos < m.data.size();) {
            const std::size_t end = std::min(m.data.find("\r\n", pos), m.data.size() - 2) + 2;
            const std::string line = m.data.substr(pos, end - pos);
            const bool inHeader = pos < headerEnd;
            if (inHeader && line.rfind("Date: ", 0) == 0) {
                ++dates;
                EXPECT_TRUE(QDateTime::fromString(QString::fromStdString(line.substr(6, line.size() - 8)),
                                                  Qt::RFC2822Date).isValid()) << line;
            } else if (inHeader && line.rfind("Message-ID: <", 0) == 0) {
                ++ids;
                EXPECT_EQ(line.substr(line.size() - 15), "@example.org>\r\n");
            } else {
                out += line;
            }
            pos = end;
        }
        EXPECT_EQ(dates, 1);
        EXPECT_EQ(ids, 1);
        return out;
    }

    // What Python's email package reads from a sent mail: subject, sender, recipient, the text's
    // charset and the text (LF line ends; it begins with the empty line every sent text begins
    // with), and how many defects it found. UTF-8.
    static std::string parsedBack(const SmtpMail& m) {
        QProcess python;
        python.start("python3", {"-c", "import sys, email, email.policy\n"
                                       "m = email.message_from_bytes(sys.stdin.buffer.read(), policy=email.policy.default)\n"
                                       "d = len(m.defects) + sum(len(m[h].defects) for h in ('subject', 'from', 'to'))\n"
                                       "sys.stdout.buffer.write('|'.join([m['subject'], m['from'], m['to'], "
                                       "m.get_content_charset(), m.get_content().replace('\\r\\n', '\\n'), "
                                       "str(d)]).encode())\n"});
        python.write(QByteArray::fromStdString(m.data));
        python.closeWriteChannel();
        EXPECT_TRUE(python.waitForFinished(20000));
        EXPECT_EQ(python.exitCode(), 0) << python.readAllStandardError().toStdString();
        return python.readAllStandardOutput().toStdString();
    }

    PromptUser prompt_;
    int written_ = 0;
};

Lines concat(std::initializer_list<Lines> parts) {
    Lines out;
    for (const Lines& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST_F(OutgoingRun, RecipientsTextsAndFlagsOfAMixedArea) {
    EdhostProcess host;
    Tmain& w = startWindow();   // creates "EMAIL"
    const std::string quote = " EM> " + std::string(195, 'q');
    const int book = write(host, "Max Punkt", "Irgendwer", "Buch", "To: Erika Mustermann\n\nHallo Erika,\nzweite Zeile.\n");
    const int address = write(host, "", "X", "Adresse", "TO:   who@example.net\nText\n");
    const int done = write(host, "Max Punkt", "Erika Mustermann", "Schon gesendet", "Text\n");
    const int twoTo = write(host, "Max Punkt", "Y", "", "To: Erika Mustermann\nto: Niemand\nHallo\n");
    const int received40 = write(host, "Max Punkt", "Erika Mustermann", "Empfangen", "Text\n");
    const int firstUnknown = write(host, "Max Punkt", "Erika Mustermann", "Unbekannt",
                                   "To: Niemand\nTo: Erika Mustermann\nText\n");
    const int byName = write(host, "Max Punkt", "Erika Mustermann", "Grüße",
                             "\nLiebe Erika,\n" + std::string(100, 'x') + "\n" + std::string(69, 'a') + " " +
                                 std::string(10, 'b') + "\n" + quote + "\n.punkt\nÄrger über Öl\n");
    host.run({"flags", "EMAIL", std::to_string(done), "0x0841"});
    host.run({"flags", "EMAIL", std::to_string(received40), "0x0040"});

    w.BitBtn3->click();

    const auto mails = servers().smtpReceived();
    ASSERT_EQ(mails.size(), 4u);
    EXPECT_EQ(received(mails[0]), composed("Max Punkt", "Erika Mustermann <erika@example.org>", "Buch",
                                           {"Hallo Erika,", "zweite Zeile.", ""}));
    EXPECT_EQ(mails[0].rcptTo, Lines{"erika@example.org"});
    EXPECT_EQ(mails[0].mailFrom, PointAddress);
    EXPECT_EQ(mails[0].helo, "point");
    // An empty sender name leaves the blank before the address.
    EXPECT_EQ(received(mails[1]), composed("", "who@example.net", "Adresse", {"Text", ""}));
    EXPECT_EQ(mails[1].rcptTo, Lines{"who@example.net"});
    // No subject, no Subject line; the unknown second To line is gone from the text.
    EXPECT_EQ(received(mails[2]), composed("Max Punkt", "Erika Mustermann <erika@example.org>", "", {"Hallo", ""}));
    // 8-bit text leaves as UTF-8: what a mail program reads from it is what was written.
    EXPECT_EQ(parsedBack(mails[3]), "Grüße|Max Punkt <point@example.org>|Erika Mustermann <erika@example.org>|utf-8|"
                                    "\nLiebe Erika,\n" + std::string(72, 'x') + "\n" + std::string(28, 'x') + "\n" +
                                        std::string(69, 'a') + "\n" + std::string(10, 'b') + "\n" + quote +
                                        "\n.punkt\nÄrger über Öl\n\n|0");

    EXPECT_EQ(flags(host, book), "0x0080");
    EXPECT_EQ(flags(host, address), "0x0080");
    EXPECT_EQ(flags(host, done), "0x0841");
    EXPECT_EQ(flags(host, twoTo), "0x0080");
    EXPECT_EQ(flags(host, received40), "0x0040");
    EXPECT_EQ(flags(host, firstUnknown), "0x0840");
    EXPECT_EQ(flags(host, byName), "0x0080");

    const std::string erika = "SMTP Sende Nachricht an: Erika Mustermann <erika@example.org>";
    const std::string sent = "SMTP Nachricht erfolgreich gesendet";
    EXPECT_EQ(lastRunLog(), concat({connectLines(),
                                    {erika, sent},
                                    {"SMTP Sende Nachricht an: who@example.net", sent},
                                    {"SMTP Unebkannter Empfänger", erika, sent},
                                    {"SMTP Unebkannter Empfänger: Niemand", "SMTP Senden der Nachricht gescheitert"},
                                    {erika, sent},
                                    closingLines()}));
    // The message without a recipient is refused before anything is sent.
    ASSERT_EQ(boxes().shown.size(), 1u);
    EXPECT_EQ(boxes().texts()[0], "Die Nachricht konnte nicht versendet werden. Die Nachricht hat keinen Empfänger.");
    EXPECT_EQ(enabled(w), "1111101");
    EXPECT_EQ(w.status->text(), "");
    EXPECT_EQ(w.RunState, TRunState::Idle);
    EXPECT_EQ(prompt_.subjects, Lines{});
    EXPECT_EQ(host.run({"status"}).find("open area"), std::string::npos);

    // The next run tries only the message that failed.
    servers().clearSmtp();
    boxes().reset();
    w.BitBtn3->click();
    EXPECT_TRUE(servers().smtpReceived().empty());
    EXPECT_EQ(lastRunLog(), concat({connectLines(),
                                    {"SMTP Unebkannter Empfänger: Niemand", "SMTP Senden der Nachricht gescheitert"},
                                    closingLines()}));
    EXPECT_EQ(boxes().shown.size(), 1u);
    EXPECT_EQ(flags(host, firstUnknown), "0x0840");
}

TEST_F(OutgoingRun, EightBitNamesAndSubjectsBecomeEncodedWords) {
    EdhostProcess host;
    Tmain& w = startWindow();
    SaveAddressBook({{ansi("Jürgen Groß"), "jg@example.org"}});
    const std::string subject = "Grüße – „Zitat“ kostet 5 € und dieser Betreff wird gefaltet";
    write(host, "Jörg Müller", "Jürgen Groß", subject, "Text mit \u0081 und =3D\n");
    w.BitBtn3->click();

    const auto mails = servers().smtpReceived();
    ASSERT_EQ(mails.size(), 1u);
    // Folded: no header line is longer than 78 characters.
    const std::string header = mails[0].data.substr(0, mails[0].data.find("\r\n\r\n") + 2);
    for (std::size_t pos = 0, end; (end = header.find("\r\n", pos)) != std::string::npos; pos = end + 2)
        EXPECT_LE(end - pos, 78u) << header.substr(pos, end - pos);
    EXPECT_EQ(parsedBack(mails[0]), subject + "|Jörg Müller <point@example.org>|Jürgen Groß <jg@example.org>|utf-8|"
                                              "\nText mit ? und =3D\n\n|0");
}

TEST_F(OutgoingRun, PromptNamesTheRecipientsWhenNothingResolves) {
    EdhostProcess host;
    Tmain& w = startWindow();   // creates "EMAIL"
    const int asked = write(host, "Max Punkt", "Unbekannt", "Frage", "Hallo\n");
    const int closed = write(host, "Max Punkt", "Auch unbekannt", "Leer", "Hallo\n");
    prompt_.typed = {{"Erika Mustermann", "b@example.net"}, {}};
    w.BitBtn3->click();

    EXPECT_EQ(prompt_.subjects, (Lines{"Frage", "Leer"}));
    const auto mails = servers().smtpReceived();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].rcptTo, (Lines{"erika@example.org", "b@example.net"}));
    EXPECT_EQ(received(mails[0]),
              composed("Max Punkt", "Erika Mustermann <erika@example.org>,b@example.net", "Frage", {"Hallo", ""}));
    EXPECT_EQ(flags(host, asked), "0x0080");
    EXPECT_EQ(flags(host, closed), "0x0840");
    EXPECT_EQ(lastRunLog(), concat({connectLines(),
                                    {"SMTP Sende Nachricht an: Erika Mustermann <erika@example.org>",
                                     "SMTP Sende Nachricht an: b@example.net", "SMTP Nachricht erfolgreich gesendet"},
                                    {"SMTP Senden der Nachricht gescheitert"},
                                    closingLines()}));
    ASSERT_EQ(boxes().shown.size(), 1u);
    EXPECT_EQ(boxes().texts()[0], "Die Nachricht konnte nicht versendet werden. Die Nachricht hat keinen Empfänger.");
}

TEST_F(OutgoingRun, QuoteInitialsFollowTheSetting) {
    EdhostProcess host;
    Tmain& w = startWindow();   // creates "EMAIL"
    const std::string text = "To: Max\n\n EM> zitiert\nEM>> doppelt\nABCDEF> weit\n";
    write(host, "Max Punkt", "M", "Mit", text);
    w.Settings.StripInitials = true;
    w.BitBtn3->click();
    write(host, "Max Punkt", "M", "Ohne", text);
    w.Settings.StripInitials = false;
    w.BitBtn3->click();

    const auto mails = servers().smtpReceived();
    ASSERT_EQ(mails.size(), 2u);
    EXPECT_EQ(received(mails[0]),
              composed("Max Punkt", "Max <max@example.org>", "Mit", {"> zitiert", ">> doppelt", "ABCDEF> weit", ""}));
    EXPECT_EQ(received(mails[1]), composed("Max Punkt", "Max <max@example.org>", "Ohne",
                                           {" EM> zitiert", "EM>> doppelt", "ABCDEF> weit", ""}));
}

TEST_F(OutgoingRun, RefusedMailShowsBothBoxesAndTheNextGoesToItsOwnRecipients) {
    EdhostProcess host;
    Tmain& w = startWindow();   // creates "EMAIL"
    const int refused = write(host, "Max Punkt", "R", "Abgelehnt", "To: Max\nTo: datareject@example.net\nText\n");
    const int next = write(host, "Max Punkt", "S", "Danach", "To: ok@example.net\nText\n");
    w.BitBtn3->click();

    const auto texts = boxes().texts();
    ASSERT_EQ(texts.size(), 2u);
    const std::string reply = toUtf8(w.SMTP_Service->Status());
    EXPECT_EQ(texts[0].rfind("Die Nachricht konnte nicht versendet werden. Medlung vom Server :554", 0), 0u) << texts[0];
    // The run's box and log name the command and the server's words.
    const std::string sentence = "Die Nachricht konnte nicht versendet werden. ";
    EXPECT_EQ(texts[1].rfind(sentence + "SMTP Server lehnt DATA ab: 554 ", 0), 0u) << texts[1];
    EXPECT_EQ(lastRunLog(), concat({connectLines(),
                                    {"SMTP Sende Nachricht an: Max <max@example.org>",
                                     "SMTP Sende Nachricht an: datareject@example.net",
                                     "SMTP Senden der Nachricht gescheiterr", "SMTP Senden der Nachricht gescheitert",
                                     texts[1].substr(sentence.size())},
                                    {"SMTP Sende Nachricht an: ok@example.net", "SMTP Nachricht erfolgreich gesendet"},
                                    closingLines()}));
    const auto mails = servers().smtpReceived();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].rcptTo, Lines{"ok@example.net"});
    EXPECT_EQ(received(mails[0]), composed("Max Punkt", "ok@example.net", "Danach", {"Text", ""}));
    EXPECT_EQ(flags(host, refused), "0x0840");
    EXPECT_EQ(flags(host, next), "0x0080");
    EXPECT_EQ(enabled(w), "1111101");
}

TEST_F(OutgoingRun, RefusedHeloEndsTheRunWithOneBox) {
    EdhostProcess host;
    Tmain& w = startWindow();   // creates "EMAIL"
    const int n = write(host, "Max Punkt", "Erika Mustermann", "Bleibt", "Text\n");
    w.Settings.SMTPLogin = "rejected-name";
    w.BitBtn3->click();

    const auto texts = boxes().texts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0].rfind("Die Nachricht konnte nicht versendet werden. Medlung vom Server :550", 0), 0u) << texts[0];
    const auto log = lastRunLog();
    ASSERT_GE(log.size(), 3u);
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(Lines(log.end() - 4, log.end() - 2), (Lines{"SMTP Erstelle Verbindung...", "SMTP Senden der Nachricht gescheiterr"}));
    EXPECT_EQ(log[log.size() - 2].rfind("SMTP Server lehnt HELO ab: 550 ", 0), 0u) << log[log.size() - 2];
    EXPECT_EQ(log.back(), "SMTP Keine Verbindung zum Server");
    EXPECT_TRUE(servers().smtpReceived().empty());
    EXPECT_EQ(flags(host, n), "0x0840");
    EXPECT_EQ(enabled(w), "1111101");
    EXPECT_EQ(w.status->text(), "");
    EXPECT_TRUE(w.ShowConnectError);

    // A server that cannot be reached gets the generic box, with no "Medlung" before it.
    boxes().reset();
    w.Settings.SMTPPort = test::closedPort();
    w.BitBtn3->click();
    ASSERT_EQ(boxes().shown.size(), 1u);
    // No stale line of an earlier session ("221 Bye"), but why: nobody listens on the port.
    EXPECT_EQ(boxes().texts()[0], "Es konnte keine Verbindung zu 127.0.0.1 hergestellt werden. Überprüfen Sie "
                                  "Ihre Einstellungen. Vielleicht sind Sie aber zur Zeit auch nicht mit dem "
                                  "Internet verbunden. Der SMTP-Server 127.0.0.1 hat die Verbindung abgelehnt.");
    EXPECT_EQ(lastRunLog().back(), "SMTP Keine Verbindung zum Server");
    EXPECT_EQ(flags(host, n), "0x0840");
    EXPECT_EQ(enabled(w), "1111101");
}

// A body long enough to go out in several pieces, so that a cancel lands in its middle.
std::string longText() {
    std::string t = "To: Max\n";
    for (int i = 0; i < 800; ++i)
        t += "Zeile " + std::to_string(i) + " mit etwas Text, damit die Nachricht gross genug wird.\n";
    return t;
}

TEST_F(OutgoingRun, CancelDuringATransferKeepsTheMessageUnsent) {
    EdhostProcess host;
    Tmain& w = startWindow();   // creates "EMAIL"
    const int first = write(host, "Max Punkt", "M", "Gross", longText());
    const int second = write(host, "Max Punkt", "M", "Danach", "To: Max\nText\n");
    bool pressed = false;
    w.SMTP_Service->OnPacketSent = [&](QObject*) {
        if (!pressed) {
            pressed = true;
            EXPECT_EQ(enabled(w), "0000010");
            EXPECT_EQ(w.status->text(), "Sende Nachrichten");
            EXPECT_EQ(w.RunState, TRunState::Sending);
            w.BitBtn7->click();
        }
    };
    w.BitBtn3->click();

    ASSERT_TRUE(pressed);
    EXPECT_EQ(lastRunLog(), concat({connectLines(),
                                    {"SMTP Sende Nachricht an: Max <max@example.org>",
                                     "SMTP Senden vom Benutzer abgebrochen"},
                                    closingLines()}));
    EXPECT_TRUE(boxes().shown.empty());
    EXPECT_TRUE(servers().smtpReceived().empty());
    EXPECT_EQ(flags(host, first), "0x0840");
    EXPECT_EQ(flags(host, second), "0x0840");
    EXPECT_EQ(enabled(w), "1111101");
    EXPECT_EQ(w.RunState, TRunState::Idle);
    EXPECT_EQ(host.run({"status"}).find("open area"), std::string::npos);

    // Nothing is left over: the next run sends both.
    w.SMTP_Service->OnPacketSent = nullptr;
    w.BitBtn3->click();
    EXPECT_EQ(servers().smtpReceived().size(), 2u);
    EXPECT_EQ(flags(host, first), "0x0080");
    EXPECT_EQ(flags(host, second), "0x0080");
}

TEST_F(OutgoingRun, LostHostDuringATransferEndsTheRunQuietly) {
    EdhostProcess host;
    Tmain& w = startWindow();   // creates "EMAIL"
    const int first = write(host, "Max Punkt", "M", "Gross", longText());
    bool stopped = false;
    w.SMTP_Service->OnPacketSent = [&](QObject*) {
        if (!stopped) {
            stopped = true;
            host.stop();
            // The host's farewell reaches the window while the mail is still on its way.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            pumpUntil([&] { return w.RunState == TRunState::Cancelled || std::chrono::steady_clock::now() > deadline; });
        }
    };
    w.BitBtn3->click();

    ASSERT_TRUE(stopped);
    const auto log = lastRunLog();
    EXPECT_NE(std::find(log.begin(), log.end(), "ED95 Verbindung zu Echodesk verloren"), log.end());
    EXPECT_NE(std::find(log.begin(), log.end(), "SMTP Senden vom Benutzer abgebrochen"), log.end());
    EXPECT_EQ(Lines(log.end() - 2, log.end()), closingLines());
    EXPECT_TRUE(boxes().shown.empty()) << boxes().texts()[0];
    EXPECT_EQ(enabled(w), "0001101");
    EXPECT_EQ(w.RunState, TRunState::Idle);
    ASSERT_TRUE(host.start());
    EXPECT_EQ(flags(host, first), "0x0840");
}

// A server that drops the connection after taking a whole mail, without a reply: the mail stays
// unsent, and the run does not go on to fail every further message with a box of its own.
TEST_F(OutgoingRun, LostServerStopsTheRunAfterOneBox) {
    EdhostProcess host;
    Tmain& w = startWindow();
    const int first = write(host, "Max Punkt", "M", "Eins", "To: Max\nText\n");
    const int second = write(host, "Max Punkt", "M", "Zwei", "To: Max\nText\n");
    int mailsTaken = 0;
    test::LoopbackServer server([&](test::Peer& p) {
        p.send("220 scripted\r\n");
        for (std::string line = test::ReadSmtpCommand(p); !line.empty(); line = test::ReadSmtpCommand(p)) {
            if (line != "DATA\r\n") {
                p.send("250 ok\r\n");
                continue;
            }
            p.send("354 go ahead\r\n");
            for (line = p.readLine(); !line.empty() && line != ".\r\n"; line = p.readLine()) {
            }
            ++mailsTaken;
            p.close();
            return;
        }
    });
    w.Settings.SMTPPort = server.port();
    w.BitBtn3->click();
    server.join();

    EXPECT_EQ(mailsTaken, 1);
    const auto log = lastRunLog();
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(Lines(log.end() - 4, log.end()),
              concat({{"SMTP Sende Nachricht an: Max <max@example.org>", "SMTP Senden der Nachricht gescheitert"},
                      closingLines()}));
    ASSERT_EQ(boxes().shown.size(), 1u);
    // Not the "250 ok" of the command before: the server said nothing to the mail.
    EXPECT_EQ(boxes().texts()[0], "Die Nachricht konnte nicht versendet werden. Der SMTP-Server 127.0.0.1 hat die "
                                  "Verbindung beendet.");
    EXPECT_EQ(flags(host, first), "0x0840");
    EXPECT_EQ(flags(host, second), "0x0840");
    EXPECT_EQ(enabled(w), "1111101");
    EXPECT_EQ(host.run({"status"}).find("open area"), std::string::npos);
}

TEST_F(OutgoingRun, HostErrorEndsTheRunWithTheErrorBoxAndClosesEverything) {
    EdhostProcess host;
    Tmain& w = startWindow();   // creates "EMAIL"
    const int n = write(host, "Max Punkt", "Erika Mustermann", "Spaeter", "Text\n");
    host.run({"fault", "--answer", "1035", "0x80001001"});   // the message list
    w.BitBtn3->click();

    EXPECT_EQ(boxes().texts(), Lines{"Parameter passing failed!"});
    EXPECT_EQ(enabled(w), "1111101");
    EXPECT_EQ(w.RunState, TRunState::Idle);
    EXPECT_EQ(host.run({"status"}).find("open area"), std::string::npos);
    const auto sessions = servers().smtpSessions();
    ASSERT_FALSE(sessions.empty());
    EXPECT_TRUE(sessions.back().ends_with("QUIT\r\n")) << sessions.back();
    EXPECT_EQ(flags(host, n), "0x0840");

    boxes().reset();
    w.BitBtn3->click();
    EXPECT_TRUE(boxes().shown.empty());
    EXPECT_EQ(servers().smtpReceived().size(), 1u);
    EXPECT_EQ(flags(host, n), "0x0080");
}

TEST_F(OutgoingRun, InternetPollSendsAfterItsReceivingHalf) {
    EdhostProcess host;
    Tmain& w = startWindow();   // creates "EMAIL"
    const int n = write(host, "Max Punkt", "Erika Mustermann", "Poll", "Text\n");
    w.Settings.POP3Server = "127.0.0.1";
    w.Settings.POP3Port = test::closedPort();
    w.BitBtn1->click();

    ASSERT_EQ(boxes().shown.size(), 1u);   // the receiving half's connection box
    EXPECT_EQ(servers().smtpReceived().size(), 1u);
    EXPECT_EQ(flags(host, n), "0x0080");
    EXPECT_EQ(lastRunLog().back(), "SMTP Verbindung getrennt");
    EXPECT_EQ(enabled(w), "1111101");
}

} // namespace
} // namespace pb
