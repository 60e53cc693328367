#pragma once
// Every message box of the program goes through this one service. The GUI installs boxes
// drawn with QMessageBox; tests install a recorder that answers as scripted, so that no test
// ever waits on a modal box. Texts are Windows-1252 bytes.
#include <exception>
#include <string>
#include <string_view>

namespace pb {

enum class MsgKind { Information, Warning, Error, Confirmation };
enum class MsgButtons { Ok, YesNo };
enum class MsgResult { Ok, Yes, No };

class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;
    // Shows one modal box; an empty caption means the application title.
    virtual MsgResult show(std::string_view text, MsgKind kind, MsgButtons buttons,
                           std::string_view caption) = 0;
};

// The installed service. Without one installed, boxes are written to stderr and answered with
// Ok (or No for a question), so the non-GUI layers never block.
MessageBoxes& messageBoxes();
// Installs a service (not owned); nullptr restores the stderr fallback.
void setMessageBoxes(MessageBoxes* boxes);

// ShowMessage: an information box with OK, captioned with the application title.
void showMessage(std::string_view text);
// MessageDlg: a box of the given kind and buttons. A question (YesNo) has "Nein" as its
// default button: each one guards a step that cannot be taken back.
MsgResult messageDlg(std::string_view text, MsgKind kind, MsgButtons buttons);
// The application's standard error box for an exception that ended a handler.
void showException(const std::exception& e);

} // namespace pb
