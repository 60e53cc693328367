#pragma once
// TConfigForm: the modal dialog behind "Konfiguration". The main window fills its "Server"
// controls from the settings before showing it and reads them (and CancelPressed) afterwards;
// the dialog never touches "pbridge.ini" itself.
#include <QDialog>

class QCheckBox;
class QLineEdit;

namespace pb {

class TConfigForm : public QDialog {
    Q_OBJECT
public:
    explicit TConfigForm(QWidget* parent = nullptr);
    ~TConfigForm() override;

    // Shows the dialog modally and returns when it is closed. Virtual so that tests can stand
    // in for the user.
    virtual void ShowModal();

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

    // Set by "Abbrechen", cleared by "Speichern"; a close by the close box leaves it as it was.
    bool CancelPressed = false;
};

} // namespace pb
