#include "ui/PB_quick.h"

#include "mail/Config.h"
#include "mail/FailureCause.h"
#include "mail/TokenLogin.h"
#include "mime/MimeText.h"
#include "platform/AnsiText.h"
#include "platform/FlagScope.h"
#include "platform/MessageBoxes.h"
#include "ui/CertificateBox.h"
#include "ui/DialogParts.h"
#include "ui/Fonts.h"

#include <QCloseEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QApplication>
#include <QProxyStyle>
#include <QPushButton>
#include <QStatusBar>
#include <QTableWidget>
#include <QTimer>

#include <algorithm>
#include <vector>

namespace pb {

using ui::u;

namespace {

constexpr int kClientWidth = 480;
constexpr int kClientHeight = 316;
constexpr int kStatusHeight = 19;
constexpr int kColumnWidths[4] = {20, 145, 221, 62};

// A box's sentence followed by the server's refusal in its own words, when it refused.
std::string withRefusal(const std::string& text, const std::exception& e) {
    const std::string refusal = RefusalLine("POP3", e);
    if (refusal.empty())
        return text;
    return text + " " + refusal + (refusal.back() == '.' ? "" : ".");
}

QPushButton* button(QWidget* parent, const char* text, int left, int top) {
    return ui::button(parent, text, left, top, 217);
}

// Sender and subject as a person reads them: the whole field, its continuation lines joined,
// encoded words decoded, 8-bit bytes outside them read as undeclared text (raw UTF-8 as such).
// Control characters (a stray tab, an escape sequence) would garble the grid, so they show as
// blanks, and the blank after the header name's colon goes.
QString readable(const TStringList& header, std::string_view name) {
    std::string value;
    bool found = false;
    for (const std::string& line : header) {
        if (line.empty() || line == ".")
            break;
        if (found) {
            if (line[0] != ' ' && line[0] != '\t')
                break;
            value += line;
        } else if (line.size() > name.size() && line[name.size()] == ':' &&
                   AsciiLower(line.substr(0, name.size())) == name) {
            found = true;
            value = line.substr(name.size() + 1);
        }
    }
    std::string s = DecodeEncodedWords(value, true);
    for (char& c : s)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = ' ';
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())).trimmed();
}

// The title row's cells keep the narrow margins of a string grid, so that "Nr." fits its
// 20-pixel column.
class GridTitleStyle : public QProxyStyle {
public:
    // Drawn like the rest of the program, not in the platform's default style.
    GridTitleStyle() : QProxyStyle(QApplication::style()->name()) {}
    int pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const override {
        if (metric == PM_HeaderMargin)
            return 2;
        return QProxyStyle::pixelMetric(metric, option, widget);
    }
};

} // namespace

TQuickForm::TQuickForm(QWidget* parent) : QDialog(parent) {
    setWindowTitle(u("Postbridge QuickView"));
    setFont(uiFont());
    // A dialog border without any border icons: the dialog is left through "Schließen".
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    setFixedSize(kClientWidth, kClientHeight);

    MessTable = new QTableWidget(0, 4, this);
    MessTable->setGeometry(8, 8, 457, 217);
    MessTable->verticalHeader()->hide();
    MessTable->verticalHeader()->setMinimumSectionSize(1);
    MessTable->verticalHeader()->setDefaultSectionSize(15);
    QHeaderView* titles = MessTable->horizontalHeader();
    auto* titleStyle = new GridTitleStyle;
    titleStyle->setParent(this);
    titles->setStyle(titleStyle);
    titles->setMinimumSectionSize(1);
    titles->setFixedHeight(17);
    titles->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    titles->setSectionsClickable(false);
    titles->setHighlightSections(false);
    titles->setStretchLastSection(false);
    for (int c = 0; c < 4; ++c) {
        titles->setSectionResizeMode(c, QHeaderView::Interactive);
        titles->resizeSection(c, kColumnWidths[c]);
    }
    MessTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    MessTable->setSelectionMode(QAbstractItemView::SingleSelection);
    MessTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    MessTable->setWordWrap(false);
    MessTable->setTabKeyNavigation(false);

    Button1 = button(this, "Mail-Daten holen", 16, 232);
    Button4 = button(this, "Markierte Mail löschen", 248, 232);
    Button3 = button(this, "Abbrechen", 16, 264);
    Button2 = button(this, "Schließen", 248, 264);
    setTabOrder(MessTable, Button1);
    setTabOrder(Button1, Button2);
    setTabOrder(Button2, Button3);
    setTabOrder(Button3, Button4);

    QStatusB = new QStatusBar(this);
    QStatusB->setSizeGripEnabled(false);
    QStatusB->setGeometry(0, kClientHeight - kStatusHeight, kClientWidth, kStatusHeight);
    statusPanel_ = new QLabel(QStatusB);
    statusPanel_->setMinimumWidth(50);
    QStatusB->addWidget(statusPanel_, 1);
    SetStatus(ansi("Bereit."));

    POP_Quick = std::make_unique<TPop3Client>(this);
    POP_Quick->Port = 110;
    POP_Quick->ReportLevel = 0;
    POP_Quick->DeleteOnRead = false;

    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(); });
    connect(Button3, &QPushButton::clicked, this, [this] { Button3Click(); });
    connect(Button4, &QPushButton::clicked, this, [this] { Button4Click(); });

    FormCreate();
}

TQuickForm::~TQuickForm() = default;

void TQuickForm::ShowModal() {
    exec();
}

void TQuickForm::FormCreate() {
    const QString titles[4] = {u("Nr."), u("Absender"), u("Betreff"), u("Größe")};
    for (int c = 0; c < 4; ++c)
        MessTable->setHorizontalHeaderItem(c, new QTableWidgetItem(titles[c]));
}

// ---- Showing and activation ----

void TQuickForm::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    // Connect from the event loop, once the dialog is on the screen, so the user sees the
    // connection status.
    activationPending_ = true;
    QTimer::singleShot(0, this, [this] { FormActivate(); });
}

void TQuickForm::FormActivate() {
    // The dialog is activated again whenever one of its own message boxes closes (the
    // connection failure, the delete question). Connecting belongs to the showing, not to
    // those activations: a second attempt would either fail on the open session or leave the
    // first one without its QUIT, and the deletions made in it would be lost.
    if (!activationPending_ || working_)
        return;
    activationPending_ = false;
    cancelled_ = false;
    ButtonOn();
    QuickConnected = QTryConnection();
    ButtonOn();
    if (QuickConnected) {
        SetStatus(ansi("Verbunden mit ") + QuickServer);
    } else {
        Button1->setEnabled(false);
        Button4->setEnabled(false);
        SetStatus(ansi("Keine Verbindung zum Server"));
        // The rows of an earlier showing would look like the mailbox of now.
        MessTable->setRowCount(0);
    }
}

bool TQuickForm::QTryConnection() {
    TPop3Client& pop = *POP_Quick;
    DropSession();
    deleted_.clear();
    pop.AttachFilePath.clear();
    pop.DeleteOnRead = false;
    pop.ReportLevel = 8;
    pop.TimeOut = 20000;
    pop.Host = QuickServer;
    pop.Port = QuickPort;
    pop.UserID = QuickUser;
    pop.Password = QuickPassword;
    pop.Security = static_cast<TSecurity>(QuickSecurity);
    pop.AuthMethod = QuickLogin.Method == TLoginMethod::Password ? TAuthMethod::Password : TAuthMethod::Bearer;
    pop.OnBearerToken = pop.AuthMethod == TAuthMethod::Password ? TBearerTokenEvent() : TokenEvent(QuickLogin, nullptr);
    SetStatus(ansi("Verbinden mit Server ") + QuickServer + " ...");

    // While the attempt runs (up to the time limit for a server that does not answer), only
    // "Abbrechen" is useful; the caller sets the buttons for the outcome.
    ButtonOff();
    TFlagScope working(working_);
    connecting_ = true;
    try {
        pop.TrustedFingerprint = TrustedFingerprint(ReadTrustList(), pop.Host, pop.Port);
        pop.Connect();
        connecting_ = false;
    } catch (const ECertificateError& refusal) {
        connecting_ = false;
        if (!cancelled_) {
            try {
                AskToTrustCertificate(refusal);
            } catch (const std::exception& e) {
                showException(e);
            }
        }
        return false;
    } catch (const std::exception& e) {
        connecting_ = false;
        if (!cancelled_)
            showMessage(ConnectFailureBox("POP3", QuickServer, pop, e));
        return false;
    }
    return !cancelled_;
}

// ---- Buttons ----

void TQuickForm::ButtonOn() {
    Button1->setEnabled(true);
    Button2->setEnabled(true);
    Button4->setEnabled(true);
    Button3->setEnabled(false);
}

void TQuickForm::ButtonOff() {
    Button1->setEnabled(false);
    Button2->setEnabled(false);
    Button4->setEnabled(false);
    Button3->setEnabled(true);
}

void TQuickForm::Button1Click() {
    if (working_)
        return;
    TFlagScope working(working_);
    ButtonOff();
    const int n = POP_Quick->MailCount;
    SetStatus("Verbunden. Empfange " + std::to_string(n) + " Kopfdaten.");

    // The mails deleted in this session are still counted by the server until QUIT, but they
    // are gone for the user: asking for them would only fail.
    std::vector<int> listed;
    for (int k = 1; k <= n; ++k)
        if (!deleted_.count(k))
            listed.push_back(k);
    MessTable->clearSelection();
    MessTable->setRowCount(static_cast<int>(listed.size()));
    for (int r = 0; r < MessTable->rowCount(); ++r)
        for (int c = 0; c < 4; ++c)
            MessTable->setItem(r, c, new QTableWidgetItem);

    for (std::size_t r = 0; r < listed.size(); ++r) {
        const int k = listed[r];
        SetStatus("Empfange Nachrichteninfos " + std::to_string(k) + " von " + std::to_string(n));
        try {
            POP_Quick->GetSummary(k);
        } catch (const std::exception& e) {
            // The rows filled so far stay. After the user's own cancel there is nothing to
            // report. A session that is still open can be closed with its QUIT, which carries
            // out its deletions; a broken one is ended through "Abbrechen".
            if (cancelled_)
                return;
            showMessage(withRefusal(ansi("Es konnten nicht alle Informationen empfangen werden."), e));
            if (POP_Quick->Connected() && !POP_Quick->Canceled()) {
                ButtonOn();
                SetStatus(ansi("Verbunden"));
            }
            return;
        }
        const TSummary& s = POP_Quick->Summary;
        const int row = static_cast<int>(r);
        MessTable->item(row, 0)->setText(QString::number(k));
        MessTable->item(row, 1)->setText(readable(s.Header, "from"));
        MessTable->item(row, 2)->setText(readable(s.Header, "subject"));
        MessTable->item(row, 3)->setText(QString::number(s.Bytes));
    }
    SetStatus(ansi("Verbunden"));
    ButtonOn();
}

void TQuickForm::Button4Click() {
    if (working_)
        return;
    const int r = SelectedRow();
    if (r == 0)
        return;
    // Once a row is gone the rows no longer stand at their mail's number: the "Nr." cell says
    // which mail a row shows. A row not filled (a fetch that stopped) names none.
    bool filled = false;
    const int number = Cell(0, r).toInt(&filled);
    if (!filled || number <= 0)
        return;
    const std::string question = ansi("Sie werden nun Nachricht Nr. ") + std::to_string(number) +
                                 ansi(" löschen. Sie werden ") +
                                 ansi("sie WIRKLICH löschen. Sind Sie sich sicher? Wirklich SICHER?");
    if (messageDlg(question, MsgKind::Warning, MsgButtons::YesNo) != MsgResult::Yes)
        return;
    TFlagScope working(working_);
    ButtonOff();
    SetStatus(ansi("Lösche Nachricht ") + std::to_string(number));
    try {
        POP_Quick->DeleteMailMessage(number);
        deleted_.insert(number);
        MessTable->removeRow(r - 1);
    } catch (const std::exception& e) {
        if (cancelled_)
            return;   // the session is gone; "Abbrechen" has set the buttons
        showMessage(withRefusal(ansi("Nachricht konnte nicht gelöscht werden."), e));
    }
    ButtonOn();
    SetStatus(ansi("Verbunden"));
}

void TQuickForm::Button3Click() {
    cancelled_ = true;
    POP_Quick->Abort();
    // Before the login the component has no session to abort; its wait still has to end.
    if (connecting_)
        POP_Quick->Cancel();
    QuickConnected = false;
    ButtonOn();
    Button1->setEnabled(false);
    Button4->setEnabled(false);
    // The server carries out deletions only at a QUIT, which a dropped session never sends.
    if (!deleted_.empty()) {
        deleted_.clear();
        showMessage(ansi("Die Verbindung wurde ohne Abmeldung getrennt. Die in dieser Sitzung gelöschten "
                         "Nachrichten wurden deshalb nicht gelöscht und bleiben auf dem Server."));
    }
}

void TQuickForm::Button2Click() {
    close();
}

// ---- Closing ----

void TQuickForm::keyPressEvent(QKeyEvent* e) {
    // Escape would close the dialog behind the user's back, also in the middle of a fetch;
    // the dialog is left through "Schließen" only.
    if (!ui::ignoreEscape(e))
        QDialog::keyPressEvent(e);
}

void TQuickForm::closeEvent(QCloseEvent* e) {
    if (working_) {
        e->ignore();
        return;
    }
    QDialog::closeEvent(e);
}

void TQuickForm::done(int r) {
    if (working_)
        return;
    FormClose();
    QDialog::done(r);
}

void TQuickForm::FormClose() {
    activationPending_ = false;
    if (QuickConnected) {
        SetStatus(ansi("Trenne Verbindung..."));
        QuickConnected = false;
        TFlagScope working(working_);
        Button1->setEnabled(false);
        Button2->setEnabled(false);
        Button4->setEnabled(false);
        try {
            POP_Quick->Disconnect();
        } catch (const std::exception& e) {
            // A refused QUIT means the server did not carry out this session's deletions.
            showException(e);
        }
    } else if (!POP_Quick->Busy()) {
        DropSession();
    }
}

void TQuickForm::DropSession() {
    // A cancelled session can still be open: the component drops it only when the server
    // sends something more, and a stalled server never does. Closed here without QUIT, like
    // the cancel meant, and with nothing of it left in the buffer for the next greeting.
    if (POP_Quick->Connected())
        POP_Quick->TAsyncSocket::Disconnect();
    POP_Quick->InBuffer.Clear();
}

// ---- Grid and status ----

int TQuickForm::RowCount() const {
    return MessTable->rowCount() + 1;
}

QString TQuickForm::Cell(int Col, int Row) const {
    if (Col < 0 || Col >= 4 || Row < 0 || Row >= RowCount())
        return {};
    const QTableWidgetItem* item = Row == 0 ? MessTable->horizontalHeaderItem(Col)
                                            : MessTable->item(Row - 1, Col);
    return item ? item->text() : QString();
}

int TQuickForm::SelectedRow() const {
    const QModelIndexList rows = MessTable->selectionModel()->selectedRows();
    return rows.isEmpty() ? 0 : rows.front().row() + 1;
}

void TQuickForm::SelectRow(int Row) {
    if (Row <= 0 || Row >= RowCount())
        MessTable->clearSelection();
    else
        MessTable->selectRow(Row - 1);
}

QString TQuickForm::StatusText() const {
    return statusPanel_->text();
}

void TQuickForm::SetStatus(const std::string& Text) {
    statusPanel_->setText(toUnicode(Text));
}

} // namespace pb
