#include "ui/PB_address.h"

#include "platform/AnsiText.h"
#include "platform/MessageBoxes.h"
#include "ui/DialogParts.h"
#include "ui/Fonts.h"

#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

#include <sys/stat.h>

namespace pb {

using ui::button;
using ui::label;
using ui::u;

TAddressForm::TAddressForm(QWidget* parent) : QDialog(parent) {
    setWindowTitle(u("Empfängeradressen angeben"));
    setFont(uiFont());
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(440, 289);

    GroupBox1 = new QGroupBox(this);
    GroupBox1->setGeometry(8, 8, 345, 273);
    label(GroupBox1, "Für die Nachricht mit dem unten angegeben Betreff konnten keine", 8, 10);
    label(GroupBox1, "Empfänger festgestellt werden. Bitte geben Sie einen oder mehrere", 8, 26);
    label(GroupBox1, "Adressaten an.", 8, 42);
    label(GroupBox1, "Betreff:", 8, 64);
    Betreff = new QLabel(GroupBox1);
    Betreff->setGeometry(88, 64, 345 - 88 - 8, 15);
    QFont bold = Betreff->font();
    bold.setBold(true);
    Betreff->setFont(bold);
    label(GroupBox1, "Neue Adresse:", 8, 90);
    AdrNew = new QLineEdit(GroupBox1);
    AdrNew->setGeometry(88, 90, 145, 21);
    Button1 = button(GroupBox1, "Hinzufügen >>", 240, 90, 97);
    label(GroupBox1, "Empfänger:", 8, 130);
    AdrLst = new QListWidget(GroupBox1);
    AdrLst->setGeometry(88, 130, 145, 129);
    AdrLst->setSelectionMode(QAbstractItemView::SingleSelection);
    Button2 = button(GroupBox1, "<< Entfernen", 240, 130, 97);
    Button3 = button(this, "OK", 360, 24, 75);

    // Tab order: the entry field, "OK", "Hinzufügen >>", the list, "<< Entfernen".
    setTabOrder(AdrNew, Button3);
    setTabOrder(Button3, Button1);
    setTabOrder(Button1, AdrLst);
    setTabOrder(AdrLst, Button2);

    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(); });
    connect(Button3, &QPushButton::clicked, this, [this] { Button3Click(); });
    Button3->setEnabled(false);
}

TAddressForm::~TAddressForm() = default;

std::vector<std::string> TAddressForm::AskRecipients(const std::string& Subject) {
    Betreff->setText(toUnicode(Subject));
    Betreff->setToolTip(Betreff->text());
    // The fresh start happens here, once per message, and not again when the dialog is
    // re-activated after its own refusal box: that would wipe the entries made so far.
    FormActivate();
    ShowModal();
    std::vector<std::string> entries = Entries();
    FormClose();
    return entries;
}

void TAddressForm::ShowModal() {
    exec();
}

void TAddressForm::FormActivate() {
    AddressBook.clear();
    struct stat st {};
    if (::stat(kAddressBookFile, &st) == 0)
        LoadAddressBook(AddressBook);
    Button3->setEnabled(false);
    AdrLst->clear();
    AdrNew->clear();
    AdrNew->setFocus();
}

void TAddressForm::Button1Click() {
    if (AdrNew->text().isEmpty())
        return;
    const std::string found = LookupRecipient(fromUnicode(AdrNew->text()), AddressBook);
    if (found == kRecipientNotFound) {
        showMessage(ansi("Keine gültige e-Mail-Adresse und der Name konnte nicht im Adressbuch "
                         "gefunden werden."));
        return;
    }
    auto* item = new QListWidgetItem(toUnicode(found));
    // The entry goes to the SMTP component as the bytes the lookup gave, not as a round trip
    // through the displayed text.
    item->setData(Qt::UserRole, QByteArray::fromStdString(found));
    AdrLst->addItem(item);
    AdrNew->clear();
    Button3->setEnabled(true);
}

void TAddressForm::Button2Click() {
    const QList<QListWidgetItem*> selected = AdrLst->selectedItems();
    if (!selected.isEmpty())
        delete AdrLst->takeItem(AdrLst->row(selected.front()));
    if (AdrLst->count() == 0)
        Button3->setEnabled(false);
}

void TAddressForm::Button3Click() {
    accept();
}

void TAddressForm::FormClose() {
    AddressBook.clear();
}

void TAddressForm::keyPressEvent(QKeyEvent* e) {
    // A stray Escape would send the message to the entries made so far; the close box is the
    // deliberate way to do that.
    if (!ui::ignoreEscape(e))
        QDialog::keyPressEvent(e);
}

void TAddressForm::done(int r) {
    FormClose();
    QDialog::done(r);
}

std::vector<std::string> TAddressForm::Entries() const {
    std::vector<std::string> out;
    out.reserve(AdrLst->count());
    for (int i = 0; i < AdrLst->count(); ++i) {
        const QListWidgetItem* item = AdrLst->item(i);
        const QVariant bytes = item->data(Qt::UserRole);
        out.push_back(bytes.isValid() ? bytes.toByteArray().toStdString() : fromUnicode(item->text()));
    }
    return out;
}

} // namespace pb
