#include "ui/PB_address.h"

#include "app/Fonts.h"

namespace pb {

TAddressForm::TAddressForm(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QString::fromUtf8("Empfängeradressen angeben"));
    setFont(uiFont());
    resize(440, 289);
}

TAddressForm::~TAddressForm() = default;

void TAddressForm::ShowModal() {
    exec();
}

} // namespace pb
