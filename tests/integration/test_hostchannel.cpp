// The host channel against a real edhost: attach, version, description, both ways of ending
// the connection, and the limits of the reply wait.
#include "host/EchodeskAPI.h"
#include "platform/MessageLoop.h"
#include "platform/Session.h"
#include "platform/SharedMemory.h"
#include "support/EdhostProcess.h"
#include "support/WaitFor.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace pb {
namespace {

using test::EdhostProcess;
using test::waitFor;

struct Events {
    std::vector<std::string> seen;
    explicit Events(TEchodeskAPI& api) {
        api.OnConnecting = [this] { seen.push_back("Connecting"); };
        api.OnConnected = [this] { seen.push_back("Connected"); };
        api.OnConnectFailed = [this] { seen.push_back("ConnectFailed"); };
        api.OnDisconnecting = [this] { seen.push_back("Disconnecting"); };
        api.OnDisconnected = [this] { seen.push_back("Disconnected"); };
        api.OnServerDisconnected = [this] { seen.push_back("ServerDisconnected"); };
        api.OnWrongVersion = [this] { seen.push_back("WrongVersion"); };
    }
};

using Seq = std::vector<std::string>;

bool hostSays(const EdhostProcess& host, const std::string& text, int limitMs = 5000) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < limitMs) {
        if (host.run({"status"}).find(text) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

TEST(HostAttach, SucceedsAndTheHostKeepsThePluginDescription) {
    EdhostProcess host;
    ASSERT_TRUE(host.running());
    TEchodeskAPI api;
    Events ev(api);
    api.PIName = "Postbridge";
    api.PIDescription = "Plug In zur Versenden von e-Mails mit Echodesk";
    api.Connect();
    EXPECT_EQ(ev.seen, (Seq{"Connecting", "Connected"}));
    EXPECT_TRUE(api.Connected());
    EXPECT_EQ(api.HostVersion(), 8);
    EXPECT_NE(api.HostThreadId(), 0u);
    EXPECT_TRUE(hostSays(host, "name: Postbridge"));
    EXPECT_TRUE(hostSays(host, "description: Plug In zur Versenden von e-Mails mit Echodesk"));

    ev.seen.clear();
    api.Connect();   // already attached: nothing happens
    EXPECT_TRUE(ev.seen.empty());

    api.Disconnect();
    EXPECT_EQ(ev.seen, (Seq{"Disconnecting", "Disconnected"}));
    EXPECT_TRUE(hostSays(host, "0 plug-in(s) attached"));
}

TEST(HostAttach, AutoConnectAttachesWhenLoaded) {
    EdhostProcess host;
    TEchodeskAPI api;
    api.Loaded();
    EXPECT_TRUE(api.Connected());
    TEchodeskAPI manual;
    manual.AutoConnect = false;
    manual.Loaded();
    EXPECT_FALSE(manual.Connected());
}

TEST(HostAttach, NoHostAndRefusedAttachEndInConnectFailed) {
    {
        EdhostProcess host({"--refuse-attach"});
        TEchodeskAPI api;
        Events ev(api);
        api.Connect();
        EXPECT_EQ(ev.seen, (Seq{"Connecting", "ConnectFailed"}));
        EXPECT_FALSE(api.Connected());
    }
    EdhostProcess host;
    host.stop();   // a session without a host window
    TEchodeskAPI api;
    Events ev(api);
    api.Connect();
    EXPECT_EQ(ev.seen, (Seq{"Connecting", "ConnectFailed"}));
    EXPECT_THROW(api.OpenArea("REPORT"), ENotConnected);
}

TEST(HostAttach, OlderInterfaceVersionDetachesThenReportsWrongVersion) {
    EdhostProcess host({"--api-version", "7"});
    TEchodeskAPI api;
    Events ev(api);
    api.Connect();
    EXPECT_EQ(ev.seen,
              (Seq{"Connecting", "Disconnecting", "Disconnected", "WrongVersion", "ConnectFailed"}));
    EXPECT_EQ(api.HostVersion(), 7);
    EXPECT_FALSE(api.Connected());
    EXPECT_TRUE(hostSays(host, "0 plug-in(s) attached"));   // the host got the detach

    // A host that reports a newer version than required is fine.
    host.run({"fault", "--api-version", "9"});
    ev.seen.clear();
    api.Connect();
    EXPECT_EQ(ev.seen, (Seq{"Connecting", "Connected"}));
}

TEST(HostDetach, HostEndingTheConnectionFiresServerDisconnectedOnly) {
    EdhostProcess host;
    TEchodeskAPI api;
    Events ev(api);
    api.Connect();
    ev.seen.clear();
    host.run({"disconnect"});
    EXPECT_TRUE(waitFor([&] { return !ev.seen.empty(); }));
    EXPECT_EQ(ev.seen, (Seq{"ServerDisconnected"}));
    EXPECT_FALSE(api.Connected());

    // A second 1029 while not connected changes nothing and fires nothing. The worker takes its
    // messages in order: once a command the host sends later has come through, it has passed
    // the 1029 by.
    ASSERT_TRUE(postThreadMessage(api.WorkerThreadId(), edapi::Detach, 0, 0));
    api.Disconnect();   // not connected: nothing posted, nothing fired
    EXPECT_EQ(ev.seen, (Seq{"ServerDisconnected"}));
    std::vector<std::uint32_t> commands;
    api.OnCommand = [&](const tagMSG& m) { commands.push_back(m.message); };
    api.Connect();
    host.run({"fault", "--post", "2000"});
    EXPECT_TRUE(waitFor([&] { return !commands.empty(); }));
    EXPECT_EQ(ev.seen, (Seq{"ServerDisconnected", "Connecting", "Connected"}));
}

TEST(HostDetach, StoppedHostEndsTheConnectionOfItsPlugins) {
    EdhostProcess host;
    TEchodeskAPI api;
    Events ev(api);
    api.Connect();
    host.stop();
    EXPECT_TRUE(waitFor([&] { return !api.Connected(); }));
    EXPECT_EQ(ev.seen.back(), "ServerDisconnected");
}

TEST(HostDetach, DestroyingTheComponentDetachesWithoutEvents) {
    EdhostProcess host;
    std::vector<std::string> seen;
    {
        TEchodeskAPI api;
        api.Connect();
        api.OnDisconnecting = [&] { seen.push_back("Disconnecting"); };
        api.OnDisconnected = [&] { seen.push_back("Disconnected"); };
    }
    EXPECT_TRUE(seen.empty());
    EXPECT_TRUE(hostSays(host, "0 plug-in(s) attached"));
}

TEST(HostChannel, ParameterBlockNameInUseFailsWithoutPosting) {
    EdhostProcess host;
    TEchodeskAPI api;
    api.Connect();
    // If the command reached the host, this armed answer would be used up by it.
    host.run({"fault", "--answer", "1033", "0x80003002"});
    {
        SharedMapping taken(edapi::blockName(edapi::BlkOpenArea, currentThreadId()), 16);
        ASSERT_TRUE(taken.Created());
        try {
            api.OpenArea("REPORT");
            FAIL() << "no exception";
        } catch (const ECmdFailed& e) {
            EXPECT_STREQ(e.what(), "Could not send command!");
        }
    }
    EXPECT_THROW(api.OpenArea("REPORT"), EAreaUnknown);   // the armed answer, still unused
    EXPECT_NO_THROW(api.OpenArea("REPORT"));
}

struct Recorder : TPluginService {
    std::vector<std::uint32_t> got;
    void HandleCommand(const tagMSG& m) override { got.push_back(m.message); }
};

TEST(HostChannel, WorkerForwardsOnlyChannelMessagesInOrder) {
    EdhostProcess host;
    TEchodeskAPI api;
    Recorder svc;
    svc.Command = 2001;
    api.Services.Add(&svc);   // inactive: the host's commands go to OnCommand
    std::vector<std::uint32_t> commands;
    api.OnCommand = [&](const tagMSG& m) { commands.push_back(m.message); };
    std::uint32_t worker = api.WorkerThreadId();
    ASSERT_NE(worker, 0u);
    api.Connect();
    ASSERT_TRUE(api.Connected());
    // The host's commands come from the host; the same numbers posted by any other process
    // (this test's) are not the host's word and never arrive.
    for (std::uint32_t m : {2000u, 2001u})
        ASSERT_TRUE(postThreadMessage(worker, m, 0, 7));
    int code = -1;
    host.run({"fault", "--post", "1024", "--post", "3073", "--post", "2000", "--post", "2001",
              "--post", "3072"},
             &code);
    ASSERT_EQ(code, 0);
    // 3072 is the last message that reaches the worker: the forged ones came before it.
    EXPECT_TRUE(waitFor([&] { return !commands.empty() && commands.back() == 3072; }));
    EXPECT_EQ(commands, (std::vector<std::uint32_t>{2000, 2001, 3072}));

    svc.Active = true;   // an active service takes its own command before OnCommand
    commands.clear();
    host.run({"fault", "--post", "2001", "--post", "2002"});
    EXPECT_TRUE(waitFor([&] { return commands.size() == 1; }));
    EXPECT_EQ(svc.got, (std::vector<std::uint32_t>{2001}));
    EXPECT_EQ(commands, (std::vector<std::uint32_t>{2002}));
}

TEST(HostChannel, ActiveServicesAreRegisteredAtConnect) {
    EdhostProcess host;
    TEchodeskAPI api;
    Recorder a, b;
    a.Active = true;
    a.Command = 2100;
    b.Command = 2101;   // inactive: not registered
    api.Services.Add(&a);
    api.Services.Add(&b);
    api.Connect();
    EXPECT_GT(a.Handle, 0);
    EXPECT_EQ(b.Handle, 0);
}

TEST(HostReplyWait, HostThatStopsAnsweringEndsTheWaitAtTheLimit) {
    EdhostProcess host;
    TEchodeskAPI api;
    api.ReplyTimeoutMs = 800;
    api.Connect();
    host.run({"fault", "--stop-answering"});
    QElapsedTimer t;
    t.start();
    std::vector<std::string> areas;
    EXPECT_THROW(api.GetAreaList(areas), ECmdFailed);
    EXPECT_GE(t.elapsed(), 700);
    EXPECT_LT(t.elapsed(), 5000);

    // A late answer to the abandoned command must not be taken for the next command's reply.
    host.run({"fault", "--resume"});
    api.OpenArea("REPORT");
    EXPECT_NO_THROW(api.CloseArea());
}

TEST(HostReplyWait, HostThatDiesEndsTheWaitPromptly) {
    EdhostProcess host;
    TEchodeskAPI api;   // the generous default limit: only the host's death ends this wait
    Events ev(api);
    api.Connect();
    host.run({"fault", "--stop-answering"});
    std::thread killer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        host.kill();
    });
    QElapsedTimer t;
    t.start();
    std::vector<std::string> areas;
    EXPECT_THROW(api.GetAreaList(areas), ECmdFailed);
    killer.join();
    EXPECT_LT(t.elapsed(), 3000);
    // The lost host is noticed without a 1029, and the next command fails at once.
    EXPECT_TRUE(waitFor([&] { return !api.Connected(); }));
    EXPECT_EQ(ev.seen.back(), "ServerDisconnected");
    EXPECT_THROW(api.OpenArea("REPORT"), ENotConnected);
}

// A second plug-in process that opens REPORT, leaves a command unread, tells the test so on
// fd 3 and waits there to be killed.
TEST(HostChannelChild, OpenAreaAndDie) {
    if (!std::getenv("PB_HOST_CHILD"))
        GTEST_SKIP() << "runs only as the dying plug-in of PluginThatDiesLeavesTheHostServing";
    TEchodeskAPI api;
    api.Connect();
    api.OpenArea("REPORT");
    postThreadMessage(api.HostThreadId(), edapi::MsgList, 0, 0);   // and never reads the reply
    char ready = 'r';
    if (::write(3, &ready, 1) != 1)
        std::_Exit(1);
    for (;;)
        ::pause();
}

TEST(HostChannel, PluginThatDiesLeavesTheHostServing) {
    EdhostProcess host;
    std::string self = QCoreApplication::applicationFilePath().toStdString();
    std::string filter = "--gtest_filter=HostChannelChild.OpenAreaAndDie";
    char* argv[] = {self.data(), filter.data(), nullptr};
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, ready[1], 3);
    ::setenv("PB_HOST_CHILD", "1", 1);
    pid_t child = -1;
    ASSERT_EQ(posix_spawn(&child, self.c_str(), &fa, nullptr, argv, environ), 0);
    ::unsetenv("PB_HOST_CHILD");
    posix_spawn_file_actions_destroy(&fa);
    ::close(ready[1]);
    char got = 0;
    ASSERT_EQ(::read(ready[0], &got, 1), 1);
    ::close(ready[0]);

    TEchodeskAPI api;
    api.Connect();
    ASSERT_TRUE(api.Connected());
    EXPECT_THROW(api.OpenArea("REPORT"), EAreaInUse);   // its holder lives

    // Killed and not yet reaped, as a crashed run whose parent has not looked yet: the area
    // is free at once, since the host looks at the holder before it answers "in use".
    ::kill(child, SIGKILL);
    siginfo_t info{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT), 0);
    EXPECT_NO_THROW(api.OpenArea("REPORT"));
    TMessageList list;
    EXPECT_NO_THROW(api.GetMsgList(list));
    int st = 0;
    EXPECT_EQ(::waitpid(child, &st, 0), child);
}

} // namespace
} // namespace pb
