#pragma once
// Why talking to a mail server failed, as one German sentence for the boxes of the runs and of
// QuickView, and as a line for the log. A box shows the server's words only when they are its
// reply to the command that failed; a reply left from an earlier command (a "221 Bye", a
// "250 OK") would tell the user something that did not happen.
#include <exception>
#include <string>

namespace pb {

class TAsyncSocket;

// How much of a server's reply a box or a log line shows.
inline constexpr std::size_t kReplyShown = 200;

// One sentence (Windows-1252) naming the service ("POP3", "SMTP"), the server and the cause
// that the component's exception `e` shows: no server entered, the name not found, no answer,
// connection refused, the server's refusal of a command (with the command and its reply), a
// login refused, no STARTTLS/STLS offered, a certificate refused, a TLS handshake that failed,
// or a connection that broke. Empty for the user's own cancel (EAbortError).
std::string FailureCause(const std::string& Service, const std::string& Server, const TAsyncSocket& Component,
                         const std::exception& e);

// The box for a failed connection attempt. A refused login, a server that offers no STARTTLS or
// STLS, a refused certificate or a failed TLS handshake is named for what it is: the connection
// itself worked, so the box must not send the user looking for a broken network. Every other
// failure gets the general box ("Es konnte keine Verbindung zu ... hergestellt werden. ...")
// followed by the cause. Empty for the user's own cancel.
std::string ConnectFailureBox(const std::string& Service, const std::string& Server, const TAsyncSocket& Component,
                              const std::exception& e);

// The log line for a refusal by the server, in the server's own words: "POP3 Server lehnt LIST
// ab: -ERR Syntax error", or "SMTP Server bietet kein STARTTLS an (Antwort auf EHLO: ...)".
// The reply is cut to kReplyShown characters. Empty when `e` is no refusal.
std::string RefusalLine(const std::string& Service, const std::exception& e);

// The server's reply line that `e` carries, without line end or control characters and cut to
// kReplyShown characters; empty when the failure was no reply of the server (a socket
// failure, a check of the component).
std::string ServerReply(const std::string& Service, const std::exception& e);

} // namespace pb
