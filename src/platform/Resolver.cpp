#include "platform/Resolver.h"

#include "platform/SocketNotify.h"

#include <QCoreApplication>

#include <arpa/inet.h>
#include <mutex>
#include <netdb.h>
#include <sys/socket.h>
#include <thread>

namespace pb {
namespace {

std::mutex lookupMutex;
LookupFunction installedLookup;

LookupFunction currentLookup() {
    std::lock_guard lock(lookupMutex);
    return installedLookup ? installedLookup : LookupFunction(systemLookup);
}

} // namespace

LookupResult systemLookup(const std::string& name) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
    LookupResult r;
    if (rc != 0 || !list) {
        switch (rc) {
        case EAI_AGAIN: r.error = winsock::WSATRY_AGAIN; break;
        case EAI_FAIL: r.error = winsock::WSANO_RECOVERY; break;
        case EAI_NODATA: r.error = winsock::WSANO_DATA; break;
        default: r.error = winsock::WSAHOST_NOT_FOUND; break;
        }
        if (list)
            ::freeaddrinfo(list);
        return r;
    }
    r.address = reinterpret_cast<const sockaddr_in*>(list->ai_addr)->sin_addr.s_addr;
    ::freeaddrinfo(list);
    return r;
}

void setLookupFunction(LookupFunction lookup) {
    std::lock_guard lock(lookupMutex);
    installedLookup = std::move(lookup);
}

struct HostLookup::Shared {
    std::mutex mutex;
    winsock::HiddenWindow* window;   // nullptr once dropped
    unsigned message;
    std::uintptr_t handle;
    LookupResult result;
};

HostLookup::HostLookup(winsock::HiddenWindow* window, unsigned message, std::string name) {
    static std::uintptr_t nextHandle = 0;
    handle_ = ++nextHandle;
    shared_ = std::make_shared<Shared>();
    shared_->window = window;
    shared_->message = message;
    shared_->handle = handle_;
    std::thread([shared = shared_, lookup = currentLookup(), name = std::move(name)] {
        LookupResult r;
        try {
            r = lookup(name);
        } catch (...) {
            r.error = winsock::WSANO_RECOVERY;
        }
        std::lock_guard lock(shared->mutex);
        shared->result = r;
        // Posting is thread-safe; the window cannot go away while the mutex is held, because
        // dropping the request takes the same mutex first.
        if (shared->window)
            QCoreApplication::postEvent(
                shared->window,
                new winsock::WindowMessage(shared->message, shared->handle,
                                           winsock::makeSelectParam(0, r.error)));
    }).detach();
}

HostLookup::~HostLookup() {
    std::lock_guard lock(shared_->mutex);
    shared_->window = nullptr;
}

LookupResult HostLookup::result() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->result;
}

} // namespace pb
