#pragma once
// The plug-in's ten settings and the main window's run state. Kept in a header of their own so
// that the dialogs can take and hand back settings without pulling in the main window.
#include <cstdint>
#include <string>

namespace pb {

// The ten values of "pbridge.ini", in file order. Texts are Windows-1252 bytes. Defaults before
// anything is read or entered: empty texts, ports 0, switches off.
struct TSettings {
    std::string SMTPServer;
    std::int32_t SMTPPort = 0;
    std::string SMTPEmail;
    std::string SMTPLogin;
    bool StripInitials = false;
    std::string POP3Server;
    std::int32_t POP3Port = 0;
    std::string POP3User;
    std::string POP3Password;
    bool DeleteFromServer = false;

    bool operator==(const TSettings&) const = default;
};

// What the main window is doing; the byte values are the ones the program always used.
enum class TRunState : std::uint8_t { Receiving = 0, Sending = 1, Cancelled = 2, Idle = 3 };

} // namespace pb
