// Host behaviour that edhost never shows, from a scripted host in a thread of this process:
// result blocks that lie about their content or size, stray and malformed datagrams, replies
// that come twice, host commands that arrive before anyone listens.
#include "host/EchodeskAPI.h"
#include "platform/HostWindow.h"
#include "platform/MessageLoop.h"
#include "platform/Session.h"
#include "platform/SharedMemory.h"
#include "platform/UnixSockets.h"
#include "support/ScratchSession.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>

namespace pb {
namespace {

// What the scripted host does with one command.
struct Answer {
    std::int32_t reply = 0;
    std::string blockPrefix;   // publish bytes under prefix + host tid before replying
    std::string bytes;
    int extraReplies = 0;      // further 1027s after the real one
    bool junkFirst = false;    // malformed datagrams before the reply
};

class ScriptedHost {
public:
    std::function<Answer(const tagMSG&)> script;
    std::function<void(std::uint32_t worker)> onAttach;
    std::atomic<int> releases{0};
    std::atomic<std::uint32_t> tid{0};
    std::mutex lock;
    TPluginInfo description{};
    std::atomic<bool> described{false};

    ScriptedHost() {
        thread_ = std::thread([this] { run(); });
        while (!ready_)
            std::this_thread::yield();
    }
    ~ScriptedHost() {
        stop_ = true;
        thread_.join();
    }

private:
    void run() {
        ensureMessageQueue();
        tid = currentThreadId();
        window_.create("TEDMainWindow");
        ready_ = true;
        while (!stop_) {
            pollfd p[2] = {{window_.fd(), POLLIN, 0}, {messageQueueFd(), POLLIN, 0}};
            ::poll(p, 2, 20);
            if (p[0].revents & POLLIN)
                window_.serve([this](const WindowEndpoint::Request& r) -> std::intptr_t {
                    if (onAttach)
                        onAttach(static_cast<std::uint32_t>(r.wParam));
                    return tid;
                });
            tagMSG msg;
            MessageOrigin from;
            while (peekMessage(msg, 0, 0xFFFFFFFF, &from))
                handle(msg, from);
        }
    }

    void handle(const tagMSG& msg, const MessageOrigin& from) {
        if (msg.message == edapi::Release) {
            ++releases;
            held_.reset();
            return;
        }
        if (msg.message == edapi::Detach)
            return;
        if (msg.message == edapi::Reply) {   // the worker filled its description block
            SharedMapping block(edapi::blockName(edapi::BlkPluginInfo, from.tid), sizeof(TPluginInfo));
            if (!block.Created() && block.Data()) {
                std::lock_guard<std::mutex> g(lock);
                std::memcpy(&description, block.Data(), sizeof description);
                described = true;
            }
            postThreadMessage(from.tid, edapi::Reply, 0, 0, from.seq);
            return;
        }
        Answer a;
        if (msg.message == edapi::Version)
            a.reply = 8;
        else if (script)
            a = script(msg);
        if (!a.blockPrefix.empty()) {
            held_ = std::make_unique<SharedMapping>(edapi::blockName(a.blockPrefix, tid), a.bytes.size());
            std::memcpy(held_->Data(), a.bytes.data(), a.bytes.size());
        }
        if (a.junkFirst)
            sendJunk(from.tid);
        postThreadMessage(from.tid, edapi::Reply, 0, a.reply, from.seq);
        for (int i = 0; i < a.extraReplies; ++i)   // the surplus even repeats the sequence number
            postThreadMessage(from.tid, edapi::Reply, 0, edapi::ParamFailed, from.seq);
    }

    static void sendJunk(std::uint32_t to) {
        sockaddr_un addr{};
        socklen_t len = 0;
        unixAddress(channelPath("q-" + threadIdHex(to)), addr, len);
        int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
        for (std::size_t n : {1u, 39u, 40u, 41u}) {
            std::string junk(n, '\x1b');
            ::sendto(fd, junk.data(), junk.size(), 0, reinterpret_cast<sockaddr*>(&addr), len);
        }
        ::close(fd);
    }

    WindowEndpoint window_;
    std::unique_ptr<SharedMapping> held_;
    std::atomic<bool> ready_{false};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

Answer status(std::int32_t reply) {
    Answer a;
    a.reply = reply;
    return a;
}

template <typename T>
std::string le(T v) {
    return std::string(reinterpret_cast<const char*>(&v), sizeof v);
}

class HostFaults : public ::testing::Test {
protected:
    void SetUp() override {
        session.enter();
        host = std::make_unique<ScriptedHost>();
        api = std::make_unique<TEchodeskAPI>();
        api->Connect();
        ASSERT_TRUE(api->Connected());
    }
    void TearDown() override {
        api.reset();
        host.reset();
    }
    // Waits until the host has counted n releases (they are posted, not answered).
    bool releasesReach(int n) {
        QElapsedTimer t;
        t.start();
        while (host->releases < n && t.elapsed() < 2000)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return host->releases == n;
    }
    test::ScratchSession session{"faults"};
    std::unique_ptr<ScriptedHost> host;
    std::unique_ptr<TEchodeskAPI> api;
};

TEST_F(HostFaults, EmptyAreaListIsReleasedToo) {
    host->script = [](const tagMSG&) {
        Answer a;
        a.bytes = le<std::int32_t>(0);
        a.blockPrefix = std::string(edapi::BlkAreaList);
        a.reply = 4;
        return a;
    };
    std::vector<std::string> names{"stale"};
    api->GetAreaList(names);
    EXPECT_TRUE(names.empty());
    EXPECT_TRUE(releasesReach(1));
}

TEST_F(HostFaults, AreaListThatLiesAboutItsEntriesIsRejected) {
    const std::string one = std::string("EMAIL\0\x09", 7);
    const Answer lies[] = {
        {11, std::string(edapi::BlkAreaList), le<std::int32_t>(3) + one},              // 3 claimed
        {10, std::string(edapi::BlkAreaList), le<std::int32_t>(1) + "EMAILXX"},         // no NUL
        {10, std::string(edapi::BlkAreaList), le<std::int32_t>(1) + std::string("EMAIL\0", 6)},  // no value
        {11, std::string(edapi::BlkAreaList), le<std::int32_t>(-1) + one},             // negative
        {1000, std::string(edapi::BlkAreaList), le<std::int32_t>(1) + one},            // block too small
        {2, std::string(edapi::BlkAreaList), le<std::int32_t>(1) + one},               // reply too small
    };
    int released = 0;
    for (const Answer& lie : lies) {
        host->script = [&](const tagMSG&) { return lie; };
        std::vector<std::string> names;
        try {
            api->GetAreaList(names);
            ADD_FAILURE() << "accepted a block of " << lie.reply << " bytes";
        } catch (const ECmdFailed& e) {
            EXPECT_STREQ(e.what(), "Could not get result");
        }
        EXPECT_TRUE(names.empty());
        EXPECT_TRUE(releasesReach(++released));
    }
}

TEST_F(HostFaults, MessageListBeyondItsBlockIsRejectedAndReleased) {
    std::string entries = le<std::int32_t>(5) + std::string(2 * 256, 'e');
    host->script = [&](const tagMSG&) {
        return Answer{static_cast<std::int32_t>(entries.size()), std::string(edapi::BlkMsgList), entries};
    };
    TMessageList list;
    EXPECT_THROW(api->GetMsgList(list), ECmdFailed);
    EXPECT_EQ(list.Count(), 0);
    EXPECT_TRUE(releasesReach(1));

    host->script = [](const tagMSG&) { return status(edapi::NoAreaOpen); };
    EXPECT_THROW(api->GetMsgList(list), EAreaNotOpen);
    EXPECT_TRUE(releasesReach(2));   // released although it failed

    std::string two = le<std::int32_t>(2) + std::string(256, 'a') + std::string(256, 'b');
    host->script = [&](const tagMSG&) {
        return Answer{static_cast<std::int32_t>(two.size()), std::string(edapi::BlkMsgList), two};
    };
    api->GetMsgList(list);
    ASSERT_EQ(list.Count(), 2);
    EXPECT_EQ(list.Items(1)[255], 'b');
}

TEST_F(HostFaults, MessageReplyZeroIsNoMessageAndNoRelease) {
    host->script = [](const tagMSG&) { return status(0); };
    EXPECT_EQ(api->GetMsg(3), nullptr);

    std::string noNuls = std::string(34, 'h') + std::string(20, 'x');
    host->script = [&](const tagMSG&) {
        return Answer{static_cast<std::int32_t>(noNuls.size()), std::string(edapi::BlkMsg), noNuls};
    };
    auto m = api->GetMsg(3);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->size(), noNuls.size());
    EXPECT_EQ(m->ToUserName(), std::string(20, 'x'));
    EXPECT_EQ(m->Text(), "");
    EXPECT_TRUE(releasesReach(1));
    // The host takes what the component sends in order: once a later command is answered, every
    // release sent before it is counted, and only the message with a block was released.
    host->script = [](const tagMSG&) { return status(0); };
    EXPECT_NO_THROW(api->CloseArea());
    EXPECT_EQ(host->releases, 1);
}

TEST_F(HostFaults, JunkAndSurplusRepliesNeverAnswerALaterCommand) {
    host->script = [](const tagMSG& m) {
        Answer a;
        a.junkFirst = true;
        if (m.message == edapi::CloseArea)
            a.extraReplies = 2;   // a confused host answers three times
        return a;
    };
    EXPECT_NO_THROW(api->CloseArea());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));   // the surplus has arrived
    EXPECT_NO_THROW(api->CloseArea());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_NO_THROW(api->SetMsgFlags(1, 0x80));
}

TEST_F(HostFaults, HostCommandsWaitForTheEventLoop) {
    // A command the host sends while nobody dispatches is held, then delivered in order.
    std::vector<std::uint32_t> got;
    api->OnCommand = [&](const tagMSG& m) { got.push_back(m.message); };
    for (std::uint32_t m : {2000u, 2001u})
        postThreadMessage(api->WorkerThreadId(), m, 0, 0);
    // The worker takes its messages in order: once it has answered a description request sent
    // after the commands, it has passed both on to this thread.
    postThreadMessage(api->WorkerThreadId(), edapi::DescriptionReq, 0, host->tid);
    QElapsedTimer t;
    t.start();
    while (!host->described && t.elapsed() < 2000)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(host->described);
    EXPECT_TRUE(got.empty());
    t.restart();
    pumpUntil([&] { return got.size() == 2 || t.elapsed() > 2000; });
    EXPECT_EQ(got, (std::vector<std::uint32_t>{2000, 2001}));
}

TEST_F(HostFaults, WorkerAnswersTheDescriptionRequestWithItsBlock) {
    api->PIName = "Postbridge";
    api->Disconnect();
    // The host asks at attach; the worker makes the block and posts 1027 to the host thread.
    host->onAttach = [&](std::uint32_t worker) {
        postThreadMessage(worker, edapi::DescriptionReq, 0, host->tid);
    };
    api->Connect();
    QElapsedTimer t;
    t.start();
    while (!host->described && t.elapsed() < 2000)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(host->described);
    std::lock_guard<std::mutex> g(host->lock);
    EXPECT_EQ(host->description.PIName.str(), "Postbridge");
    EXPECT_EQ(std::int32_t{host->description.PIAPIRequiered}, 8);
    // The worker removes its block once the host has answered.
    std::string name = edapi::blockName(edapi::BlkPluginInfo, api->WorkerThreadId());
    t.restart();
    while (SharedMapping::exists(name) && t.elapsed() < 1000)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_FALSE(SharedMapping::exists(name));
}

} // namespace
} // namespace pb
