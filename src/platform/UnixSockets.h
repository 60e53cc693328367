#pragma once
// The pieces every file-system socket of the channel shares: its address, a bind that replaces
// a socket file left by a crashed owner, and the check of the peer's user.
#include <cstddef>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>

namespace pb {

// The address of a socket file; false when the path is empty or does not fit sun_path.
bool unixAddress(const std::string& path, sockaddr_un& addr, socklen_t& len);

// Binds fd (of the given socket type) to path. A socket file there that nobody serves any more
// was left by a process that died: it is replaced. A live one is not (false, EADDRINUSE).
bool bindReplacingStale(int fd, int type, const std::string& path);

// A non-blocking listening stream socket at path (see bindReplacingStale); -1 on failure.
int listenAt(const std::string& path);

// Reads or writes exactly n bytes on a stream, waiting at most timeoutMs for each step; false
// on a timeout, an error or the end of the stream.
bool transferAll(int fd, void* buf, std::size_t n, bool writing, int timeoutMs);

// The kernel's credentials of a connected stream's peer; true when it runs as our user.
bool peerIsOwnUser(int fd, ucred& cred);

} // namespace pb
