#pragma once
// TConfigForm: the modal dialog behind "Konfiguration", with the pages "Server",
// "Adressbuch", "Sicherheit" and "Anmeldung".
//
// The "Anmeldung" page chooses per server how it is logged in to ("Passwort", "OAuth 2.0",
// "Befehl"); the provider, its client id and the sign-in are one for both servers, since one
// account at one provider serves both. "Beim Anbieter anmelden…" runs the sign-in in the
// user's browser while the dialog stays open; the main window fills and reads the page with
// ShowLogins and TakeLogins.
//
// The "Server" page never touches "pbridge.ini": the main window fills those controls from the
// settings before showing the dialog and reads them (and CancelPressed) afterwards. The address
// book, however, is the dialog's own business: it is loaded from "addressbook.lst" each time the
// dialog is shown, edited in the dialog's own copy, written back by "Speichern" and dropped by
// every other way of closing. The "Sicherheit" page is filled and read by the main window like
// the "Server" page, except for its list of trusted certificates ("pbridge.crt"), which the
// dialog loads and saves itself, as it does the book.
#include "mail/Config.h"
#include "mail/PB_addressbook.h"

#include <QDialog>

#include <functional>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QTabWidget;
class QGroupBox;

namespace pb {

class TConfigForm : public QDialog {
    Q_OBJECT
public:
    explicit TConfigForm(QWidget* parent = nullptr);
    ~TConfigForm() override;

    // Shows the dialog modally and returns when it is closed. Virtual so that tests of the
    // main window can stand in for the user.
    virtual void ShowModal();

    // ---- Handlers ----
    // Start of a showing: reloads the address book into the list (once per showing, see .cpp).
    void FormActivate();
    void BookLstBoxClick();   // shows the selected entry in NameEdit / MailEdit
    void Button3Click();      // "Neuer Eintrag"
    void Button4Click();      // "Eintrag ändern"
    void Button5Click();      // "Eintrag löschen"
    void Button1Click();      // "Speichern"
    void Button2Click();      // "Abbrechen"
    void CertForgetClick();   // "Zertifikat vergessen"
    void SignInClick();       // "Beim Anbieter anmelden…"; while it runs: "Anmeldung abbrechen"
    void GuideClick();        // "Anleitung…": how to get a client id

    // The page's values: the methods of the two servers, the provider and the sign-in shown
    // from / taken into both logins.
    void ShowLogins(const TTokenLogin& pop3, const TTokenLogin& smtp);
    void TakeLogins(TTokenLogin& pop3, TTokenLogin& smtp) const;
    // Opens the user's browser at an address; the desktop's URL handler unless a test sets it.
    inline static std::function<bool(const std::string& url)> OpenBrowser;

    // ---- Controls ----
    QTabWidget* PageControl1 = nullptr;
    // "Server" page.
    QLineEdit* SSadresse = nullptr;
    QLineEdit* SSport = nullptr;
    QLineEdit* Semail = nullptr;
    QLineEdit* Slogin = nullptr;
    QCheckBox* InitialChk = nullptr;
    QLineEdit* PSadresse = nullptr;
    QLineEdit* PSport = nullptr;
    QLineEdit* Uname = nullptr;
    QLineEdit* Upasswd = nullptr;
    QCheckBox* deleteChk = nullptr;
    // "Adressbuch" page.
    QListWidget* BookLstBox = nullptr;
    QLineEdit* NameEdit = nullptr;
    QLineEdit* MailEdit = nullptr;
    QPushButton* Button3 = nullptr;   // Neuer Eintrag
    QPushButton* Button5 = nullptr;   // Eintrag löschen
    QPushButton* Button4 = nullptr;   // Eintrag ändern
    // "Sicherheit" page. The modes are the settings' values: 0 keine, 1 STARTTLS, 2 SSL/TLS.
    // Until the main window fills them from a stored configuration they hold the safe choices
    // (POP3 SSL/TLS on 995, SMTP STARTTLS on 587 with the login on).
    QComboBox* PSecurity = nullptr;
    QComboBox* SSecurity = nullptr;
    // Beside the POP3 mode while it is "keine": the POP3 login (USER and PASS) then crosses
    // the network readable by anyone on the way. SMTP needs none: without encryption its login
    // is switched off.
    QLabel* PClearWarning = nullptr;
    QCheckBox* AuthChk = nullptr;
    QLineEdit* SUser = nullptr;
    QLineEdit* SPasswd = nullptr;
    // Where the passwords are kept: filled and read by the main window, which offers the
    // keyring only where a Secret Service answers (or the settings use it already).
    QCheckBox* KeyringChk = nullptr;
    QLabel* KeyringNote = nullptr;   // runs from cron cannot reach the keyring
    QListWidget* CertLstBox = nullptr;
    QPushButton* CertForget = nullptr;
    // "Anmeldung" page. Methods: 0 Passwort, 1 OAuth 2.0, 2 Befehl; presets: 0 Google,
    // 1 Microsoft, 2 Anderer Anbieter (only then are the endpoints and the scope editable).
    QComboBox* PLogin = nullptr;
    QComboBox* SLogin = nullptr;
    QComboBox* OAuthPreset = nullptr;
    QLineEdit* AuthUrlEdit = nullptr;
    QLineEdit* TokenUrlEdit = nullptr;
    QLineEdit* ScopeEdit = nullptr;
    QLineEdit* ClientIdEdit = nullptr;
    QLineEdit* ClientSecretEdit = nullptr;
    QPushButton* SignInButton = nullptr;
    QPushButton* GuideButton = nullptr;
    QLabel* SignedInLabel = nullptr;
    QLineEdit* CommandEdit = nullptr;
    // Below the pages.
    QPushButton* Button1 = nullptr;   // Speichern
    QPushButton* Button2 = nullptr;   // Abbrechen

    // ---- State ----
    // The dialog's own copy of the book; entry i is line i of BookLstBox.
    TAddressBook AddressBook;
    // Set by "Abbrechen", cleared by "Speichern"; closing by the close box leaves it as the
    // last button press set it.
    bool CancelPressed = false;
    // The trusted certificates as shown; line i of CertLstBox is entry i.
    TTrustList Certificates;
    // True while the book on disk could not be read whole this showing: the editor is then
    // read-only and "Speichern" leaves the file alone, so an unreadable book is never replaced
    // by the part of it that was read.
    bool BookReadOnly() const { return bookReadOnly_; }

protected:
    void showEvent(QShowEvent* e) override;
    void hideEvent(QHideEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;

private:
    void SetBookEditable(bool editable);
    // A new mode moves the port from the old mode's default to the new one's; a port the
    // user chose stays.
    void SecurityChanged(QComboBox* mode, QLineEdit* port, int& shown, const int (&defaults)[3]);
    void UpdateAuthControls();
    void UpdateClearWarning();
    void UpdateLoginControls();
    // The provider settings as the page shows them, with the sign-in of this showing.
    TTokenLogin PageLogin() const;

    TTokenLogin signIn_;          // the refresh token and who signed in, as shown
    bool signingIn_ = false;
    bool signInCancelled_ = false;

    bool activationPending_ = false;
    bool bookReadOnly_ = false;
    bool certificatesChanged_ = false;
    int pop3Mode_ = 0;   // the modes the port fields were last matched to
    int smtpMode_ = 0;
};

} // namespace pb
