#include "support/LoopbackServer.h"

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>
#include <mutex>
#include <utility>

namespace pb::test {
namespace {

constexpr int IoLimitMs = 5000;

int listenOn(int backlog, std::uint16_t& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket");
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        ::close(fd);
        throw std::runtime_error("listen");
    }
    port = ntohs(a.sin_port);
    return fd;
}

bool readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
}

// The server side of a scripted TLS connection: a P-256 key and a certificate for 127.0.0.1,
// signed by itself, made once.
SSL_CTX* serverContext() {
    static SSL_CTX* ctx = [] {
        EVP_PKEY* key = EVP_EC_gen("P-256");
        X509* cert = X509_new();
        X509_set_version(cert, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
        X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
        X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
        X509_NAME* name = X509_get_subject_name(cert);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
        X509_set_issuer_name(cert, name);
        X509_set_pubkey(cert, key);
        X509_sign(cert, key, EVP_sha256());
        SSL_CTX* c = SSL_CTX_new(TLS_server_method());
        if (!key || !c || SSL_CTX_use_certificate(c, cert) != 1 || SSL_CTX_use_PrivateKey(c, key) != 1)
            throw std::runtime_error("test TLS identity");
        X509_free(cert);
        EVP_PKEY_free(key);
        return c;
    }();
    return ctx;
}

} // namespace

std::string TlsFingerprint() {
    X509* cert = SSL_CTX_get0_certificate(serverContext());
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    X509_digest(cert, EVP_sha256(), digest, &len);
    std::string hex;
    for (unsigned i = 0; i < len; ++i) {
        hex += "0123456789abcdef"[digest[i] >> 4];
        hex += "0123456789abcdef"[digest[i] & 15];
    }
    return hex;
}

bool Peer::startTls() {
    ssl_ = SSL_new(serverContext());
    SSL_set_fd(ssl_, fd_);
    return readable(fd_, IoLimitMs) && SSL_accept(ssl_) == 1;
}

long Peer::readSome(char* buf, std::size_t size, int ms) {
    if (!(ssl_ && SSL_pending(ssl_) > 0) && !readable(fd_, ms))
        return -1;
    const long n = ssl_ ? SSL_read(ssl_, buf, static_cast<int>(size)) : ::recv(fd_, buf, size, 0);
    return n < 0 ? 0 : n;
}

void Peer::send(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const long n = ssl_ ? SSL_write(ssl_, bytes.data() + done, static_cast<int>(bytes.size() - done))
                            : ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            if (!ssl_ && n < 0 && errno == EINTR)
                continue;
            return;   // the client is gone; the test's own assertions tell what that means
        }
        done += static_cast<std::size_t>(n);
    }
}

bool Peer::receive() {
    char buf[65536];
    const long n = readSome(buf, sizeof buf, IoLimitMs);
    if (n <= 0)
        return false;
    pending_.append(buf, static_cast<std::size_t>(n));
    return true;
}

std::string Peer::readLine() {
    for (;;) {
        const auto lf = pending_.find('\n');
        if (lf != std::string::npos) {
            std::string line = pending_.substr(0, lf + 1);
            pending_.erase(0, lf + 1);
            return line;
        }
        if (!receive())
            return {};
    }
}

std::string Peer::readBytes(std::size_t count) {
    while (pending_.size() < count && receive()) {
    }
    std::string out = pending_.substr(0, count);
    pending_.erase(0, out.size());
    return out;
}

std::string Peer::readAll() {
    while (receive()) {
    }
    return std::exchange(pending_, {});
}

bool Peer::waitForClose(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        char buf[4096];
        const long n = readSome(buf, sizeof buf, static_cast<int>(left.count()));
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        pending_.append(buf, static_cast<std::size_t>(n));
    }
}

void Peer::close() {
    if (ssl_)
        SSL_free(ssl_);
    ssl_ = nullptr;
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

LoopbackServer::LoopbackServer(Session session, int connections) {
    listenFd_ = listenOn(8, port_);
    thread_ = std::thread([this, session = std::move(session), connections] {
        for (int i = 0; i < connections; ++i) {
            if (!readable(listenFd_, 10000))
                return;
            const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                return;
            Peer peer(fd);
            session(peer);
            peer.close();
        }
    });
}

LoopbackServer::~LoopbackServer() {
    join();
    if (listenFd_ >= 0)
        ::close(listenFd_);
}

void LoopbackServer::join() {
    if (thread_.joinable())
        thread_.join();
}

std::uint16_t closedPort() {
    std::uint16_t port = 0;
    const int fd = listenOn(1, port);
    ::close(fd);
    return port;
}

int connectLoopback(std::uint16_t port, std::chrono::seconds readLimit) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    timeval tv{static_cast<time_t>(readLimit.count()), 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
}

SilentListener::SilentListener() {
    listenFd_ = listenOn(0, port_);
    // With a backlog of 0 the queue holds one connection; this one fills it.
    fillerFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port_);
    ::connect(fillerFd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
}

SilentListener::~SilentListener() {
    ::close(fillerFd_);
    ::close(listenFd_);
}

} // namespace pb::test
