// The recipient prompt: what AskRecipients hands the sending run after the user added and
// removed entries, the refusal of unknown names, "OK" only with entries, and a fresh start for
// every message. The user is played from the event loop inside the real modal loop.
#include "mail/PB_addressbook.h"
#include "platform/AnsiText.h"
#include "platform/Exceptions.h"
#include "support/MainWindowFixture.h"
#include "ui/PB_address.h"

#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>

#include <functional>

namespace pb {
namespace {

const char* const kRefusal =
    "Keine gültige e-Mail-Adresse und der Name konnte nicht im Adressbuch gefunden werden.";

class RecipientPrompt : public test::MainWindowFixture {
protected:
    // Runs AskRecipients with `user` playing the user inside the modal loop.
    std::vector<std::string> ask(const std::string& subject, std::function<void()> user) {
        QTimer::singleShot(0, &form, [this, user] {
            ASSERT_TRUE(form.isVisible());
            user();
            if (form.isVisible())
                form.reject();   // the close box
        });
        return form.AskRecipients(subject);
    }

    void add(const char* text) {
        form.AdrNew->setText(QString::fromUtf8(text));
        form.Button1->click();
    }

    std::vector<std::string> shownEntries() const {
        std::vector<std::string> out;
        for (int i = 0; i < form.AdrLst->count(); ++i)
            out.push_back(form.AdrLst->item(i)->text().toStdString());
        return out;
    }

    TAddressForm form;
};

TEST_F(RecipientPrompt, TextsAndPlaces) {
    EXPECT_EQ(form.windowTitle(), QString::fromUtf8("Empfängeradressen angeben"));
    EXPECT_EQ(form.size(), QSize(440, 289));
    EXPECT_EQ(form.GroupBox1->geometry(), QRect(8, 8, 345, 273));
    EXPECT_TRUE(form.GroupBox1->title().isEmpty());
    QStringList labels;
    for (const QLabel* l : form.GroupBox1->findChildren<QLabel*>()) {
        labels << l->text();
        // No text is cut off by the group's edge.
        EXPECT_LE(l->x() + l->sizeHint().width(), form.GroupBox1->width()) << l->text().toStdString();
    }
    for (const char* t : {"Für die Nachricht mit dem unten angegeben Betreff konnten keine",
                          "Empfänger festgestellt werden. Bitte geben Sie einen oder mehrere",
                          "Adressaten an.", "Betreff:", "Neue Adresse:", "Empfänger:"})
        EXPECT_TRUE(labels.contains(QString::fromUtf8(t))) << t;
    EXPECT_TRUE(form.Betreff->font().bold());
    EXPECT_EQ(form.Button1->text(), QString::fromUtf8("Hinzufügen >>"));
    EXPECT_EQ(form.Button2->text(), "<< Entfernen");
    EXPECT_EQ(form.Button3->text(), "OK");
    EXPECT_EQ(form.AdrNew->geometry(), QRect(88, 90, 145, 21));
    EXPECT_EQ(form.AdrLst->geometry(), QRect(88, 130, 145, 129));
    EXPECT_EQ(form.Button3->geometry(), QRect(360, 24, 75, 25));
}

TEST_F(RecipientPrompt, EntriesResolvedThroughTheBook) {
    SaveAddressBook({{"Anna", "anna@example.org"}, {ansi("Jörg"), "joerg@example.org"}});
    const auto entries = ask(ansi("Grüße"), [this] {
        EXPECT_EQ(form.Betreff->text(), QString::fromUtf8("Grüße"));
        EXPECT_FALSE(form.Button3->isEnabled());
        add("Anna");
        EXPECT_TRUE(form.AdrNew->text().isEmpty());
        EXPECT_TRUE(form.Button3->isEnabled());
        add("Jörg");
        add("not an address but has @");   // an "@" is all it takes
        add("Anna");                        // twice is twice
        add("");                            // nothing happens
        EXPECT_TRUE(test::boxes().shown.empty());
        form.Button3->click();
    });
    EXPECT_EQ(entries, (std::vector<std::string>{"Anna <anna@example.org>",
                                                 "J\xF6rg <joerg@example.org>",
                                                 "not an address but has @",
                                                 "Anna <anna@example.org>"}));
    EXPECT_FALSE(form.isVisible());
    EXPECT_TRUE(form.AddressBook.empty());   // the dialog's copy is gone with the dialog
}

TEST_F(RecipientPrompt, UnknownNamesAreRefusedAndKeptForCorrection) {
    SaveAddressBook({{"Anna", "anna@example.org"}});
    const auto entries = ask("Betreff", [this] {
        add("Anna");
        for (const char* name : {"anna", "Anna ", "Bernd"}) {
            test::boxes().reset();
            add(name);
            EXPECT_EQ(test::boxes().texts(), (std::vector<std::string>{kRefusal})) << name;
            EXPECT_EQ(form.AdrNew->text(), QString::fromUtf8(name));
        }
        // Entries made before the box survive it, also when the dialog is activated again.
        QEvent activate(QEvent::WindowActivate);
        QCoreApplication::sendEvent(&form, &activate);
        QCoreApplication::processEvents();
        EXPECT_EQ(shownEntries(), (std::vector<std::string>{"Anna <anna@example.org>"}));
        form.Button3->click();
    });
    EXPECT_EQ(entries.size(), 1u);
}

TEST_F(RecipientPrompt, RemovingAndTheOkButton) {
    const auto entries = ask("x", [this] {
        add("a@x");
        add("b@x");
        add("c@x");
        form.Button2->click();   // nothing selected: nothing happens
        EXPECT_EQ(form.AdrLst->count(), 3);
        form.AdrLst->setCurrentRow(1);
        form.Button2->click();
        EXPECT_EQ(shownEntries(), (std::vector<std::string>{"a@x", "c@x"}));
        EXPECT_TRUE(form.Button3->isEnabled());
        form.AdrLst->clearSelection();
        form.AdrLst->setCurrentRow(0);
        form.Button2->click();
        form.AdrLst->setCurrentRow(0);
        form.Button2->click();
        EXPECT_EQ(form.AdrLst->count(), 0);
        EXPECT_FALSE(form.Button3->isEnabled());
        form.Button3->click();   // disabled: the dialog stays
        EXPECT_TRUE(form.isVisible());
        add("d@x");
        form.Button3->click();
    });
    EXPECT_EQ(entries, (std::vector<std::string>{"d@x"}));
}

TEST_F(RecipientPrompt, CloseBoxReturnsWhatWasAddedSoFar) {
    EXPECT_TRUE(ask("x", [] {}).empty());
    EXPECT_EQ(ask("x", [this] { add("a@x"); }), (std::vector<std::string>{"a@x"}));
}

TEST_F(RecipientPrompt, EveryMessageStartsAfresh) {
    SaveAddressBook({{"Anna", "anna@example.org"}});
    ask("first", [this] {
        add("a@x");
        form.AdrNew->setText("left over");
    });
    // The book changed on disk in between: the next message sees the new one.
    SaveAddressBook({{"Anna", "anna@new.example.org"}});
    const auto entries = ask("second", [this] {
        EXPECT_EQ(form.Betreff->text(), "second");
        EXPECT_EQ(form.AdrLst->count(), 0);
        EXPECT_TRUE(form.AdrNew->text().isEmpty());
        EXPECT_FALSE(form.Button3->isEnabled());
        add("Anna");
        form.Button3->click();
    });
    EXPECT_EQ(entries, (std::vector<std::string>{"Anna <anna@new.example.org>"}));

    // Without a book every name is unknown.
    ASSERT_TRUE(QFile::remove(kAddressBookFile));
    ask("third", [this] {
        add("Anna");
        EXPECT_EQ(test::boxes().texts(), (std::vector<std::string>{kRefusal}));
    });
}

TEST_F(RecipientPrompt, UnreadableBookRaisesWithoutShowing) {
    SaveAddressBook({{"Anna", "anna@example.org"}, {"Bernd", "bernd@example.org"}});
    test::writeBytes(kAddressBookFile, test::readBytes(kAddressBookFile) + "x");
    bool shown = false;
    QTimer::singleShot(0, &form, [&] {
        shown = form.isVisible();
        form.reject();
    });
    try {
        form.AskRecipients("x");
        FAIL() << "no error";
    } catch (const EInOutError& e) {
        EXPECT_STREQ(e.what(), "Read beyond end of file");
    }
    QCoreApplication::processEvents();
    EXPECT_FALSE(shown);
}

} // namespace
} // namespace pb
