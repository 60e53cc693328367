#pragma once
// The host side of the plug-in channel: the "TEDMainWindow" window that plug-ins attach to,
// the host thread's queue that takes their commands, and the message base the commands work
// on. One thread serves everything in one poll loop, so the base needs no locking; every
// command of an attached process is answered with exactly one 1027 to the thread that posted
// it, carrying the command's sequence number. A process that has not attached (by the kernel's
// pid) gets no answer at all.
#include "MessageStore.h"

#include "platform/HostWindow.h"
#include "platform/ThreadMessages.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pb::edhost {

// A stored record above kMaxRecordSize (EDAPICommon.h, shared with the plug-in) is refused as
// damage rather than a message.

struct ServeOptions {
    std::int32_t apiVersion = 8;
    bool refuseAttach = false;
};

class HostServer {
public:
    HostServer(MessageStore& store, ServeOptions options);
    ~HostServer();

    // Creates the window and the queue; false (with a reason) when another host serves the
    // session already.
    bool start(std::string& error);
    // The descriptors the serve loop polls, and the work when one is readable.
    int windowFd() const { return window_.fd(); }
    int queueFd() const;
    void onWindow();
    void onQueue();
    // Called at least every half second: ends connections whose plug-in process died.
    void housekeeping();
    // Ends every connection from the host side (1029 to each worker).
    void disconnectAll();
    // Posts a host command to every attached plug-in's worker.
    void postToWorkers(std::uint32_t message, std::intptr_t lParam);

    std::uint32_t hostThreadId() const { return tid_; }
    std::string statusText() const;

    // Faults for tests.
    ServeOptions options;
    bool stopAnswering = false;
    // The next command of this number is answered with this status instead of being run.
    std::map<std::uint32_t, std::int32_t> answerOnce;
    // The next command of this number is carried out, and then the host dies before it answers
    // (0: none), as a host killed between its work and its reply.
    std::uint32_t dieAfter = 0;

private:
    struct Connection {
        pid_t pid = 0;
        std::uint64_t pidStart = 0;
        std::uint32_t mainTid = 0;
        std::uint32_t workerTid = 0;
        std::optional<std::size_t> openArea;
        std::unique_ptr<TSharedMem> result;   // kept until the plug-in releases it
        std::optional<TPluginInfo> description;
    };

    std::intptr_t attach(const WindowEndpoint::Request& req);
    void handle(const tagMSG& msg, const MessageOrigin& from);
    // Carries out one command of an attached plug-in; the status it is answered with.
    std::int32_t command(Connection& c, const tagMSG& msg);
    // The commands, each with the size of its parameter block where it has one.
    std::int32_t areaList(Connection& c);
    std::int32_t openArea(Connection& c, std::intptr_t size);
    std::int32_t closeArea(Connection& c);
    std::int32_t msgList(Connection& c);
    // GetMsg, GetMsgFlags and SetMsgFlags: one message of the open area, by its number.
    std::int32_t oneMessage(Connection& c, const tagMSG& msg);
    std::int32_t registerService(Connection& c, std::intptr_t size);
    std::int32_t storeNewMsg(Connection& c, std::intptr_t size);
    std::int32_t createArea(Connection& c, std::intptr_t size);
    static std::int32_t storeFailed(const StoreError& e);
    // Makes the result block prefix + host tid and fills it; the status when it cannot.
    std::int32_t publish(Connection& c, std::string_view prefix, const std::string& bytes);
    // The plug-in's parameter block prefix + its thread id, of the announced size.
    std::unique_ptr<TSharedMem> parameter(Connection& c, std::string_view prefix,
                                          std::intptr_t size);
    void drop(std::uint32_t mainTid);
    Connection* byMain(std::uint32_t tid);
    bool attachedProcess(pid_t pid) const;
    Connection* byWorker(std::uint32_t tid);
    // True while another live plug-in holds the area; dead holders are dropped on the way.
    bool areaTaken(std::size_t area, const Connection& except);
    static bool alive(const Connection& c);

    MessageStore& store_;
    WindowEndpoint window_;
    std::uint32_t tid_ = 0;
    std::map<std::uint32_t, Connection> conns_;   // by the plug-in's main thread id
    std::int32_t nextServiceHandle_ = 1;
};

} // namespace pb::edhost
