#pragma once
// A relay on 127.0.0.1 between a client under test and a real server, that cuts the connection
// at a chosen point of the dialogue: once the server has sent `budget` bytes towards the client
// (the bytes up to that point are passed on), both sides are closed at once, as a server or a
// line that drops. The client's bytes are passed on as they come. A budget below 0 never cuts,
// so a first pass can count how many bytes a whole dialogue takes.
//
//   CutProxy proxy(servers.pop3Port());
//   proxy.setBudget(1234);                 // for the next connections
//   client connects to 127.0.0.1:proxy.port()
//   proxy.served();                        // server bytes passed on since setBudget
//
// One thread serves the connections one after the other; every wait is bounded.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace pb::test {

class CutProxy {
public:
    explicit CutProxy(std::uint16_t targetPort);
    ~CutProxy();
    CutProxy(const CutProxy&) = delete;
    CutProxy& operator=(const CutProxy&) = delete;

    std::uint16_t port() const { return port_; }
    // Server bytes to pass on before the cut; counted from now over all later connections.
    void setBudget(long long budget);
    long long served() const { return served_.load(); }
    // True once a cut has happened since setBudget.
    bool cut() const { return cut_.load(); }
    // Every byte the client sent so far, all connections in order: what crossed the line.
    std::string clientBytes() const;

private:
    void serve();
    void relay(int client);

    std::uint16_t targetPort_;
    std::uint16_t port_ = 0;
    int listenFd_ = -1;
    int wakeFd_[2] = {-1, -1};
    std::atomic<long long> budget_{-1};
    std::atomic<long long> served_{0};
    std::atomic<bool> cut_{false};
    std::atomic<bool> stop_{false};
    mutable std::mutex recordLock_;
    std::string fromClient_;
    std::thread thread_;
};

} // namespace pb::test
