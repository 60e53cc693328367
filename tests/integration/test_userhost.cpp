// The window of the desktop menu (`postbridge --user-folder`) in an empty home where no host
// runs and no user manager could start one: the start brings up a host of its own for the
// user's base, the window attaches to it and fetches mail, and the host stays when the window
// has gone.
#include "app/UserHost.h"
#include "platform/UserFolder.h"
#include "support/MailRunFixture.h"
#include "support/WaitFor.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace pb {
namespace {

namespace fs = std::filesystem;

// `edhost ARGS --user-base` to its end: its output, the exit status in *code.
std::string userBase(const std::string& args, int* code = nullptr) {
    std::string out;
    if (FILE* p = ::popen((test::edhostPath() + " " + args + " --user-base 2>/dev/null").c_str(), "r")) {
        char buf[4096];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
            out.append(buf, n);
        const int status = ::pclose(p);
        if (code)
            *code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return out;
}

// Running, and not a zombie left for an init that does not reap.
bool alive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
}

pid_t parentOf(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    return close == std::string::npos ? 0 : std::atoi(text.c_str() + close + 4);
}

class Environment {
public:
    void set(const char* name, const char* value) {
        if (!saved_.count(name)) {
            const char* old = std::getenv(name);
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
    ~Environment() {
        for (const auto& [name, value] : saved_)
            value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
    }

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

class UserFolderStart : public test::MailRunFixture {
protected:
    void SetUp() override {
        MailRunFixture::SetUp();
        ASSERT_TRUE(home_.isValid() && runtime_.isValid());
        env_.set("HOME", home_.path().toLocal8Bit().constData());
        env_.set("XDG_DATA_HOME", nullptr);
        // A runtime folder without a user manager in it: the start must do without systemd.
        env_.set("XDG_RUNTIME_DIR", runtime_.path().toLocal8Bit().constData());
    }
    void TearDown() override {
        if (host_ > 0 && alive(host_)) {
            ::kill(host_, SIGTERM);
            for (int i = 0; i < 100 && alive(host_); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        MailRunFixture::TearDown();
    }

    QTemporaryDir home_;
    QTemporaryDir runtime_;
    Environment env_;
    pid_t host_ = 0;
};

TEST_F(UserFolderStart, EmptyHomeGetsAHostThatTheWindowUsesAndThatOutlivesIt) {
    const fs::path folder = ensureUserFolder();
    ASSERT_EQ(folder, fs::path(home_.path().toStdString()) / ".local/share/postbridge");
    ASSERT_EQ(::chdir(folder.c_str()), 0);

    // The log of earlier hosts has grown past its bound: the new host cuts it to its newest lines.
    {
        std::ofstream old(folder / kHostLogFile);
        for (int i = 0; i < 40000; ++i)
            old << "edhost: an old line number " << i << " of a long-running host\n";
    }
    ASSERT_GT(fs::file_size(folder / kHostLogFile), 1u << 21);

    // (A generous bound for a loaded machine: what is tested is the start, not its speed.)
    const UserHostResult started = ensureUserHost(test::edhostPath(), folder, std::chrono::seconds(30));
    ASSERT_EQ(started.how, UserHostStart::Started) << started.problem;
    host_ = started.pid;
    int code = -1;
    userBase("status", &code);
    EXPECT_EQ(code, 0);
    // Detached: a session of its own, not a child of the window's process.
    EXPECT_EQ(::getsid(host_), host_);
    EXPECT_NE(parentOf(host_), ::getpid());
    struct stat st {};
    ASSERT_EQ(::stat((folder / kHostLogFile).c_str(), &st), 0);
    EXPECT_LE(st.st_size, 1 << 20);
    {
        std::ifstream log(folder / kHostLogFile);
        const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
        EXPECT_NE(text.find("old line number 39999 "), std::string::npos);
        EXPECT_EQ(text.rfind("edhost: (older lines of this log were cut off)\nedhost: an old line", 0), 0u)
            << text.substr(0, 200);
    }
    // The next start finds it serving and leaves it as it is.
    const UserHostResult again = ensureUserHost(test::edhostPath(), folder);
    EXPECT_EQ(again.how, UserHostStart::AlreadyServing) << again.problem;
    EXPECT_EQ(again.pid, 0);

    // "nur lesen" in the window that attached to it.
    servers().setMails({"From: a@example.org\nSubject: erste\n\neins\n",
                        "From: b@example.org\nSubject: zweite\n\nzwei\n"});
    Tmain& w = startWindow();
    ASSERT_TRUE(w.edapi1->Connected());
    w.BitBtn2->click();
    EXPECT_TRUE(test::boxes().shown.empty()) << test::boxes().texts()[0];
    const std::string list = userBase("list EMAIL");
    EXPECT_NE(list.find("erste"), std::string::npos) << list;
    EXPECT_NE(list.find("zweite"), std::string::npos) << list;

    closeMain();
    userBase("status", &code);
    EXPECT_EQ(code, 0) << "the host ended with the window";
    EXPECT_TRUE(alive(host_));
}

// A user manager runs: the start goes through `systemctl --user start edhost.service` (here a
// stand-in on PATH that does what the unit does, or only reports success, as a unit whose
// sandbox fails after its start would). A unit that brings no host does not leave the window
// without one.
TEST_F(UserFolderStart, TheUnitStartsTheHostAndOneThatBringsNoneIsReplaced) {
    const fs::path folder = ensureUserFolder();
    const fs::path runtime = runtime_.path().toStdString();
    fs::create_directories(runtime / "systemd");
    const int manager = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string socketPath = (runtime / "systemd/private").string();
    ASSERT_LT(socketPath.size(), sizeof addr.sun_path);
    std::strcpy(addr.sun_path, socketPath.c_str());
    ASSERT_EQ(::bind(manager, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    const fs::path bin = runtime / "bin";
    fs::create_directories(bin);
    const fs::path calls = runtime / "systemctl.calls";
    const fs::path unitPid = runtime / "unit.pid";
    {
        std::ofstream script(bin / "systemctl");
        script << "#!/bin/sh\necho \"$*\" >>" << calls << "\n"
               << "[ -e " << (runtime / "unit-fails") << " ] && exit 0\n"
               << "setsid " << test::edhostPath() << " serve --user-base </dev/null >/dev/null 2>&1 &\n"
               << "echo $! >" << unitPid << "\n";
    }
    fs::permissions(bin / "systemctl", fs::perms::owner_all);
    env_.set("PATH", (bin.string() + ":" + std::getenv("PATH")).c_str());

    const UserHostResult byUnit = ensureUserHost(test::edhostPath(), folder, std::chrono::seconds(30));
    ASSERT_EQ(byUnit.how, UserHostStart::ByUnit) << byUnit.problem;
    std::ifstream(unitPid) >> host_;
    int code = -1;
    userBase("status", &code);
    EXPECT_EQ(code, 0);
    EXPECT_FALSE(fs::exists(folder / kHostLogFile)) << "the unit's host logs to the journal";
    ::kill(host_, SIGTERM);
    for (int i = 0; i < 100 && alive(host_); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));

    std::ofstream(runtime / "unit-fails").put('\n');
    const auto asked = std::chrono::steady_clock::now();
    // The unit's share of the wait (half) goes by in full, since its host never comes; the
    // other half is the replacement's, generous for a loaded machine. A replacement that does
    // not answer tells in its log how far it got.
    const UserHostResult replaced = ensureUserHost(test::edhostPath(), folder, std::chrono::seconds(20));
    ASSERT_EQ(replaced.how, UserHostStart::Started)
        << replaced.problem << " after "
        << std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - asked).count()
        << " ms; its log:\n" << test::readBytes((folder / kHostLogFile).string());
    host_ = replaced.pid;
    userBase("status", &code);
    EXPECT_EQ(code, 0);
    std::ifstream log(calls);
    const std::string called((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_EQ(called, "--user start edhost.service\n--user start edhost.service\n");
    ::close(manager);
}

// The window polls `edhost status` while the host it started comes up, and with no host serving
// yet each of those looks holds the base's lock for a moment. The host outwaits such a look,
// also one that ends just while the host asks whether another host serves the base: strace
// holds the host in that question long enough for the test to let go of the lock then.
TEST(HostStart, OutwaitsALookIntoTheBaseThatEndsWhileItAsksForAServingHost) {
    if (std::system("command -v strace >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "strace is not installed";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const std::string base = dir.path().toStdString() + "/base";
    const std::string trace = dir.path().toStdString() + "/strace.out";
    const std::string log = dir.path().toStdString() + "/edhost.log";
    const std::string pidFile = dir.path().toStdString() + "/host.pid";
    ASSERT_EQ(::mkdir(base.c_str(), 0700), 0);
    const int lock = ::open((base + "/lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(::flock(lock, LOCK_EX), 0);

    const std::string edhost = test::edhostPath();
    const pid_t strace = ::fork();
    ASSERT_GE(strace, 0);
    if (strace == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
        const std::string script = "echo $$ >" + pidFile + "; exec \"$0\" serve --base \"$1\" --log \"$2\"";
        ::execlp("strace", "strace", "-qq", "-o", trace.c_str(), "-e", "trace=flock,connect", "-e",
                 "inject=connect:delay_enter=2000000:when=1", "sh", "-c", script.c_str(), edhost.c_str(),
                 base.c_str(), log.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    bool ended = false;
    const auto straceEnded = [&] {
        ended = ended || ::waitpid(strace, &status, WNOHANG) == strace;
        return ended;
    };
    // The host has found the base locked and now asks for a serving host.
    const auto refused = [&] {
        const std::string calls = test::readBytes(trace);
        return calls.find("flock(") != std::string::npos && calls.find("= -1 EAGAIN") != std::string::npos;
    };
    const bool inQuestion = test::waitFor([&] { return refused() || straceEnded(); }, std::chrono::seconds(60));
    ::close(lock);
    if (!inQuestion || !refused()) {
        if (!straceEnded()) {
            ::kill(strace, SIGKILL);
            ::waitpid(strace, &status, 0);
        }
        GTEST_SKIP() << "strace cannot trace here: " << test::readBytes(trace);
    }

    EXPECT_TRUE(test::waitFor(
        [&] { return test::readBytes(log).find("edhost: serving ") != std::string::npos || straceEnded(); },
        std::chrono::seconds(60)));
    EXPECT_FALSE(ended) << "the host gave up: " << test::readBytes(log);
    int code = -1;
    if (FILE* p = ::popen((edhost + " status --base " + base + " >/dev/null 2>&1").c_str(), "r"))
        code = WEXITSTATUS(::pclose(p));
    EXPECT_EQ(code, 0);
    pid_t host = 0;
    std::ifstream(pidFile) >> host;
    if (!ended && host > 0)
        ::kill(host, SIGTERM);
    if (!ended)
        ::waitpid(strace, &status, 0);
}

} // namespace
} // namespace pb
