#pragma once
// The commands a person (or a test) gives edhost about a base: areas, list, show, dump, write,
// flags, and, while a host serves the base, status, disconnect and fault. The same code runs
// in the serving process (when the command came over its control socket) and in a process of
// its own (when no host serves the base).
#include "HostServer.h"
#include "MessageStore.h"

#include <string>
#include <vector>

namespace pb::edhost {

struct CommandResult {
    int code = 0;        // the process exit status
    std::string out;     // printed on stdout (UTF-8, or raw bytes for dump --raw)
    std::string err;     // printed on stderr
};

// args[0] is the command; --base has been taken out already. server is null when no host
// serves the base; when it is not, the command came from a client, and --text-file (which the
// client reads itself) is refused: the serving host opens no file on a client's behalf.
CommandResult runCommand(const std::vector<std::string>& args, MessageStore& store,
                         HostServer* server);

// Reads the text of a message to write from a file, at most a record's worth: a file that is
// larger (or endless, like /dev/zero) is refused with a reason in error.
bool readTextFile(const std::string& path, std::string& text, std::string& error);

// The text a point program's user gets for a new message: the host's own first line, then the
// given text with its line ends made CR LF.
std::string outgoingText(const std::string& body, std::uint32_t serial);

} // namespace pb::edhost
