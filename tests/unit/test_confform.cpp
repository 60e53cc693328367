// The configuration dialog: its texts and defaults, the port check of "Speichern", the
// address-book editor and what reaches "addressbook.lst" (only "Speichern" writes it), and the
// settings' way through the main window into "pbridge.ini" and back.
#include "app/QtMessageBoxes.h"
#include "mail/Config.h"
#include "mail/PB_addressbook.h"
#include "support/MainWindowFixture.h"
#include "ui/CertificateBox.h"
#include "ui/PB_conf.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStyle>
#include <QTabWidget>
#include <QTimer>
#include <QApplication>
#include <QComboBox>
#include <QMessageBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <functional>

namespace pb {
namespace {

const char* const kPortMessage =
    "Sie haben keine gültige Port-Nummer eingegeben. Versuchen Sie im Zweifelsfall bei SMTP die "
    "Eingabe 25, bei POP3 110. Rufen Sie aber nicht die Polizei an.";

// The tree already gives a test main window in a temporary current directory; these tests
// use its directory and box recorder and drive a real dialog.
class ConfigDialog : public test::MainWindowFixture {
protected:
    // Shows the dialog as the main window would, without a modal loop, and lets the showing's
    // start (loading the book) run.
    void open() {
        form.show();
        QCoreApplication::processEvents();
    }

    std::vector<std::string> listLines() const {
        std::vector<std::string> out;
        for (int i = 0; i < form.BookLstBox->count(); ++i)
            out.push_back(form.BookLstBox->item(i)->text().toStdString());
        return out;
    }

    static TAddressBook onDisk() {
        TAddressBook book;
        LoadAddressBook(book);
        return book;
    }

    void select(int row) { form.BookLstBox->setCurrentRow(row); }

    TConfigForm form;
};

TEST_F(ConfigDialog, TextsSizeAndDefaults) {
    EXPECT_EQ(form.windowTitle(), "Konfiguration");
    EXPECT_EQ(form.size(), QSize(363, 457));  // 371 x 484 with the frame
    ASSERT_EQ(form.PageControl1->count(), 4);
    EXPECT_EQ(form.PageControl1->tabText(0), "Server");
    EXPECT_EQ(form.PageControl1->tabText(1), "Adressbuch");
    EXPECT_EQ(form.PageControl1->tabText(2), "Sicherheit");
    EXPECT_EQ(form.PageControl1->tabText(3), "Anmeldung");

    QStringList groups;
    for (const QGroupBox* g : form.PageControl1->widget(0)->findChildren<QGroupBox*>())
        groups << g->title();
    EXPECT_EQ(groups, (QStringList{"SMTP-Server", "SMTP-User", "POP3-Server", "POP3-User"}));
    QStringList labels;
    for (const QLabel* l : form.findChildren<QLabel*>())
        labels << l->text();
    for (const char* t : {"Adresse:", "Port:", "e-Mail:", "Login:", "Name:", "Passwort:", "Einträge:"})
        EXPECT_TRUE(labels.contains(QString::fromUtf8(t))) << t;

    // A new configuration protects the password.
    EXPECT_EQ(form.PSecurity->currentText(), "SSL/TLS");
    EXPECT_EQ(form.SSecurity->currentText(), "STARTTLS");
    EXPECT_TRUE(form.AuthChk->isChecked());
    EXPECT_TRUE(form.SPasswd->isEnabled());
    EXPECT_EQ(form.SSport->text(), "587");
    EXPECT_EQ(form.PSport->text(), "995");
    for (const QLineEdit* e : {form.SSadresse, form.Semail, form.Slogin, form.PSadresse, form.Uname, form.Upasswd})
        EXPECT_TRUE(e->text().isEmpty());
    EXPECT_EQ(form.InitialChk->text(), "Bei Quotes die Initialen vor dem Senden entfernen");
    EXPECT_EQ(form.deleteChk->text(), QString::fromUtf8("Nachrichten vom Server löschen"));
    EXPECT_FALSE(form.InitialChk->isChecked());
    EXPECT_FALSE(form.deleteChk->isChecked());
    EXPECT_EQ(form.Upasswd->echoMode(), QLineEdit::Password);
    EXPECT_EQ(form.Upasswd->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, form.Upasswd), '*');
    EXPECT_EQ(form.NameEdit->maxLength(), 50);
    EXPECT_EQ(form.MailEdit->maxLength(), 50);
    EXPECT_EQ(form.Button1->text(), "Speichern");
    EXPECT_EQ(form.Button2->text(), "Abbrechen");
    EXPECT_EQ(form.Button3->text(), "Neuer Eintrag");
    EXPECT_EQ(form.Button4->text(), QString::fromUtf8("Eintrag ändern"));
    EXPECT_EQ(form.Button5->text(), QString::fromUtf8("Eintrag löschen"));
    EXPECT_FALSE(form.CancelPressed);

    // Every control, text included, lies inside its parent: nothing is cut off.
    open();
    int checked = 0;
    for (int page = 0; page < form.PageControl1->count(); ++page) {
        form.PageControl1->setCurrentIndex(page);
        QCoreApplication::processEvents();
        for (const QWidget* w : form.findChildren<QWidget*>()) {
            if (!qobject_cast<const QLabel*>(w) && !qobject_cast<const QLineEdit*>(w) &&
                !qobject_cast<const QAbstractButton*>(w) && !qobject_cast<const QGroupBox*>(w) &&
                !qobject_cast<const QListWidget*>(w))
                continue;
            if (!w->isVisible())
                continue;
            const QString text = w->property("text").toString();
            ++checked;
            EXPECT_TRUE(w->parentWidget()->rect().contains(w->geometry())) << text.toStdString();
            if (const auto* l = qobject_cast<const QLabel*>(w)) {
                EXPECT_GE(l->width(), l->sizeHint().width()) << text.toStdString();
            } else if (const auto* c = qobject_cast<const QCheckBox*>(w)) {
                EXPECT_GE(c->width(), c->sizeHint().width()) << text.toStdString();
            } else if (const auto* b = qobject_cast<const QPushButton*>(w)) {
                EXPECT_GE(b->width(), b->sizeHint().width() - 8) << text.toStdString();
            }
        }
    }
    EXPECT_GE(checked, 30);
    form.hide();
}

TEST_F(ConfigDialog, SpeichernChecksBothPortsLikeTheTakeOver) {
    struct Case {
        const char* text;
        bool accepted;
    };
    const Case cases[] = {
        {"110", true},    {"$1F", true},        {"0x1f", true},       {"x1F", true},
        {" +25", true},   {"-5", true},         {"0", true},          {"70000", true},
        {"2147483647", true}, {"-2147483648", true},
        {"25 ", false},   {"", false},          {"2147483648", false}, {"abc", false},
        {"1.5", false},   {"0x", false},        {"$", false},         {"+ 5", false},
        {"12a", false},
    };
    for (const Case& c : cases) {
        for (QLineEdit* port : {form.PSport, form.SSport}) {
            SCOPED_TRACE(std::string("'") + c.text + "' in " + (port == form.PSport ? "PSport" : "SSport"));
            test::boxes().reset();
            form.PSport->setText("110");
            form.SSport->setText("25");
            port->setText(c.text);
            form.CancelPressed = true;
            open();
            form.Button1->click();
            if (c.accepted) {
                EXPECT_TRUE(test::boxes().shown.empty());
                EXPECT_FALSE(form.isVisible());
                EXPECT_FALSE(form.CancelPressed);
                // The main window's take-over agrees with the dialog's check.
                EXPECT_NO_THROW(StrToInt(fromUnicode(port->text())));
            } else {
                EXPECT_EQ(test::boxes().texts(), (std::vector<std::string>{kPortMessage}));
                EXPECT_TRUE(form.isVisible());
                EXPECT_TRUE(form.CancelPressed);  // nothing was taken for saved
                form.hide();
            }
        }
    }
}

TEST_F(ConfigDialog, RefusedPortWritesNoBook) {
    open();
    form.Button3->click();
    form.SSport->setText("zwei");
    form.Button1->click();
    EXPECT_TRUE(form.isVisible());
    EXPECT_FALSE(QFile::exists(kAddressBookFile));

    // The entry survives the box (the dialog is activated again when the box closes) and is
    // saved once the port is mended.
    QEvent activate(QEvent::WindowActivate);
    QCoreApplication::sendEvent(&form, &activate);
    form.SSport->setText("25");
    form.Button1->click();
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(onDisk(), (TAddressBook{{ansi("Neuer Eintrag"), ""}}));
}

TEST_F(ConfigDialog, SpeichernWritesTheBookEvenWhenEmpty) {
    open();
    EXPECT_EQ(form.BookLstBox->count(), 0);
    form.Button1->click();
    ASSERT_TRUE(QFile::exists(kAddressBookFile));
    EXPECT_EQ(QFile(kAddressBookFile).size(), 0);
    EXPECT_FALSE(form.CancelPressed);
}

TEST_F(ConfigDialog, EditingEntriesNewChangeDelete) {
    SaveAddressBook({{"Anna", "anna@example.org"}, {"Bernd", "bernd@example.org"}});
    open();
    EXPECT_EQ(listLines(), (std::vector<std::string>{"Anna", "Bernd"}));

    // A click shows the entry.
    select(1);
    EXPECT_EQ(form.NameEdit->text(), "Bernd");
    EXPECT_EQ(form.MailEdit->text(), "bernd@example.org");

    // Two new entries, both unselected, the edits untouched.
    form.Button3->click();
    form.Button3->click();
    EXPECT_EQ(listLines(), (std::vector<std::string>{"Anna", "Bernd", "Neuer Eintrag", "Neuer Eintrag"}));
    EXPECT_EQ(form.BookLstBox->currentRow(), 1);
    EXPECT_EQ(form.NameEdit->text(), "Bernd");

    // Changing the third: a 60-character name keeps its first 50; the line stays in place.
    select(2);
    const std::string sixty(60, 'n');
    form.NameEdit->setMaxLength(100);   // the edit refuses more than 50 itself; the cut must hold too
    form.NameEdit->setText(QString::fromStdString(sixty));
    form.MailEdit->setText(QString::fromUtf8("jörg@example.org"));
    form.Button4->click();
    EXPECT_EQ(listLines()[2], std::string(50, 'n'));
    EXPECT_TRUE(form.BookLstBox->selectedItems().isEmpty());

    // Without a selection, or with an empty edit, nothing changes.
    form.NameEdit->setText("Zora");
    form.Button4->click();
    select(0);
    form.MailEdit->clear();
    form.Button4->click();
    EXPECT_EQ(listLines()[0], "Anna");

    // Deleting the first leaves the others in order.
    select(0);
    form.Button5->click();
    EXPECT_EQ(listLines(), (std::vector<std::string>{"Bernd", std::string(50, 'n'), "Neuer Eintrag"}));
    form.Button5->click();   // nothing selected now
    EXPECT_EQ(form.BookLstBox->count(), 3);

    form.Button1->click();
    EXPECT_EQ(onDisk(), (TAddressBook{{"Bernd", "bernd@example.org"},
                                      {std::string(50, 'n'), "j\xF6rg@example.org"},
                                      {ansi("Neuer Eintrag"), ""}}));
}

TEST_F(ConfigDialog, AbbrechenAndCloseBoxDropBookEdits) {
    SaveAddressBook({{"Anna", "anna@example.org"}, {"Bernd", "bernd@example.org"}});
    const std::string before = test::readBytes(kAddressBookFile);

    open();
    form.Button3->click();
    select(0);
    form.Button5->click();
    form.Button2->click();
    EXPECT_TRUE(form.CancelPressed);
    EXPECT_FALSE(form.isVisible());
    EXPECT_TRUE(form.AddressBook.empty());
    EXPECT_EQ(test::readBytes(kAddressBookFile), before);

    // The next showing starts again from the file.
    open();
    EXPECT_EQ(listLines(), (std::vector<std::string>{"Anna", "Bernd"}));

    // Escape leaves nothing: the values would be kept as by the close box.
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QCoreApplication::sendEvent(&form, &escape);
    EXPECT_TRUE(form.isVisible());

    // The close box drops the edits too, and leaves CancelPressed as the last button set it.
    form.Button3->click();
    form.close();
    EXPECT_TRUE(form.CancelPressed);
    EXPECT_EQ(test::readBytes(kAddressBookFile), before);
    open();
    form.Button1->click();
    open();
    form.close();
    EXPECT_FALSE(form.CancelPressed);
}

TEST_F(ConfigDialog, UnreadableBookIsShownButNeverOverwritten) {
    // Two whole records and a stray byte: the two are shown, the error reported, and the file
    // is left for the user to look at rather than cut down by the next "Speichern".
    SaveAddressBook({{"Anna", "anna@example.org"}, {"Bernd", "bernd@example.org"}});
    test::writeBytes(kAddressBookFile, test::readBytes(kAddressBookFile) + "x");
    const std::string before = test::readBytes(kAddressBookFile);
    open();
    ASSERT_EQ(test::boxes().shown.size(), 1u);
    EXPECT_EQ(test::boxes().shown[0].kind, MsgKind::Error);
    EXPECT_EQ(test::boxes().texts()[0], "Read beyond end of file");
    EXPECT_EQ(listLines(), (std::vector<std::string>{"Anna", "Bernd"}));
    EXPECT_TRUE(form.BookReadOnly());
    EXPECT_FALSE(form.Button3->isEnabled());
    EXPECT_FALSE(form.Button4->isEnabled());
    EXPECT_FALSE(form.Button5->isEnabled());
    form.Button1->click();
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(test::readBytes(kAddressBookFile), before);

    // Once the file is readable again, so is the editor.
    SaveAddressBook({});
    open();
    EXPECT_FALSE(form.BookReadOnly());
    EXPECT_TRUE(form.Button3->isEnabled());
    form.hide();
}

TEST_F(ConfigDialog, FailedSaveKeepsDialogOpenWithTheEdits) {
    SaveAddressBook({{"Anna", "anna@example.org"}});
    open();
    form.Button3->click();
    // Something the new book cannot replace (a directory with content) stands in its place.
    ASSERT_TRUE(QFile::remove(kAddressBookFile));
    ASSERT_TRUE(QDir().mkpath(QString(kAddressBookFile) + "/inside"));
    form.Button1->click();
    ASSERT_EQ(test::boxes().shown.size(), 1u);
    EXPECT_EQ(test::boxes().shown[0].kind, MsgKind::Error);
    EXPECT_FALSE(test::boxes().texts()[0].empty());
    EXPECT_TRUE(form.isVisible());
    EXPECT_TRUE(QFileInfo(kAddressBookFile).isDir());
    EXPECT_EQ(listLines(), (std::vector<std::string>{"Anna", "Neuer Eintrag"}));

    // The way cleared, the same edits are saved.
    ASSERT_TRUE(QDir(kAddressBookFile).removeRecursively());
    form.Button1->click();
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(onDisk(), (TAddressBook{{"Anna", "anna@example.org"}, {ansi("Neuer Eintrag"), ""}}));
}

TEST_F(ConfigDialog, SettingsRoundTripThroughMainWindowAndFile) {
    Tmain& w = createMain();
    w.ConfigForm = &form;
    // Plays the user once the dialog is up and its book loaded.
    auto whenShown = [this](std::function<void()> user) {
        QTimer::singleShot(0, &form, [user] {
            QCoreApplication::processEvents();
            user();
        });
    };

    // No "pbridge.ini": start-up asks for the settings with the dialog's own defaults; this
    // user turns the encryption off, and the ports go back to those without it.
    whenShown([this] {
        form.PSecurity->setCurrentIndex(0);
        form.SSecurity->setCurrentIndex(0);
        EXPECT_EQ(form.SSport->text(), "25");
        EXPECT_EQ(form.PSport->text(), "110");
        form.SSadresse->setText("smtp.example.org");
        form.SSport->setText("$19");
        form.Semail->setText(QString::fromUtf8("jörg@example.org"));
        form.Slogin->setText(" login ");
        form.InitialChk->setChecked(true);
        form.PSadresse->setText("pop.example.org");
        form.PSport->setText("0x6E");
        form.Uname->setText(QString::fromUtf8("jörg"));
        form.Upasswd->setText(QString::fromUtf8("päss"));
        form.deleteChk->setChecked(true);
        form.Button1->click();
    });
    w.FormActivate();
    ASSERT_TRUE(test::boxes().shown.empty()) << test::boxes().texts()[0];
    EXPECT_EQ(test::readBytes("pbridge.ini"),
              "smtp.example.org\r\n25\r\nj\xF6rg@example.org\r\n login \r\n1\r\n"
              "pop.example.org\r\n110\r\nj\xF6rg\r\np\xE4ss\r\n1\r\n");
    TSettings read;
    ReadConfig(read);
    EXPECT_EQ(read, w.Settings);

    // The next opening shows the stored values, whatever the controls held; "Abbrechen"
    // leaves the file as it was.
    form.SSadresse->setText("stale");
    form.deleteChk->setChecked(false);
    const std::string before = test::readBytes("pbridge.ini");
    whenShown([this] {
        EXPECT_EQ(form.SSadresse->text(), "smtp.example.org");
        EXPECT_EQ(form.SSport->text(), "25");
        EXPECT_EQ(form.PSport->text(), "110");
        EXPECT_EQ(form.PSecurity->currentText(), "keine");
        EXPECT_EQ(form.SSecurity->currentText(), "keine");
        EXPECT_FALSE(form.AuthChk->isChecked());
        EXPECT_EQ(form.Semail->text(), QString::fromUtf8("jörg@example.org"));
        EXPECT_EQ(form.Slogin->text(), " login ");
        EXPECT_EQ(form.Uname->text(), QString::fromUtf8("jörg"));
        EXPECT_EQ(form.Upasswd->text(), QString::fromUtf8("päss"));
        EXPECT_TRUE(form.InitialChk->isChecked());
        EXPECT_TRUE(form.deleteChk->isChecked());
        form.PSport->setText("995");
        form.Button2->click();
    });
    w.BitBtn5->click();
    EXPECT_EQ(test::readBytes("pbridge.ini"), before);
    EXPECT_EQ(w.Settings, read);
}

TEST_F(ConfigDialog, SecurityPageMovesDefaultPortsGuardsTheLoginAndForgetsCertificates) {
    const std::string fp(64, 'c');
    WriteTrustList({{"pop.example.org", 995, fp}, {"smtp.example.org", 465, fp}});
    open();
    form.PageControl1->setCurrentIndex(2);
    // The clear POP3 login is told beside "keine", before a run sends it, and fits its group.
    EXPECT_FALSE(form.PClearWarning->isVisible());
    form.PSecurity->setCurrentIndex(0);
    form.SSecurity->setCurrentIndex(0);
    ASSERT_TRUE(form.PClearWarning->isVisible());
    EXPECT_EQ(form.PClearWarning->text(), QString::fromUtf8("Passwort unverschlüsselt!"));
    EXPECT_TRUE(form.PClearWarning->parentWidget()->contentsRect().contains(form.PClearWarning->geometry()));
    EXPECT_GE(form.PClearWarning->width(), form.PClearWarning->sizeHint().width());
    ASSERT_EQ(form.CertLstBox->count(), 2);
    EXPECT_EQ(form.CertLstBox->item(0)->text().toStdString(), "pop.example.org:995  " + fp);

    // A port at the old mode's default follows the mode; one the user chose stays.
    form.PSecurity->setCurrentIndex(2);
    EXPECT_EQ(form.PSport->text(), "995");
    EXPECT_FALSE(form.PClearWarning->isVisible());
    form.PSecurity->setCurrentIndex(0);
    EXPECT_EQ(form.PSport->text(), "110");
    form.SSecurity->setCurrentIndex(1);
    EXPECT_EQ(form.SSport->text(), "587");
    form.SSecurity->setCurrentIndex(2);
    EXPECT_EQ(form.SSport->text(), "465");
    form.SSport->setText("2465");
    form.SSecurity->setCurrentIndex(1);
    EXPECT_EQ(form.SSport->text(), "2465");

    // No login without encryption.
    form.AuthChk->setChecked(true);
    EXPECT_TRUE(form.SPasswd->isEnabled());
    EXPECT_EQ(form.SPasswd->echoMode(), QLineEdit::Password);
    form.SSecurity->setCurrentIndex(0);
    EXPECT_FALSE(form.AuthChk->isEnabled());
    EXPECT_FALSE(form.AuthChk->isChecked());

    form.CertLstBox->setCurrentRow(0);
    form.CertForget->click();
    form.Button1->click();
    EXPECT_EQ(ReadTrustList(), (TTrustList{{"smtp.example.org", 465, fp}}));
}

// The program's questions as drawn: Return takes "Nein", so an unknown certificate is never
// trusted by a key pressed out of habit.
TEST_F(ConfigDialog, ReturnInTheCertificateQuestionTrustsNothing) {
    QtMessageBoxes drawn;
    setMessageBoxes(&drawn);
    struct Restore {
        ~Restore() { setMessageBoxes(&test::boxes()); }
    } restore;
    QString text;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        text = box->text();
        ASSERT_NE(box->defaultButton(), nullptr);
        EXPECT_EQ(box->defaultButton()->text(), "&Nein");
        QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QApplication::sendEvent(box, &enter);
    });
    const std::string fp(64, 'e');
    EXPECT_FALSE(AskToTrustCertificate(
        ECertificateError("refused", "pop.example.org", 995, ansi("Zertifikat abgelaufen"), fp, {})));
    EXPECT_TRUE(text.contains("EE:EE:EE")) << text.toStdString();
    EXPECT_TRUE(ReadTrustList().empty());
}

} // namespace
} // namespace pb
