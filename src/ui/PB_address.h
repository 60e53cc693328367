#pragma once
// TAddressForm: the modal prompt in which the user names the recipients of an outgoing
// message for which none could be found.
#include <QDialog>

namespace pb {

class TAddressForm : public QDialog {
    Q_OBJECT
public:
    explicit TAddressForm(QWidget* parent = nullptr);
    ~TAddressForm() override;

    // Shows the dialog modally; virtual so that tests can stand in for the user.
    virtual void ShowModal();
};

} // namespace pb
