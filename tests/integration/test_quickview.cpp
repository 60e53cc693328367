// QuickView against a real Dovecot on loopback: the mailbox listed as rows, single deletions
// carried out by the QUIT of "Schließen" and dropped by "Abbrechen", one connection per
// showing, and the failures a user meets (wrong login, no server, a server that goes away).
// A scripted server only stands in for a server that stops answering in mid-fetch.
#include "platform/AnsiText.h"
#include "platform/MessageLoop.h"
#include "support/LoopbackServer.h"
#include "support/StrictServers.h"
#include "support/MailServers.h"
#include "support/MainWindowFixture.h"
#include "support/ScratchSession.h"
#include "support/SuiteServers.h"
#include "support/WaitFor.h"
#include "ui/PB_quick.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>

namespace pb {
namespace {

using test::MailServers;
using test::waitFor;

const std::string Mail1 = "From: Anna Alt <anna@example.org>\nTo: test@example.org\nSubject: Erste\n\nText eins\n";
const std::string Mail2 = "From: bernd@example.org\nSubject: Gr\xFC\xDF" "e aus K\xF6ln\n\nText zwei\n";
const std::string Mail3 = "Subject: Dritte\nFrom: \"Carl C.\" <carl@example.org>\n\nEin\nlängerer\nText\n";

const char* const kNoConnection =
    "Es konnte keine Verbindung zu 127.0.0.1 hergestellt werden. Überprüfen Sie Ihre "
    "Einstellungen. Vielleicht sind Sie aber zur Zeit auch nicht mit dem Internet verbunden.";

// Runs the message loop for `ms` milliseconds.
void pumpFor(int ms) {
    QElapsedTimer t;
    t.start();
    pumpUntil([&] { return t.elapsed() > ms; });
}

// Which of "Mail-Daten holen", "Schließen", "Abbrechen", "Markierte Mail löschen" are enabled.
std::string buttons(const TQuickForm& f) {
    std::string s;
    for (const QPushButton* b : {f.Button1, f.Button2, f.Button3, f.Button4})
        s += b->isEnabled() ? '1' : '0';
    return s;
}
const std::string Idle = "1101";
const std::string OnlyClose = "0100";
const std::string OnlyCancel = "0010";

class QuickView : public test::SuiteServers<> {
protected:

    void SetUp() override {
        servers().setMails({Mail1, Mail2, Mail3});
        test::boxes().reset();
        point(servers());
    }
    void TearDown() override {
        if (form.isVisible() && !form.Working())
            form.Button2->click();
        test::boxes().reset();
    }

    void point(const MailServers& s) {
        form.QuickServer = s.host();
        form.QuickPort = s.pop3Port();
        form.QuickUser = s.user();
        form.QuickPassword = s.password();
    }

    // Shows the dialog without a modal loop and waits for its connection attempt.
    void open() {
        form.show();
        QCoreApplication::processEvents();   // the showing's connection attempt starts
        ASSERT_TRUE(waitFor([this] { return connectDone(); })) << form.StatusText().toStdString();
    }
    bool connectDone() const {
        return !form.Working() && (form.StatusText().startsWith("Verbunden mit ") ||
                                   form.StatusText() == "Keine Verbindung zum Server");
    }

    void fetch() {
        form.Button1->click();
        ASSERT_FALSE(form.Working());
    }

    std::vector<std::string> row(int r) const {
        std::vector<std::string> out;
        for (int c = 0; c < 4; ++c)
            out.push_back(form.Cell(c, r).toStdString());
        return out;
    }

    static std::string size(const std::string& raw) { return std::to_string(MailServers::asServed(raw).size()); }

    TQuickForm form;
};


TEST_F(QuickView, LayoutAndStart) {
    EXPECT_EQ(form.windowTitle(), "Postbridge QuickView");
    EXPECT_EQ(form.size(), QSize(480, 316));
    EXPECT_FALSE(form.windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_EQ(form.MessTable->geometry(), QRect(8, 8, 457, 217));
    const int widths[4] = {20, 145, 221, 62};
    for (int c = 0; c < 4; ++c)
        EXPECT_EQ(form.MessTable->columnWidth(c), widths[c]);
    EXPECT_EQ(form.Button1->text(), "Mail-Daten holen");
    EXPECT_EQ(form.Button4->text(), QString::fromUtf8("Markierte Mail löschen"));
    EXPECT_EQ(form.Button3->text(), "Abbrechen");
    EXPECT_EQ(form.Button2->text(), QString::fromUtf8("Schließen"));
    EXPECT_EQ(form.Button4->geometry(), QRect(248, 232, 217, 25));
    EXPECT_EQ(form.StatusText().toStdString(), "Bereit.");
    EXPECT_EQ(form.RowCount(), 1);
    EXPECT_EQ(row(0), (std::vector<std::string>{"Nr.", "Absender", "Betreff", "Größe"}));
}

TEST_F(QuickView, EmptyMailbox) {
    servers().clearMails();
    open();
    EXPECT_EQ(form.StatusText().toStdString(), "Verbunden mit 127.0.0.1");
    EXPECT_EQ(buttons(form), Idle);
    fetch();
    EXPECT_EQ(form.RowCount(), 1);
    EXPECT_EQ(row(0)[0], "Nr.");
    EXPECT_EQ(form.StatusText().toStdString(), "Verbunden");
    EXPECT_EQ(buttons(form), Idle);
    EXPECT_TRUE(test::boxes().shown.empty());
}

TEST_F(QuickView, ThreeMailsThroughTheMainWindowsButton) {
    // The main window looks for a host in a namespace of its own, where none runs (until the
    // window has gone: it ends its worker thread there).
    test::ScratchSession nohost;
    nohost.enter();
    Tmain w;
    w.QuickForm = &form;
    w.Settings.POP3Server = servers().host();
    w.Settings.POP3Port = servers().pop3Port();
    w.Settings.POP3User = servers().user();
    w.Settings.POP3Password = servers().password();

    std::vector<std::string> progress;
    form.POP_Quick->OnRetrieveStart = [&](QObject*) { progress.push_back(form.StatusText().toStdString()); };
    // The user, inside the real modal loop: wait for the connection, fetch, close.
    QTimer::singleShot(0, &form, [&] {
        ASSERT_TRUE(waitFor([this] { return connectDone(); }));
        fetch();
        form.Button2->click();
    });
    w.BitBtn4->click();

    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(progress, (std::vector<std::string>{"Empfange Nachrichteninfos 1 von 3",
                                                  "Empfange Nachrichteninfos 2 von 3",
                                                  "Empfange Nachrichteninfos 3 von 3"}));
    ASSERT_EQ(form.RowCount(), 4);
    EXPECT_EQ(row(1), (std::vector<std::string>{"1", "Anna Alt <anna@example.org>", "Erste", size(Mail1)}));
    EXPECT_EQ(row(2), (std::vector<std::string>{"2", "bernd@example.org", "Grüße aus Köln", size(Mail2)}));
    EXPECT_EQ(row(3), (std::vector<std::string>{"3", "\"Carl C.\" <carl@example.org>", "Dritte", size(Mail3)}));
    EXPECT_EQ(form.StatusText().toStdString(), "Trenne Verbindung...");
    EXPECT_TRUE(test::boxes().shown.empty());
    EXPECT_EQ(servers().pop3Count(), 3u);
}

TEST_F(QuickView, DeletionIsCarriedOutByTheQuitOfSchliessen) {
    open();
    fetch();
    form.SelectRow(2);
    form.Button4->click();
    ASSERT_EQ(test::boxes().shown.size(), 1u);
    EXPECT_EQ(test::boxes().texts()[0],
              "Sie werden nun Nachricht Nr. 2 löschen. Sie werden sie WIRKLICH löschen. Sind Sie "
              "sich sicher? Wirklich SICHER?");
    EXPECT_EQ(test::boxes().shown[0].kind, MsgKind::Warning);
    EXPECT_EQ(test::boxes().shown[0].buttons, MsgButtons::YesNo);
    EXPECT_EQ(form.StatusText().toStdString(), "Verbunden");
    EXPECT_EQ(buttons(form), Idle);
    // The row goes at once; the server still has the mail until QUIT.
    EXPECT_EQ(form.RowCount(), 3);
    EXPECT_EQ(row(2)[0], "3");
    EXPECT_EQ(servers().pop3Count(), 3u);

    // From now on a row's number is its "Nr." cell: the second row is mail 3. A new listing
    // passes over the deleted mail instead of failing at it.
    form.SelectRow(2);
    test::boxes().answers.push_back(MsgResult::No);
    form.Button4->click();
    EXPECT_EQ(test::boxes().texts().back(),
              "Sie werden nun Nachricht Nr. 3 löschen. Sie werden sie WIRKLICH löschen. Sind Sie "
              "sich sicher? Wirklich SICHER?");
    fetch();
    EXPECT_TRUE(test::boxes().texts().back().rfind("Sie werden", 0) == 0) << test::boxes().texts().back();
    EXPECT_EQ(buttons(form), Idle);
    EXPECT_EQ(form.RowCount(), 3);
    EXPECT_EQ(row(1)[0], "1");
    EXPECT_EQ(row(2)[0], "3");

    form.Button2->click();
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(servers().pop3Mails(),
              (std::vector<std::string>{MailServers::asServed(Mail1), MailServers::asServed(Mail3)}));
}

// Senders and subjects as mail programs write them: encoded words, folded over lines, raw
// UTF-8 (a server in UTF8 mode); the rows show them decoded, the summary keeps them as sent, and
// the delete question keeps its text.
TEST_F(QuickView, EncodedWordsShowDecoded) {
    servers().setMails({
        "From: =?utf-8?q?J=C3=BCrgen_M=C3=BCller?=\n <juergen@example.org>\n"
        "Subject: =?utf-8?b?R3LDvMOfZSBhdXMgS8O2bG4=?=\n =?iso-8859-1?q?_=80_und_mehr?=\n\nText\n",
        "From: \"=?utf-8?q?B=C3=BCro?=\" <b@example.org>\nSubject: Gr\xC3\xBC\xC3\x9F" "e, =?utf-8?q?=E2=80=9Eroh=E2=80=9C?=\n\nText\n",
    });
    open();
    fetch();
    ASSERT_EQ(form.RowCount(), 3);
    EXPECT_EQ(row(1)[1], "Jürgen Müller <juergen@example.org>");
    EXPECT_EQ(row(1)[2], "Grüße aus Köln € und mehr");
    EXPECT_EQ(row(2)[1], "\"Büro\" <b@example.org>");
    EXPECT_EQ(row(2)[2], "Grüße, „roh“");
    EXPECT_EQ(form.POP_Quick->Summary.Subject, " Gr\xC3\xBC\xC3\x9F" "e, =?utf-8?q?=E2=80=9Eroh=E2=80=9C?=");
    EXPECT_EQ(form.POP_Quick->Summary.From, " \"=?utf-8?q?B=C3=BCro?=\" <b@example.org>");
    form.SelectRow(1);
    test::boxes().answers.push_back(MsgResult::No);
    form.Button4->click();
    EXPECT_EQ(test::boxes().texts().back(),
              "Sie werden nun Nachricht Nr. 1 löschen. Sie werden sie WIRKLICH löschen. Sind Sie "
              "sich sicher? Wirklich SICHER?");
}

TEST_F(QuickView, AbbrechenDropsTheSessionAndItsDeletions) {
    open();
    fetch();
    form.SelectRow(2);
    form.Button4->click();
    // "Abbrechen" in the middle of the next fetch ends the session without QUIT, so the
    // deletion does not happen; the user is told so, since the row has gone from the grid.
    form.POP_Quick->OnRetrieveStart = [this](QObject*) { form.Button3->click(); };
    fetch();
    form.POP_Quick->OnRetrieveStart = nullptr;
    ASSERT_EQ(test::boxes().shown.size(), 2u);
    EXPECT_EQ(test::boxes().texts().back(),
              "Die Verbindung wurde ohne Abmeldung getrennt. Die in dieser Sitzung gelöschten Nachrichten "
              "wurden deshalb nicht gelöscht und bleiben auf dem Server.");
    EXPECT_EQ(buttons(form), OnlyClose);
    form.Button2->click();
    EXPECT_FALSE(form.isVisible());
    pumpFor(200);
    EXPECT_EQ(servers().pop3Count(), 3u);

    // The next showing has a session of its own and sees all three.
    open();
    EXPECT_EQ(form.StatusText().toStdString(), "Verbunden mit 127.0.0.1");
    fetch();
    EXPECT_EQ(form.RowCount(), 4);
    EXPECT_EQ(row(2)[0], "2");
    form.Button2->click();

    // A showing that cannot connect does not show the rows of the last one as the mailbox.
    form.QuickPort = test::closedPort();
    open();
    EXPECT_EQ(form.RowCount(), 1);
}

TEST_F(QuickView, NoSelectionOrNoDeletesNothing) {
    open();
    form.Button4->click();   // nothing fetched yet
    fetch();
    form.Button4->click();   // fetched, nothing selected
    EXPECT_TRUE(test::boxes().shown.empty());

    form.SelectRow(1);
    test::boxes().answers.push_back(MsgResult::No);
    form.Button4->click();
    EXPECT_EQ(test::boxes().shown.size(), 1u);
    EXPECT_EQ(buttons(form), Idle);
    EXPECT_EQ(form.StatusText().toStdString(), "Verbunden");
    form.Button2->click();
    EXPECT_EQ(servers().pop3Count(), 3u);
}

TEST_F(QuickView, OneConnectionPerShowing) {
    int logins = 0;
    form.POP_Quick->OnConnect = [&](QObject*) { ++logins; };
    open();
    EXPECT_EQ(logins, 1);

    // The dialog is activated again whenever one of its boxes closes.
    fetch();
    form.SelectRow(3);
    test::boxes().answers.push_back(MsgResult::No);
    form.Button4->click();
    QEvent activate(QEvent::WindowActivate);
    QCoreApplication::sendEvent(&form, &activate);
    form.FormActivate();
    pumpFor(300);   // whatever the activations queued has run
    EXPECT_EQ(logins, 1);
    EXPECT_EQ(buttons(form), Idle);
    EXPECT_TRUE(form.QuickConnected);

    form.Button2->click();
    open();
    EXPECT_EQ(logins, 2);
}

TEST_F(QuickView, WrongLoginOrNoServer) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        SCOPED_TRACE(attempt == 0 ? "wrong password" : "nothing listening");
        test::boxes().reset();
        if (attempt == 0)
            form.QuickPassword = "wrong";
        else
            form.QuickPort = test::closedPort();
        open();
        EXPECT_EQ(test::boxes().texts(),
                  (std::vector<std::string>{attempt == 0
                                                ? std::string("Der Server hat Sie nicht autorisiert. Stellen Sie sicher, "
                                                              "dass Sie in der Konfiguration das richtige Passwort und "
                                                              "den korrekten Login-Namen eingestellt haben. POP3 Server "
                                                              "lehnt PASS ab: -ERR [AUTH] Authentication failed.")
                                                : std::string(kNoConnection) +
                                                      " Der POP3-Server 127.0.0.1 hat die Verbindung abgelehnt."}));
        EXPECT_EQ(form.StatusText().toStdString(), "Keine Verbindung zum Server");
        EXPECT_EQ(buttons(form), OnlyClose);
        EXPECT_FALSE(form.QuickConnected);
        form.Button2->click();
        EXPECT_FALSE(form.isVisible());
    }
}

TEST_F(QuickView, ServerGoneWhileOpen) {
    MailServers own;
    own.start();
    own.setMails({Mail1, Mail2});
    point(own);
    open();
    fetch();
    own.stop();

    form.SelectRow(1);
    form.Button4->click();
    // Followed by the server's words, when it said any before it went.
    EXPECT_EQ(test::boxes().texts().back().rfind("Nachricht konnte nicht gelöscht werden.", 0), 0u);
    EXPECT_EQ(buttons(form), Idle);

    test::boxes().reset();
    fetch();
    EXPECT_EQ(test::boxes().texts(), (std::vector<std::string>{"Es konnten nicht alle Informationen empfangen werden."}));
    EXPECT_EQ(buttons(form), OnlyCancel);
    form.Button3->click();
    EXPECT_EQ(buttons(form), OnlyClose);
    form.Button2->click();
    EXPECT_FALSE(form.isVisible());
}

// A listing that fails while the session stays open leaves the dialog usable: a deletion can
// still be made, and the QUIT of "Schließen" carries it out.
TEST_F(QuickView, FailedListingOnAnOpenSessionStillEndsWithQuit) {
    std::vector<std::string> got;
    test::LoopbackServer server([&](test::Peer& p) {
        p.send("+OK ready\r\n");
        for (std::string line = test::ReadPop3Command(p); !line.empty(); line = test::ReadPop3Command(p)) {
            got.push_back(line.substr(0, line.size() - 2));
            if (line.rfind("STAT", 0) == 0)
                p.send("+OK 2 200\r\n");
            else if (line == "TOP 1 0\r\n")
                p.send("+OK\r\nSubject: Eins\r\n\r\n.\r\n");
            else if (line == "LIST 1\r\n")
                p.send("+OK 1 100\r\n");
            else if (line.rfind("TOP", 0) == 0)
                p.send("-ERR gone\r\n");
            else
                p.send("+OK\r\n");
            if (line == "QUIT\r\n")
                return;
        }
    });
    form.QuickPort = server.port();
    open();
    fetch();
    EXPECT_EQ(test::boxes().texts(), (std::vector<std::string>{"Es konnten nicht alle Informationen empfangen werden. "
                                                                "POP3 Server lehnt TOP ab: -ERR gone."}));
    EXPECT_EQ(buttons(form), Idle);
    form.SelectRow(1);
    form.Button4->click();
    form.Button2->click();
    server.join();
    ASSERT_GE(got.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(got.end() - 2, got.end()), (std::vector<std::string>{"DELE 1", "QUIT"}));
}

TEST_F(QuickView, AbbrechenEndsAFetchFromAStalledServer) {
    std::string afterTop;
    test::LoopbackServer stalled([&](test::Peer& p) {
        p.send("+OK ready\r\n");
        test::ReadPop3Command(p);
        p.send("+OK\r\n");
        test::ReadPop3Command(p);
        p.send("+OK logged in\r\n");
        test::ReadPop3Command(p);
        p.send("+OK 2 300\r\n");
        afterTop = test::ReadPop3Command(p);   // TOP 1 0, never answered
        afterTop += p.readAll();   // until the client closes
    });
    form.QuickPort = stalled.port();
    open();
    ASSERT_TRUE(form.QuickConnected);
    QTimer::singleShot(100, &form, [this] {
        EXPECT_EQ(buttons(form), OnlyCancel);
        EXPECT_EQ(form.StatusText().toStdString(), "Empfange Nachrichteninfos 1 von 2");
        form.Button2->click();   // disabled, and the dialog cannot close while it works
        form.close();
        EXPECT_TRUE(form.isVisible());
        form.Button3->click();
    });
    fetch();
    EXPECT_TRUE(test::boxes().shown.empty());   // the user's own cancel is not reported
    EXPECT_EQ(buttons(form), OnlyClose);
    form.Button2->click();
    EXPECT_FALSE(form.isVisible());
    stalled.join();
    EXPECT_EQ(afterTop, "TOP 1 0\r\n");   // closed without QUIT
}

TEST_F(QuickView, AbbrechenWhileTheServerDoesNotAnswer) {
    test::SilentListener silent;
    form.QuickPort = silent.port();
    form.show();
    QTimer::singleShot(200, &form, [this] {
        EXPECT_TRUE(form.Working());
        EXPECT_EQ(buttons(form), OnlyCancel);
        EXPECT_EQ(form.StatusText().toStdString(), "Verbinden mit Server 127.0.0.1 ...");
        form.Button3->click();
    });
    ASSERT_TRUE(waitFor([this] { return connectDone(); }));
    EXPECT_EQ(form.StatusText().toStdString(), "Keine Verbindung zum Server");
    EXPECT_TRUE(test::boxes().shown.empty());
    EXPECT_EQ(buttons(form), OnlyClose);
    form.Button2->click();
    EXPECT_FALSE(form.isVisible());
}

} // namespace
} // namespace pb
