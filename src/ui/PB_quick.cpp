#include "ui/PB_quick.h"

#include "app/Fonts.h"

namespace pb {

TQuickForm::TQuickForm(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Postbridge QuickView"));
    setFont(uiFont());
    resize(480, 316);
}

TQuickForm::~TQuickForm() = default;

void TQuickForm::ShowModal() {
    exec();
}

} // namespace pb
