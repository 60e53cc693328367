// The stand-ins the host channel is built on: thread queues, named shared blocks, the host
// window request, and the records that travel through them.
#include "host/EchodeskAPI.h"
#include "platform/HostWindow.h"
#include "platform/Session.h"
#include "platform/SharedMemory.h"
#include "platform/UnixSockets.h"
#include "platform/ThreadMessages.h"
#include "support/ScratchSession.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace pb {
namespace {

// Every test in a namespace of its own.
class Ipc : public ::testing::Test {
protected:
    void SetUp() override { session_.enter(); }

private:
    test::ScratchSession session_{"ipc"};
};

TEST(BlockNames, CarryTheThreadIdAsEightUpperCaseHexDigits) {
    EXPECT_EQ(edapi::blockName(edapi::BlkOpenArea, 0x1A4), "EDOpenArea000001A4");
    EXPECT_EQ(edapi::blockName(edapi::BlkMsg, 0xDEADBEEF), "EDMsgDEADBEEF");
    EXPECT_EQ(edapi::blockName(edapi::BlkPluginInfo, 0), "EDPluginInfo00000000");
}

TEST_F(Ipc, TakingARangeKeepsTheOtherMessagesQueuedInOrder) {
    ASSERT_TRUE(ensureMessageQueue());
    std::uint32_t me = currentThreadId();
    for (std::uint32_t m : {1024u, 2000u, 1027u, 3073u, 2001u})
        ASSERT_TRUE(postThreadMessage(me, m, m, -static_cast<std::intptr_t>(m)));
    tagMSG msg;
    ASSERT_EQ(waitMessage(msg, 1027, 1027, 1000), WaitResult::Message);
    EXPECT_EQ(msg.lParam, -1027);
    ASSERT_EQ(waitMessage(msg, 1025, 3072, 1000), WaitResult::Message);
    EXPECT_EQ(msg.message, 2000u);
    ASSERT_EQ(waitMessage(msg, 1025, 3072, 1000), WaitResult::Message);
    EXPECT_EQ(msg.message, 2001u);
    EXPECT_EQ(waitMessage(msg, 1025, 3072, 50), WaitResult::Timeout);
    ASSERT_TRUE(peekMessage(msg, 0, 0xFFFFFFFF));
    EXPECT_EQ(msg.message, 1024u);
    ASSERT_TRUE(peekMessage(msg, 0, 0xFFFFFFFF));
    EXPECT_EQ(msg.message, 3073u);
    EXPECT_FALSE(peekMessage(msg, 0, 0xFFFFFFFF));
}

TEST_F(Ipc, QuitEndsAReplyWaitAndPostingToAThreadWithoutQueueFails) {
    ASSERT_TRUE(ensureMessageQueue());
    ASSERT_TRUE(postThreadMessage(currentThreadId(), WM_QUIT, 0, 0));
    tagMSG msg;
    EXPECT_EQ(waitMessage(msg, 1027, 1027, 1000, true), WaitResult::Quit);
    discardMessages(WM_QUIT);

    std::uint32_t gone = 0;
    std::thread([&] {
        ensureMessageQueue();
        gone = currentThreadId();
    }).join();
    EXPECT_FALSE(threadHasQueue(gone));
    EXPECT_FALSE(postThreadMessage(gone, 1027, 0, 0));
    EXPECT_TRUE(threadHasQueue(currentThreadId()));
}

TEST_F(Ipc, MalformedDatagramsAreNeverTakenAsMessages) {
    ASSERT_TRUE(ensureMessageQueue());
    // Write straight to the queue's socket, as a foreign process could.
    sockaddr_un addr{};
    socklen_t len = 0;
    ASSERT_TRUE(unixAddress(channelPath("q-" + threadIdHex(currentThreadId())), addr, len));
    int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    std::string junk[] = {"", "x", std::string(39, '\x1b'), std::string(40, '\0'), std::string(41, 'A'),
                          std::string(4000, '\x03')};
    for (const auto& j : junk)
        ASSERT_EQ(::sendto(fd, j.data(), j.size(), 0, reinterpret_cast<sockaddr*>(&addr), len),
                  static_cast<ssize_t>(j.size()));
    ::close(fd);
    tagMSG msg;
    EXPECT_FALSE(peekMessage(msg, 0, 0xFFFFFFFF));
    ASSERT_TRUE(postThreadMessage(currentThreadId(), 1027, 0, 5));
    ASSERT_EQ(waitMessage(msg, 0, 0xFFFFFFFF, 1000), WaitResult::Message);
    EXPECT_EQ(msg.lParam, 5);
}

TEST_F(Ipc, SharedBlockIsCreatedOnceAndNeverMappedPastItsSize) {
    auto* a = new SharedMapping("EDTest00000001", 100);
    ASSERT_TRUE(a->Created());
    ASSERT_NE(a->Data(), nullptr);
    std::memset(a->Data(), 'x', 100);

    SharedMapping same("EDTest00000001", 100);
    EXPECT_FALSE(same.Created());
    ASSERT_NE(same.Data(), nullptr);
    EXPECT_EQ(static_cast<char*>(same.Data())[99], 'x');

    SharedMapping smaller("EDTest00000001", 10);
    EXPECT_FALSE(smaller.Created());
    EXPECT_NE(smaller.Data(), nullptr);

    SharedMapping larger("EDTest00000001", 101);
    EXPECT_FALSE(larger.Created());
    EXPECT_EQ(larger.Data(), nullptr);   // reading 101 bytes would run past the block
    EXPECT_EQ(larger.blockSize(), 100u);

    delete a;   // the creator goes: the name goes with it
    EXPECT_FALSE(SharedMapping::exists("EDTest00000001"));
    SharedMapping again("EDTest00000001", 100);
    EXPECT_TRUE(again.Created());
}

TEST_F(Ipc, BlockLeftBehindByADeadProcessIsReclaimed) {
    pid_t child = ::fork();
    if (child == 0) {
        new SharedMapping("EDStoreNew0000BEEF", 300);   // never destroyed: the process dies
        std::_Exit(0);
    }
    int st = 0;
    ASSERT_EQ(::waitpid(child, &st, 0), child);
    ASSERT_TRUE(SharedMapping::exists("EDStoreNew0000BEEF"));
    SharedMapping reused("EDStoreNew0000BEEF", 300);
    EXPECT_TRUE(reused.Created());
    EXPECT_NE(reused.Data(), nullptr);

    // A block whose creator lives is not taken away from it.
    SharedMapping live("EDStoreNew0000CAFE", 10);
    SharedMapping second("EDStoreNew0000CAFE", 10);
    EXPECT_FALSE(second.Created());
}

TEST_F(Ipc, LeftoversOfDeadProcessesAreRemovedAtStartAndNothingElse) {
    const std::string session = channelDirectory().path;
    pid_t child = ::fork();
    if (child == 0) {
        new SharedMapping("EDStoreNew0000DEAD", 300);   // mail text of a run that crashes
        ensureMessageQueue();
        std::_Exit(0);
    }
    int st = 0;
    ASSERT_EQ(::waitpid(child, &st, 0), child);
    const std::string deadBlock = session + "/m-EDStoreNew0000DEAD";
    const std::string deadQueue = session + "/q-" + threadIdHex(static_cast<std::uint32_t>(child));
    ASSERT_TRUE(std::filesystem::exists(deadBlock));
    ASSERT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(deadQueue)));
    // The same left-behind block under another user's name stays where it is.
    const std::string foreign = session + "/m-EDForeign";
    std::filesystem::copy_file(deadBlock, foreign);
    const bool asRoot = ::geteuid() == 0;
    if (asRoot) {
        ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
    }

    SharedMapping live("EDStoreNew0000CAFE", 10);
    ASSERT_TRUE(ensureMessageQueue());
    const std::string liveQueue = session + "/q-" + threadIdHex(currentThreadId());
    // Control sockets beside the session folders: one of a host that was killed, one served.
    const std::string controls = channelRoot().path + "/ctl-ipc" + std::to_string(::getpid());
    const int deadControl = listenAt(controls + "-dead");
    const int liveControl = listenAt(controls + "-live");
    ASSERT_GE(deadControl, 0);
    ASSERT_GE(liveControl, 0);
    ::close(deadControl);

    EXPECT_GE(removeLeftovers(), asRoot ? 3u : 4u);
    EXPECT_FALSE(std::filesystem::exists(deadBlock));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(deadQueue)));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(controls + "-dead")));
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(controls + "-live")));
    ::close(liveControl);
    ::unlink((controls + "-live").c_str());
    EXPECT_EQ(std::filesystem::exists(foreign), asRoot);
    EXPECT_TRUE(SharedMapping::exists("EDStoreNew0000CAFE"));
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(liveQueue)));
    EXPECT_TRUE(threadHasQueue(currentThreadId()));
}

TEST_F(Ipc, HostWindowAnswersOneRequestAtATime) {
    EXPECT_FALSE(findWindow("TEDMainWindow"));
    std::intptr_t result = 0;
    EXPECT_FALSE(sendWindowMessage("TEDMainWindow", 1025, 1, 2, result, 200));

    WindowEndpoint window;
    ASSERT_TRUE(window.create("TEDMainWindow"));
    WindowEndpoint twin;
    EXPECT_FALSE(twin.create("TEDMainWindow"));   // one host window per session
    std::atomic<bool> stop{false};
    std::thread server([&] {
        while (!stop) {
            pollfd p{window.fd(), POLLIN, 0};
            if (::poll(&p, 1, 20) > 0)
                window.serve([](const WindowEndpoint::Request& r) -> std::intptr_t {
                    return r.message == 1025 ? static_cast<std::intptr_t>(r.wParam + r.lParam) : 0;
                });
        }
    });
    EXPECT_TRUE(findWindow("TEDMainWindow"));
    EXPECT_TRUE(sendWindowMessage("TEDMainWindow", 1025, 40, 2, result));
    EXPECT_EQ(result, 42);
    stop = true;
    server.join();
}

TEST(HostRecords, ShortStringsAreCutToTheirFieldAndReadSafely) {
    ShortString<35> s;
    s.assign(std::string(50, 'a'));
    EXPECT_EQ(s.Len, 35);
    EXPECT_EQ(s.str(), std::string(35, 'a'));
    s.Len = 200;   // a damaged length byte never leads past the field
    EXPECT_EQ(s.str().size(), 35u);

    TCreateAreaParams p;
    p.Name.assign(std::string(300, 'N'));
    EXPECT_EQ(p.Name.str().size(), 255u);
}

TEST(HostRecords, NewMessageRecordCountsHeaderTextAndNul) {
    TNewMsg empty("");
    EXPECT_EQ(std::int32_t{empty.Header().Size}, 239);   // packed fields: compare copies
    EXPECT_EQ(empty.size(), 239u);
    TNewMsg text("Hallo\r\n");
    EXPECT_EQ(std::int32_t{text.Header().Size}, 238 + 7 + 1);
    EXPECT_EQ(text.data()[238], 'H');
    EXPECT_EQ(text.data()[text.size() - 1], 0);
}

TEST(HostRecords, MessageBlockFieldsEndAtTheBlock) {
    std::vector<std::uint8_t> b(34, 0);
    for (const char* s : {"To", "From", "Subj", "Text"})
        b.insert(b.end(), s, s + std::strlen(s) + 1);
    TMsgBlock full(b);
    EXPECT_EQ(full.ToUserName(), "To");
    EXPECT_EQ(full.FromUserName(), "From");
    EXPECT_EQ(full.Subject(), "Subj");
    EXPECT_EQ(full.Text(), "Text");

    std::string tail("To\0Fr", 5);   // no NUL after the sender, nothing more
    std::vector<std::uint8_t> cut(34, 0);
    for (char c : tail)
        cut.push_back(static_cast<std::uint8_t>(c));
    TMsgBlock partial(cut);
    EXPECT_EQ(partial.FromUserName(), "Fr");
    EXPECT_EQ(partial.Subject(), "");
    EXPECT_EQ(partial.Text(), "");
    TMsgBlock tiny(std::vector<std::uint8_t>(10, 'x'));
    EXPECT_EQ(tiny.ToUserName(), "");
}

} // namespace
} // namespace pb
