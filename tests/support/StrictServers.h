#pragma once
// The command grammars of POP3 (RFC 1939 with CAPA of RFC 2449, STLS of RFC 2595 and UTF8 of
// RFC 6856) and SMTP (RFC 5321 with STARTTLS of RFC 3207 and AUTH of RFC 4954), for scripted
// servers that must be as strict as a real one: a command a strict server would refuse is
// refused here too, so no scripted test can pass on a spelling that Cyrus or Courier answers
// with -ERR, or an SMTP server with 500.
#include "support/LoopbackServer.h"

#include <string>
#include <string_view>

namespace pb::test {

// Whether Line (its CRLF included) is a POP3 command as the RFCs spell it: a keyword (in any
// case), arguments each after exactly one blank, message numbers as decimal digits without
// a leading zero, nothing after the last argument, at most 255 octets. "PASS " with an empty
// password passes: the client sends what the user entered.
bool Pop3Command(std::string_view Line);

// The next command from the client, as a strict server takes it: a line off the grammar is
// answered "-ERR Syntax error", and CAPA with `capa` (default: refused, as by a server of
// RFC 1939 alone); neither is returned. Each of them is appended to `seen` when given, so a
// test can check what the client sent besides. "" when the client closed or 5 s passed.
inline const std::string NoCapa = "-ERR unknown command\r\n";
std::string ReadPop3Command(Peer& p, const std::string& capa = NoCapa, std::string* seen = nullptr);

// Whether Line (its CRLF included) is an SMTP command as the RFCs spell it: HELO/EHLO with a
// name, "MAIL FROM:<path>" and "RCPT TO:<path>" (each optionally with parameters after one
// blank), DATA, RSET, QUIT, NOOP, STARTTLS, "AUTH mechanism [initial response]"; at most 512
// octets.
bool SmtpCommand(std::string_view Line);

// The next command from the client, as a strict server takes it: a line off the grammar is
// answered "500 5.5.2 Syntax error" (and appended to `seen` when given) and not returned. The
// mail text after DATA and the lines of an AUTH exchange are no commands: read them with
// Peer::readLine. "" when the client closed or 5 s passed.
std::string ReadSmtpCommand(Peer& p, std::string* seen = nullptr);

} // namespace pb::test
