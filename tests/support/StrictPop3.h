#pragma once
// The command grammar of POP3 (RFC 1939 with CAPA of RFC 2449, STLS of RFC 2595 and UTF8 of
// RFC 6856), for scripted servers that must be as strict as a real one: a command a strict
// server would refuse is refused here too, so no scripted test can pass on a spelling that
// Cyrus or Courier answers with -ERR.
#include "support/LoopbackServer.h"

#include <string>
#include <string_view>

namespace pb::test {

// Whether Line (its CRLF included) is a POP3 command as the RFCs spell it: an upper-case
// keyword, arguments each after exactly one blank, message numbers as decimal digits without
// a leading zero, nothing after the last argument, at most 255 octets. "PASS " with an empty
// password passes: the client sends what the user entered.
bool Pop3Command(std::string_view Line);

// The next command from the client, as a strict server takes it: a line off the grammar is
// answered "-ERR Syntax error", and CAPA with `capa` (default: refused, as by a server of
// RFC 1939 alone); neither is returned. Each of them is appended to `seen` when given, so a
// test can check what the client sent besides. "" when the client closed or 5 s passed.
inline const std::string NoCapa = "-ERR unknown command\r\n";
std::string ReadPop3Command(Peer& p, const std::string& capa = NoCapa, std::string* seen = nullptr);

} // namespace pb::test
