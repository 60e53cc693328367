#include "ui/PB_conf.h"

#include "app/Config.h"
#include "app/Fonts.h"
#include "platform/AnsiText.h"
#include "platform/MessageBoxes.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace pb {

TConfigForm::TConfigForm(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Konfiguration"));
    setFont(uiFont());
    auto* form = new QFormLayout;
    auto edit = [&](const char* label, const char* text = "") {
        auto* e = new QLineEdit(QString::fromUtf8(text), this);
        form->addRow(QString::fromUtf8(label), e);
        return e;
    };
    SSadresse = edit("SMTP-Adresse:");
    SSport = edit("SMTP-Port:", "25");
    Semail = edit("e-Mail:");
    Slogin = edit("Login:");
    InitialChk = new QCheckBox(QStringLiteral("Bei Quotes die Initialen vor dem Senden entfernen"), this);
    form->addRow(InitialChk);
    PSadresse = edit("POP3-Adresse:");
    PSport = edit("POP3-Port:", "110");
    Uname = edit("Name:");
    Upasswd = edit("Passwort:");
    Upasswd->setEchoMode(QLineEdit::Password);
    deleteChk = new QCheckBox(QString::fromUtf8("Nachrichten vom Server löschen"), this);
    form->addRow(deleteChk);

    auto* save = new QPushButton(QStringLiteral("Speichern"), this);
    auto* cancel = new QPushButton(QStringLiteral("Abbrechen"), this);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(save);
    buttons->addWidget(cancel);
    auto* top = new QVBoxLayout(this);
    top->addLayout(form);
    top->addLayout(buttons);

    connect(save, &QPushButton::clicked, this, [this] {
        std::int32_t v = 0;
        if (!TryStrToInt(fromUnicode(PSport->text()), v) || !TryStrToInt(fromUnicode(SSport->text()), v)) {
            showMessage(ansi("Sie haben keine gültige Port-Nummer eingegeben. Versuchen Sie im "
                             "Zweifelsfall bei SMTP die Eingabe 25, bei POP3 110. Rufen Sie aber "
                             "nicht die Polizei an."));
            return;
        }
        CancelPressed = false;
        accept();
    });
    connect(cancel, &QPushButton::clicked, this, [this] {
        CancelPressed = true;
        reject();
    });
}

TConfigForm::~TConfigForm() = default;

void TConfigForm::ShowModal() {
    exec();
}

} // namespace pb
