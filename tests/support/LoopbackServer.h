#pragma once
// A scripted TCP server on 127.0.0.1 for the faults a real mail server cannot be made to
// produce (a connection dropped mid-mail, a refused PASS, data trickled byte by byte). It
// listens on a port the kernel picks and runs one session function per accepted connection on
// its own thread, so the component under test keeps the GUI thread and its message loop.
// Every blocking step is bounded: a session that waits in vain fails instead of hanging.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

struct ssl_st;

namespace pb::test {

// One accepted connection, seen from the server's side.
class Peer {
public:
    explicit Peer(int fd) : fd_(fd) {}
    // Sends every byte (blocking).
    void send(const std::string& bytes);
    // Reads up to and including the next LF; "" when the client closed or 5 s passed.
    std::string readLine();
    // Reads exactly n bytes, or fewer when the client closed or 5 s passed.
    std::string readBytes(std::size_t n);
    // Reads until the client closes (or 5 s pass without a byte).
    std::string readAll();
    // True when the client closed its side within the time given.
    bool waitForClose(std::chrono::milliseconds limit = std::chrono::seconds(5));
    void pause(std::chrono::milliseconds d) { std::this_thread::sleep_for(d); }
    // Closes the connection now (a plain FIN).
    void close();
    // Turns the connection into TLS, this side the server, with the certificate whose
    // fingerprint is TlsFingerprint(); for dialogues the client speaks only over TLS. False
    // when the handshake failed.
    bool startTls();

private:
    // Appends the next bytes the client sends to pending_; false when it closed or 5 s passed.
    bool receive();

    // Some bytes from the connection into buf; 0 when it closed, -1 when nothing came within ms.
    long readSome(char* buf, std::size_t size, int ms);

    int fd_;
    std::string pending_;
    ssl_st* ssl_ = nullptr;
};

// SHA-256 of the certificate Peer::startTls presents (made once per test program), lower-case
// hex: the socket component's TrustedFingerprint for a scripted TLS server.
std::string TlsFingerprint();

class LoopbackServer {
public:
    using Session = std::function<void(Peer&)>;
    // Serves `connections` connections in turn, each with `session`.
    explicit LoopbackServer(Session session, int connections = 1);
    // Waits for the sessions to end (at most a few seconds each).
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    std::uint16_t port() const { return port_; }
    // Waits until every session has ended; afterwards the session's captures may be read.
    void join();

private:
    int listenFd_ = -1;
    std::uint16_t port_ = 0;
    std::thread thread_;
};

// A port on 127.0.0.1 that nothing listens on (connects to it are refused).
std::uint16_t closedPort();

// A blocking client socket connected to 127.0.0.1:port whose every read ends after readLimit at
// the latest; -1 when the connect fails.
int connectLoopback(std::uint16_t port, std::chrono::seconds readLimit = std::chrono::seconds(5));

// Points one of the socket components (TAsyncSocket, TPop3Client, TSmtpClient) at 127.0.0.1:port
// with 5 s for each of its waits.
template <typename Component>
void pointAt(Component& c, std::uint16_t port) {
    c.Host = "127.0.0.1";
    c.Port = port;
    c.TimeOut = 5000;
}

template <typename Component>
void connectTo(Component& c, std::uint16_t port) {
    pointAt(c, port);
    c.Connect();
}

// A listener whose accept queue is full: connects to it are never answered (the kernel drops
// the SYN), which is how a server that does not respond looks, without leaving loopback.
class SilentListener {
public:
    SilentListener();
    ~SilentListener();
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;
    std::uint16_t port() const { return port_; }

private:
    int listenFd_ = -1;
    int fillerFd_ = -1;
    std::uint16_t port_ = 0;
};

} // namespace pb::test
