#pragma once
// Why talking to a mail server failed, as one German sentence for the boxes of the runs and of
// QuickView. A box shows the server's words only when they are its reply to the command that
// failed; a reply left from an earlier command (a "221 Bye", a "250 OK") would tell the user
// something that did not happen.
#include <exception>
#include <string>

namespace pb {

class TAsyncSocket;

// One sentence (Windows-1252) naming the service ("POP3", "SMTP"), the server and the cause
// that the component's exception `e` shows: no server entered, the name not found, no answer,
// connection refused, login refused, the server's reply to the failed command, or a connection
// that broke. Empty for the user's own cancel (EAbortError).
std::string FailureCause(const std::string& Service, const std::string& Server, const TAsyncSocket& Component,
                         const std::exception& e);

// The server's reply line that `e` carries, without line end or control characters; empty
// when the failure was no reply of the server (a socket failure, a check of the component).
std::string ServerReply(const std::string& Service, const std::exception& e);

} // namespace pb
