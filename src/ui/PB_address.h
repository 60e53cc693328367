#pragma once
// TAddressForm: the modal prompt in which the user names the recipients of an outgoing
// message for which none could be found. Every entry goes through LookupRecipient with the
// dialog's own copy of the address book, so an entry is either a text holding "@" or
// "Name <address>" for a name from the book.
#include "mail/PB_addressbook.h"

#include <QDialog>

#include <string>
#include <vector>

class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace pb {

class TAddressForm : public QDialog {
    Q_OBJECT
public:
    explicit TAddressForm(QWidget* parent = nullptr);
    ~TAddressForm() override;

    // The sending run's one call: shows Subject (Windows-1252) in the dialog, starts afresh
    // (address book loaded from "addressbook.lst", empty list, empty entry field, "OK"
    // disabled), shows the dialog modally and returns the recipient entries in list order,
    // Windows-1252, ready for the SMTP component's recipient list. "OK" needs at least one
    // entry; the close box returns what was added so far, possibly nothing. Raises EInOutError,
    // without showing the dialog, when the address book cannot be read.
    std::vector<std::string> AskRecipients(const std::string& Subject);

    // Shows the dialog modally; virtual so that tests can stand in for the user.
    virtual void ShowModal();

    // ---- Handlers ----
    void FormActivate();   // the fresh start described at AskRecipients
    void Button1Click();   // "Hinzufügen >>"
    void Button2Click();   // "<< Entfernen"
    void Button3Click();   // "OK"
    void FormClose();      // drops the dialog's copy of the book

    // The entries of AdrLst in order (Windows-1252).
    std::vector<std::string> Entries() const;

    // ---- Controls ----
    QGroupBox* GroupBox1 = nullptr;
    QLabel* Betreff = nullptr;      // the message's subject, bold
    QLineEdit* AdrNew = nullptr;
    QPushButton* Button1 = nullptr; // Hinzufügen >>
    QListWidget* AdrLst = nullptr;
    QPushButton* Button2 = nullptr; // << Entfernen
    QPushButton* Button3 = nullptr; // OK

    // The dialog's own copy of the book, loaded by FormActivate.
    TAddressBook AddressBook;

protected:
    void keyPressEvent(QKeyEvent* e) override;
    void done(int r) override;
};

} // namespace pb
