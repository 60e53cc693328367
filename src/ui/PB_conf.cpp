#include "ui/PB_conf.h"

#include "mail/Config.h"
#include "mail/TokenLogin.h"
#include "platform/AnsiText.h"
#include "platform/MessageBoxes.h"
#include "ui/DialogParts.h"
#include "ui/Fonts.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QKeyEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPalette>
#include <QApplication>
#include <QProxyStyle>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <sys/stat.h>

namespace pb {

using ui::button;
using ui::label;
using ui::u;

namespace {

// The window is 371 x 484 with its frame; a dialog frame of that era takes 4 pixels on each
// side and a 19-pixel caption, which leaves this client area.
constexpr int kClientWidth = 371 - 8;
constexpr int kClientHeight = 484 - 27;

QLineEdit* edit(QWidget* parent, int left, int top, int width, const char* text = "") {
    auto* e = new QLineEdit(u(text), parent);
    e->setGeometry(left, top, width, 21);
    return e;
}

QGroupBox* group(QWidget* parent, const char* title, int top, int height) {
    auto* g = new QGroupBox(u(title), parent);
    g->setGeometry(6, top, 331, height);
    return g;
}

QCheckBox* check(QWidget* parent, const char* text, int top) {
    auto* c = new QCheckBox(u(text), parent);
    c->setGeometry(10, top, 312, 17);
    return c;
}

// The password edit shows every character as "*", whatever the platform style would draw.
class StarPasswordStyle : public QProxyStyle {
public:
    // Drawn like the rest of the program, not in the platform's default style.
    StarPasswordStyle() : QProxyStyle(QApplication::style()->name()) {}
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* ret) const override {
        if (hint == SH_LineEdit_PasswordCharacter)
            return '*';
        return QProxyStyle::styleHint(hint, option, widget, ret);
    }
};

constexpr int Pop3Ports[3] = {110, 110, 995};
constexpr int SmtpPorts[3] = {25, 587, 465};

QComboBox* modeChooser(QWidget* parent, int left, int top) {
    auto* c = new QComboBox(parent);
    c->setGeometry(left, top, 100, 21);
    for (const char* name : {"keine", "STARTTLS", "SSL/TLS"})
        c->addItem(u(name));
    return c;
}

bool fileExists(const char* name) {
    struct stat st {};
    return ::stat(name, &st) == 0;
}

} // namespace

TConfigForm::TConfigForm(QWidget* parent) : QDialog(parent) {
    setWindowTitle(u("Konfiguration"));
    setFont(uiFont());
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(kClientWidth, kClientHeight);

    PageControl1 = new QTabWidget(this);
    PageControl1->setGeometry(8, 8, kClientWidth - 16, 410);

    // ---- "Server" ----
    auto* server = new QWidget;
    PageControl1->addTab(server, u("Server"));

    QGroupBox* g = group(server, "SMTP-Server", 6, 74);
    label(g, "Adresse:", 10, 22);
    SSadresse = edit(g, 80, 19, 240);
    label(g, "Port:", 10, 48);
    SSport = edit(g, 80, 45, 60, "25");

    g = group(server, "SMTP-User", 86, 100);
    label(g, "e-Mail:", 10, 22);
    Semail = edit(g, 80, 19, 240);
    label(g, "Login:", 10, 48);
    Slogin = edit(g, 80, 45, 240);
    InitialChk = check(g, "Bei Quotes die Initialen vor dem Senden entfernen", 74);

    g = group(server, "POP3-Server", 192, 74);
    label(g, "Adresse:", 10, 22);
    PSadresse = edit(g, 80, 19, 240);
    label(g, "Port:", 10, 48);
    PSport = edit(g, 80, 45, 60, "110");

    g = group(server, "POP3-User", 272, 100);
    label(g, "Name:", 10, 22);
    Uname = edit(g, 80, 19, 240);
    label(g, "Passwort:", 10, 48);
    Upasswd = edit(g, 80, 45, 240);
    Upasswd->setEchoMode(QLineEdit::Password);
    auto* stars = new StarPasswordStyle;
    stars->setParent(this);
    Upasswd->setStyle(stars);
    deleteChk = check(g, "Nachrichten vom Server löschen", 74);

    // ---- "Adressbuch" ----
    auto* book = new QWidget;
    PageControl1->addTab(book, u("Adressbuch"));
    label(book, "Einträge:", 8, 8);
    BookLstBox = new QListWidget(book);
    BookLstBox->setGeometry(8, 24, 200, 268);
    BookLstBox->setSelectionMode(QAbstractItemView::SingleSelection);
    Button3 = button(book, "Neuer Eintrag", 216, 24, 113);
    Button5 = button(book, "Eintrag löschen", 216, 56, 113);
    label(book, "Name:", 8, 307);
    NameEdit = edit(book, 56, 304, 152);
    NameEdit->setMaxLength(static_cast<int>(kAddressFieldMax));
    Button4 = button(book, "Eintrag ändern", 216, 302, 113);
    label(book, "e-Mail:", 8, 335);
    MailEdit = edit(book, 56, 332, 152);
    MailEdit->setMaxLength(static_cast<int>(kAddressFieldMax));

    // ---- "Sicherheit" ----
    auto* security = new QWidget;
    PageControl1->addTab(security, u("Sicherheit"));
    g = group(security, "Verschlüsselung", 6, 74);
    label(g, "POP3:", 10, 22);
    PSecurity = modeChooser(g, 80, 19);
    label(g, "SMTP:", 10, 48);
    SSecurity = modeChooser(g, 80, 45);
    PClearWarning = label(g, "Passwort unverschlüsselt!", 188, 22);
    PClearWarning->setToolTip(u("Ohne Verschlüsselung gehen POP3-Login und Passwort für jeden lesbar "
                                "über das Netz. Wählen Sie SSL/TLS oder STARTTLS, wenn Ihr Server es kann."));
    QPalette warning = PClearWarning->palette();
    warning.setColor(QPalette::WindowText, Qt::darkRed);
    PClearWarning->setPalette(warning);

    g = group(security, "SMTP-Anmeldung", 86, 100);
    AuthChk = check(g, "Beim SMTP-Server anmelden", 20);
    label(g, "Benutzer:", 10, 48);
    SUser = edit(g, 80, 45, 240);
    SUser->setPlaceholderText(u("wie e-Mail"));
    label(g, "Passwort:", 10, 74);
    SPasswd = edit(g, 80, 71, 240);
    SPasswd->setEchoMode(QLineEdit::Password);
    SPasswd->setStyle(stars);
    SPasswd->setPlaceholderText(u("wie POP3"));

    g = group(security, "Passwörter", 192, 76);
    KeyringChk = check(g, "Passwörter im Schlüsselbund", 20);
    KeyringChk->setToolTip(u("Die Passwörter liegen dann im Schlüsselbund der Desktop-Sitzung (GNOME "
                             "Schlüsselbund, KWallet) statt in pbridge.ini."));
    KeyringNote = new QLabel(u("Abrufe ohne Fenster aus cron, außerhalb der Desktop-Sitzung, erreichen "
                               "den Schlüsselbund nicht und enden mit einem Fehler."),
                             g);
    KeyringNote->setWordWrap(true);
    KeyringNote->setGeometry(10, 40, 311, 30);

    g = group(security, "Vertraute Zertifikate", 274, 98);
    CertLstBox = new QListWidget(g);
    CertLstBox->setGeometry(10, 18, 311, 46);
    CertLstBox->setSelectionMode(QAbstractItemView::SingleSelection);
    CertForget = button(g, "Zertifikat vergessen", 10, 68, 140);

    connect(PSecurity, &QComboBox::currentIndexChanged, this, [this] {
        SecurityChanged(PSecurity, PSport, pop3Mode_, Pop3Ports);
        UpdateClearWarning();
    });
    connect(SSecurity, &QComboBox::currentIndexChanged, this, [this] {
        SecurityChanged(SSecurity, SSport, smtpMode_, SmtpPorts);
        UpdateAuthControls();
    });
    connect(AuthChk, &QCheckBox::toggled, this, [this] { UpdateAuthControls(); });
    connect(CertForget, &QPushButton::clicked, this, [this] { CertForgetClick(); });
    // A new configuration protects the password: POP3 over TLS from the first byte, SMTP with
    // STARTTLS and the login, on the ports that go with them. A stored configuration shows its
    // own choices over these.
    PSecurity->setCurrentIndex(2);
    SSecurity->setCurrentIndex(1);
    AuthChk->setChecked(true);
    UpdateAuthControls();
    UpdateClearWarning();

    // ---- "Anmeldung" ----
    auto* logins = new QWidget;
    PageControl1->addTab(logins, u("Anmeldung"));
    g = group(logins, "Anmeldung", 6, 74);
    label(g, "POP3:", 10, 22);
    PLogin = new QComboBox(g);
    PLogin->setGeometry(80, 19, 100, 21);
    label(g, "SMTP:", 10, 48);
    SLogin = new QComboBox(g);
    SLogin->setGeometry(80, 45, 100, 21);
    for (QComboBox* c : {PLogin, SLogin})
        for (const char* name : {"Passwort", "OAuth 2.0", "Befehl"})
            c->addItem(u(name));

    g = group(logins, "OAuth 2.0", 86, 230);
    label(g, "Anbieter:", 10, 22);
    OAuthPreset = new QComboBox(g);
    OAuthPreset->setGeometry(80, 19, 240, 21);
    for (const char* name : {"Google", "Microsoft", "Anderer Anbieter"})
        OAuthPreset->addItem(u(name));
    label(g, "Anmeldung:", 10, 48);
    AuthUrlEdit = edit(g, 80, 45, 240);
    label(g, "Token:", 10, 74);
    TokenUrlEdit = edit(g, 80, 71, 240);
    label(g, "Scope:", 10, 100);
    ScopeEdit = edit(g, 80, 97, 240);
    label(g, "Client-ID:", 10, 126);
    ClientIdEdit = edit(g, 80, 123, 240);
    label(g, "Secret:", 10, 152);
    ClientSecretEdit = edit(g, 80, 149, 240);
    ClientSecretEdit->setEchoMode(QLineEdit::Password);
    ClientSecretEdit->setStyle(stars);
    ClientSecretEdit->setPlaceholderText(u("nur wenn der Anbieter eines gibt"));
    SignInButton = button(g, "Beim Anbieter anmelden…", 10, 177, 180);
    GuideButton = button(g, "Anleitung…", 230, 177, 90);
    SignedInLabel = label(g, "Nicht angemeldet", 10, 207);
    SignedInLabel->setGeometry(10, 207, 311, 16);

    g = group(logins, "Befehl", 322, 50);
    label(g, "Befehl:", 10, 22);
    CommandEdit = edit(g, 80, 19, 240);
    CommandEdit->setPlaceholderText(u("gibt den Zugangsschlüssel aus"));

    connect(PLogin, &QComboBox::currentIndexChanged, this, [this] { UpdateLoginControls(); });
    connect(SLogin, &QComboBox::currentIndexChanged, this, [this] { UpdateLoginControls(); });
    connect(OAuthPreset, &QComboBox::currentIndexChanged, this, [this] { UpdateLoginControls(); });
    connect(SignInButton, &QPushButton::clicked, this, [this] { SignInClick(); });
    connect(GuideButton, &QPushButton::clicked, this, [this] { GuideClick(); });
    UpdateLoginControls();

    // ---- Below the pages ----
    Button1 = button(this, "Speichern", 88, 426, 90);
    Button2 = button(this, "Abbrechen", 186, 426, 90);

    // A list box reports a click for keyboard selection too.
    connect(BookLstBox, &QListWidget::itemSelectionChanged, this, [this] { BookLstBoxClick(); });
    connect(Button3, &QPushButton::clicked, this, [this] { Button3Click(); });
    connect(Button4, &QPushButton::clicked, this, [this] { Button4Click(); });
    connect(Button5, &QPushButton::clicked, this, [this] { Button5Click(); });
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(); });
}

TConfigForm::~TConfigForm() = default;

void TConfigForm::ShowModal() {
    exec();
}

void TConfigForm::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    // The book is loaded once per showing (see FormActivate), from the event loop, so that an
    // error box about it comes up over the dialog rather than before it.
    activationPending_ = true;
    QTimer::singleShot(0, this, [this] { FormActivate(); });
}

void TConfigForm::keyPressEvent(QKeyEvent* e) {
    // Escape would leave the dialog like its close box, which keeps the values: a user who
    // means "cancel" would find them saved. The dialog is left through its buttons.
    if (!ui::ignoreEscape(e))
        QDialog::keyPressEvent(e);
}

void TConfigForm::hideEvent(QHideEvent* e) {
    // However the dialog was left, its copy of the book goes; only "Speichern" wrote it.
    activationPending_ = false;
    AddressBook.clear();
    QDialog::hideEvent(e);
}

void TConfigForm::FormActivate() {
    // The book is loaded when the dialog is shown, not on every activation: the dialog is
    // activated again whenever one of its own message boxes (the port message, an error box)
    // closes, and reloading then would silently throw away the user's unsaved edits.
    if (!activationPending_)
        return;
    activationPending_ = false;
    BookLstBox->clear();
    AddressBook.clear();
    SetBookEditable(true);
    try {
        if (fileExists(kAddressBookFile))
            LoadAddressBook(AddressBook);
    } catch (const std::exception& ex) {
        SetBookEditable(false);
        for (const TAddressEntry& entry : AddressBook)
            BookLstBox->addItem(toUnicode(entry.Name));
        showException(ex);
        return;
    }
    for (const TAddressEntry& entry : AddressBook)
        BookLstBox->addItem(toUnicode(entry.Name));

    CertLstBox->clear();
    certificatesChanged_ = false;
    try {
        Certificates = ReadTrustList();
    } catch (const std::exception& ex) {
        Certificates.clear();
        showException(ex);
    }
    for (const TTrustedCertificate& c : Certificates)
        CertLstBox->addItem(toUnicode(c.Host + ":" + std::to_string(c.Port) + "  " + c.Fingerprint));
}

void TConfigForm::SecurityChanged(QComboBox* mode, QLineEdit* port, int& shown, const int (&defaults)[3]) {
    const int now = std::clamp(mode->currentIndex(), 0, 2);
    if (port->text() == QString::number(defaults[shown]))
        port->setText(QString::number(defaults[now]));
    shown = now;
}

void TConfigForm::UpdateAuthControls() {
    // A login is never sent in the clear, so without encryption there is nothing to switch on.
    const bool encrypted = SSecurity->currentIndex() > 0;
    if (!encrypted)
        AuthChk->setChecked(false);
    AuthChk->setEnabled(encrypted);
    SUser->setEnabled(encrypted && AuthChk->isChecked());
    SPasswd->setEnabled(encrypted && AuthChk->isChecked());
}

void TConfigForm::UpdateClearWarning() {
    PClearWarning->setVisible(PSecurity->currentIndex() == 0);
}

void TConfigForm::UpdateLoginControls() {
    const bool oauth = PLogin->currentIndex() == 1 || SLogin->currentIndex() == 1;
    const bool other = OAuthPreset->currentIndex() == static_cast<int>(TOAuthPreset::Other);
    // A preset shows its own endpoints; only "Anderer Anbieter" takes the user's.
    if (!other) {
        TTokenLogin preset;
        preset.Preset = static_cast<TOAuthPreset>(std::max(OAuthPreset->currentIndex(), 0));
        const TOAuthEndpoints e = OAuthEndpoints(preset);
        AuthUrlEdit->setText(toUnicode(e.AuthorizeUrl));
        TokenUrlEdit->setText(toUnicode(e.TokenUrl));
        ScopeEdit->setText(toUnicode(e.Scope));
    }
    for (QWidget* w : std::initializer_list<QWidget*>{AuthUrlEdit, TokenUrlEdit, ScopeEdit})
        w->setEnabled(oauth && other && !signingIn_);
    for (QWidget* w : std::initializer_list<QWidget*>{OAuthPreset, ClientIdEdit, ClientSecretEdit, GuideButton})
        w->setEnabled(oauth && !signingIn_);
    SignInButton->setEnabled(oauth);
    SignInButton->setText(u(signingIn_ ? "Anmeldung abbrechen" : "Beim Anbieter anmelden…"));
    CommandEdit->setEnabled(PLogin->currentIndex() == 2 || SLogin->currentIndex() == 2);
    SignedInLabel->setText(signIn_.RefreshToken.empty() ? u("Nicht angemeldet")
                                                        : u("Angemeldet als ") + toUnicode(signIn_.SignedInAs));
}

TTokenLogin TConfigForm::PageLogin() const {
    TTokenLogin l = signIn_;
    l.Preset = static_cast<TOAuthPreset>(std::max(OAuthPreset->currentIndex(), 0));
    if (l.Preset == TOAuthPreset::Other) {
        l.AuthorizeUrl = fromUnicode(AuthUrlEdit->text().trimmed());
        l.TokenUrl = fromUnicode(TokenUrlEdit->text().trimmed());
        l.Scope = fromUnicode(ScopeEdit->text().trimmed());
    } else {
        l.AuthorizeUrl.clear();
        l.TokenUrl.clear();
        l.Scope.clear();
    }
    l.ClientId = fromUnicode(ClientIdEdit->text().trimmed());
    l.ClientSecret = fromUnicode(ClientSecretEdit->text());
    l.Command = fromUnicode(CommandEdit->text());
    return l;
}

void TConfigForm::ShowLogins(const TTokenLogin& pop3, const TTokenLogin& smtp) {
    // The provider's settings are one for both servers: those of the server that uses OAuth.
    const TTokenLogin& shown = pop3.Method != TLoginMethod::OAuth && smtp.Method == TLoginMethod::OAuth ? smtp : pop3;
    signIn_ = shown;
    PLogin->setCurrentIndex(static_cast<int>(pop3.Method));
    SLogin->setCurrentIndex(static_cast<int>(smtp.Method));
    OAuthPreset->setCurrentIndex(static_cast<int>(shown.Preset));
    if (shown.Preset == TOAuthPreset::Other) {
        AuthUrlEdit->setText(toUnicode(shown.AuthorizeUrl));
        TokenUrlEdit->setText(toUnicode(shown.TokenUrl));
        ScopeEdit->setText(toUnicode(shown.Scope));
    }
    ClientIdEdit->setText(toUnicode(shown.ClientId));
    ClientSecretEdit->setText(toUnicode(shown.ClientSecret));
    CommandEdit->setText(toUnicode(!pop3.Command.empty() ? pop3.Command : smtp.Command));
    UpdateLoginControls();
}

void TConfigForm::TakeLogins(TTokenLogin& pop3, TTokenLogin& smtp) const {
    const TTokenLogin page = PageLogin();
    pop3 = page;
    smtp = page;
    pop3.Method = static_cast<TLoginMethod>(std::max(PLogin->currentIndex(), 0));
    smtp.Method = static_cast<TLoginMethod>(std::max(SLogin->currentIndex(), 0));
    // A sign-in holds only for the provider and client it was made with.
    if (page.TokenUrl != signIn_.TokenUrl || page.Preset != signIn_.Preset || page.ClientId != signIn_.ClientId)
        for (TTokenLogin* l : {&pop3, &smtp})
            l->RefreshToken.clear(), l->SignedInAs.clear();
}

void TConfigForm::SignInClick() {
    if (signingIn_) {
        signInCancelled_ = true;
        return;
    }
    TTokenLogin login = PageLogin();
    TSignIn flow;
    flow.OpenUrl = [](const std::string& url) {
        return OpenBrowser ? OpenBrowser(url) : QDesktopServices::openUrl(QUrl(QString::fromStdString(url)));
    };
    flow.Cancelled = [this] { return signInCancelled_; };
    signingIn_ = true;
    signInCancelled_ = false;
    UpdateLoginControls();
    SignedInLabel->setText(u("Warte auf die Anmeldung im Browser …"));
    // The account the provider should offer: the POP3 login, else the sender's address.
    const std::string hint = !Uname->text().trimmed().isEmpty() ? fromUnicode(Uname->text().trimmed())
                                                                  : fromUnicode(Semail->text().trimmed());
    try {
        flow.Run(login, hint);
        signIn_ = login;
    } catch (const EAbortError&) {
        // The user's own cancel needs no box.
    } catch (const std::exception& e) {
        signingIn_ = false;
        UpdateLoginControls();
        showMessage(e.what());
        return;
    }
    signingIn_ = false;
    UpdateLoginControls();
}

void TConfigForm::GuideClick() {
    showMessage(ansi(
        "So bekommen Sie eine Client-ID: Postbridge bringt keine mit, Sie melden es einmal selbst bei Ihrem "
        "Anbieter an.\n\n"
        "Google: In der Google Cloud Console ein Projekt anlegen, unter \"APIs & Dienste\" den "
        "OAuth-Zustimmungsbildschirm einrichten (Ihre Adresse als Testnutzer eintragen), dann unter "
        "\"Anmeldedaten\" eine OAuth-Client-ID vom Typ \"Desktop-App\" erstellen. Client-ID und "
        "Clientschlüssel hier eintragen. Solange die App im Status \"Testing\" ist, verfällt die "
        "Anmeldung nach 7 Tagen; melden Sie sich dann neu an.\n\n"
        "Microsoft: Im Azure-Portal unter \"App-Registrierungen\" eine neue Registrierung anlegen, als "
        "Plattform \"Mobile und Desktopanwendungen\" mit der Umleitungs-URI http://127.0.0.1, unter "
        "\"API-Berechtigungen\" POP.AccessAsUser.All und SMTP.Send von Office 365 Exchange Online "
        "hinzufügen. Die Anwendungs-ID (Client-ID) hier eintragen; ein Secret ist nicht nötig.\n\n"
        "Dann \"Beim Anbieter anmelden…\" drücken, im Browser anmelden und zustimmen."));
}

void TConfigForm::CertForgetClick() {
    const QList<QListWidgetItem*> selected = CertLstBox->selectedItems();
    if (selected.isEmpty())
        return;
    const int i = CertLstBox->row(selected.front());
    delete CertLstBox->takeItem(i);
    Certificates.erase(Certificates.begin() + i);
    certificatesChanged_ = true;
    CertLstBox->clearSelection();
}

void TConfigForm::SetBookEditable(bool editable) {
    bookReadOnly_ = !editable;
    Button3->setEnabled(editable);
    Button4->setEnabled(editable);
    Button5->setEnabled(editable);
}

void TConfigForm::BookLstBoxClick() {
    const QList<QListWidgetItem*> selected = BookLstBox->selectedItems();
    if (selected.isEmpty())
        return;
    const int i = BookLstBox->row(selected.front());
    NameEdit->setText(toUnicode(AddressBook[i].Name));
    MailEdit->setText(toUnicode(AddressBook[i].Address));
}

void TConfigForm::Button3Click() {
    const std::string name = ansi("Neuer Eintrag");
    AddressBook.push_back({name, {}});
    BookLstBox->addItem(toUnicode(name));
}

void TConfigForm::Button4Click() {
    const QList<QListWidgetItem*> selected = BookLstBox->selectedItems();
    if (selected.isEmpty())
        return;
    if (NameEdit->text().isEmpty() || MailEdit->text().isEmpty())
        return;
    const int i = BookLstBox->row(selected.front());
    TAddressEntry entry{fromUnicode(NameEdit->text()).substr(0, kAddressFieldMax),
                        fromUnicode(MailEdit->text()).substr(0, kAddressFieldMax)};
    BookLstBox->item(i)->setText(toUnicode(entry.Name));
    AddressBook[i] = std::move(entry);
    BookLstBox->clearSelection();
}

void TConfigForm::Button5Click() {
    const QList<QListWidgetItem*> selected = BookLstBox->selectedItems();
    if (selected.isEmpty())
        return;
    const int i = BookLstBox->row(selected.front());
    delete BookLstBox->takeItem(i);
    AddressBook.erase(AddressBook.begin() + i);
    BookLstBox->clearSelection();
}

void TConfigForm::Button1Click() {
    std::int32_t port = 0;
    if (!TryStrToInt(fromUnicode(PSport->text()), port) || !TryStrToInt(fromUnicode(SSport->text()), port)) {
        showMessage(ansi("Sie haben keine gültige Port-Nummer eingegeben. Versuchen Sie im "
                         "Zweifelsfall bei SMTP die Eingabe 25, bei POP3 110. Rufen Sie aber "
                         "nicht die Polizei an."));
        return;
    }
    CancelPressed = false;
    if (!bookReadOnly_) {
        try {
            SaveAddressBook(AddressBook);
        } catch (const std::exception& ex) {
            // The save replaces the file in one step, so the old book is still whole; the
            // dialog stays open with the edits for another try.
            showException(ex);
            return;
        }
    }
    if (certificatesChanged_) {
        try {
            WriteTrustList(Certificates);
            certificatesChanged_ = false;
        } catch (const std::exception& ex) {
            showException(ex);
            return;
        }
    }
    accept();
}

void TConfigForm::Button2Click() {
    CancelPressed = true;
    reject();
}

} // namespace pb
