#pragma once
// TQuickForm: the modal QuickView of the POP3 mailbox. The main window hands it the POP3
// connection values just before showing it.
#include <QDialog>

#include <cstdint>
#include <string>

namespace pb {

class TQuickForm : public QDialog {
    Q_OBJECT
public:
    explicit TQuickForm(QWidget* parent = nullptr);
    ~TQuickForm() override;

    // Shows the dialog modally; virtual so that tests can stand in for the user.
    virtual void ShowModal();

    // Connection values (Windows-1252), copied from the settings by the main window.
    std::string QuickServer;
    std::int32_t QuickPort = 0;
    std::string QuickUser;
    std::string QuickPassword;
};

} // namespace pb
