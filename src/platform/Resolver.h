#pragma once
// Asynchronous host name lookup, like WSAAsyncGetHostByName: the lookup runs on a worker
// thread and its completion is posted to a hidden window as a message whose first parameter is
// the lookup handle and whose second carries the WinSock error code in its high word.
//
// A lookup that is dropped (its `HostLookup` destroyed, e.g. after a time-out or when the
// component goes away) never posts: the worker finishes on its own and its result is thrown
// away, so no late message can reach a window that no longer waits for it or no longer exists.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace pb {

namespace winsock {
class HiddenWindow;
}

struct LookupResult {
    std::uint32_t address = 0;   // first IPv4 address, network byte order
    int error = 0;               // WinSock code (11001 host not found, ...); 0 on success
};

// The function that does the lookup; it runs on a worker thread and may block.
using LookupFunction = std::function<LookupResult(const std::string& name)>;

// The system's resolver: getaddrinfo for IPv4 stream addresses.
LookupResult systemLookup(const std::string& name);

// Replaces the lookup that new requests use (tests install their own, so that no DNS query
// ever leaves the machine). An empty function restores `systemLookup`.
void setLookupFunction(LookupFunction lookup);

class HostLookup {
public:
    // Starts looking up `name`; on completion `message` is posted to `window`.
    HostLookup(winsock::HiddenWindow* window, unsigned message, std::string name);
    // Drops the request if it is still running.
    ~HostLookup();
    HostLookup(const HostLookup&) = delete;
    HostLookup& operator=(const HostLookup&) = delete;

    // The lookup handle, as the completion message's first parameter carries it.
    std::uintptr_t handle() const { return handle_; }
    // Valid once the completion message has arrived.
    LookupResult result() const;

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
    std::uintptr_t handle_;
};

} // namespace pb
