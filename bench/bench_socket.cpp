// Throughput of the socket component over loopback: ReadLn over 100 MiB of 80-byte lines,
// ReadLn of one 10 MiB line, and SendStream of 100 MiB. A server thread feeds or drains the
// connection as fast as it can; the component runs on the main thread's event loop exactly as
// in the program. Prints MB/s (10^6 bytes per second), median of three rounds.
#include "BenchTools.h"
#include "net/AsyncSocket.h"

#include <QCoreApplication>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using bench::median;

using Clock = std::chrono::steady_clock;
constexpr std::size_t MiB = 1024 * 1024;

// Listens on a kernel-chosen loopback port; `serve` runs on its own thread with the
// accepted connection.
class Server {
public:
    template <class F>
    explicit Server(F serve) {
        listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listen_, 1) != 0)
            std::abort();
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this, serve] {
            const int fd = ::accept(listen_, nullptr, nullptr);
            serve(fd);
            ::close(fd);
        });
    }
    ~Server() {
        thread_.join();
        ::close(listen_);
    }
    int port() const { return port_; }

private:
    int listen_ = -1;
    int port_ = 0;
    std::thread thread_;
};

void sendAll(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t k = ::send(fd, p, n, MSG_NOSIGNAL);
        if (k <= 0)
            return;
        p += k;
        n -= static_cast<std::size_t>(k);
    }
}

void connectTo(pb::TAsyncSocket& s, int port) {
    s.Host = "127.0.0.1";
    s.Port = port;
    s.Connect();
}

double shortLines() {
    std::string block;
    while (block.size() + 80 <= MiB)
        block += std::string(78, 'a' + static_cast<char>(block.size() / 80 % 26)) + "\r\n";
    const std::size_t rounds = 100 * MiB / block.size();
    Server server([&](int fd) {
        for (std::size_t i = 0; i < rounds; ++i)
            sendAll(fd, block.data(), block.size());
        char c;
        ::recv(fd, &c, 1, 0);   // until the client closes
    });
    pb::TAsyncSocket s;
    connectTo(s, server.port());
    const std::size_t lines = rounds * (block.size() / 80);
    std::size_t bytes = 0;
    const auto t0 = Clock::now();
    for (std::size_t i = 0; i < lines; ++i)
        bytes += s.ReadLn().size();
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    s.Disconnect();
    return static_cast<double>(bytes) / secs / 1e6;
}

double longLine() {
    const std::string line = std::string(10 * MiB, 'L') + "\r\n";
    Server server([&](int fd) {
        sendAll(fd, line.data(), line.size());
        char c;
        ::recv(fd, &c, 1, 0);
    });
    pb::TAsyncSocket s;
    connectTo(s, server.port());
    const auto t0 = Clock::now();
    // It comes in pieces of TAsyncSocket::MaxLinePiece, the last with the line end.
    std::size_t bytes = 0;
    for (std::string piece; piece.empty() || piece.back() != '\n';) {
        piece = s.ReadLn();
        bytes += piece.size();
    }
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    if (bytes != line.size())
        std::abort();
    s.Disconnect();
    return static_cast<double>(bytes) / secs / 1e6;
}

double sendStream() {
    const std::size_t total = 100 * MiB;
    std::string data(total, 'S');
    std::size_t received = 0;
    Server server([&](int fd) {
        std::vector<char> buf(256 * 1024);
        for (;;) {
            const ssize_t k = ::recv(fd, buf.data(), buf.size(), 0);
            if (k <= 0)
                break;
            received += static_cast<std::size_t>(k);
        }
    });
    pb::TAsyncSocket s;
    connectTo(s, server.port());
    std::istringstream in(std::move(data));
    const auto t0 = Clock::now();
    s.SendStream(in);
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    if (s.SentCount() != static_cast<std::int64_t>(total))
        std::abort();
    s.Disconnect();
    return static_cast<double>(total) / secs / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    struct Case {
        const char* name;
        double (*run)();
    };
    const Case cases[] = {
        {"ReadLn, 100 MiB of 80-byte lines", shortLines},
        {"ReadLn, one 10 MiB line         ", longLine},
        {"SendStream, 100 MiB             ", sendStream},
    };
    for (const auto& c : cases) {
        std::vector<double> rounds;
        for (int i = 0; i < 3; ++i)
            rounds.push_back(c.run());
        std::printf("%s  %7.1f MB/s  (rounds %.1f %.1f %.1f)\n", c.name, median(rounds), rounds[0],
                    rounds[1], rounds[2]);
        std::fflush(stdout);
    }
    return 0;
}
