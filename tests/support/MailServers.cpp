#include "support/MailServers.h"
#include "support/TempRoot.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;

namespace pb::test {

namespace {

// Mail file names start with this time plus the mail's number: Dovecot numbers new mails in
// the order of that time, so the mails keep the order in which they were added.
constexpr unsigned long kBaseTime = 1000000000;

const std::string kScripts = std::string(PB_SOURCE_DIR) + "/scripts/";

std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<fs::path> sortedFiles(const fs::path& dir) {
    std::vector<fs::path> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec))
        if (e.is_regular_file(ec))
            out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
}

// The leading number of a Maildir file name ("1000000007.M0P0Q7..." -> 1000000007).
unsigned long leadingNumber(const fs::path& p) {
    std::string name = p.filename().string();
    return std::strtoul(name.c_str(), nullptr, 10);
}

// The number after the highest mail file of a Maildir.
unsigned long nextNumber(const std::vector<fs::path>& files) {
    unsigned long next = 1;
    for (const auto& f : files)
        if (leadingNumber(f) >= kBaseTime)
            next = std::max(next, leadingNumber(f) - kBaseTime + 1);
    return next;
}

// Mail files of a Maildir in the order the POP3 server numbers them.
std::vector<fs::path> mailFiles(const std::string& maildir) {
    auto files = sortedFiles(maildir + "/new");
    auto cur = sortedFiles(maildir + "/cur");
    files.insert(files.end(), cur.begin(), cur.end());
    std::stable_sort(files.begin(), files.end(), [](const fs::path& a, const fs::path& b) {
        return leadingNumber(a) < leadingNumber(b);
    });
    return files;
}

std::string lastLines(const std::string& text, int lines) {
    std::size_t pos = text.size();
    for (int n = 0; n <= lines && pos > 0; ++n) {
        pos = text.rfind('\n', pos - 1);
        if (pos == std::string::npos) {
            pos = 0;
            break;
        }
    }
    return text.substr(pos == 0 ? 0 : pos + 1);
}

// The file text for a mail: the Maildir keeps LF line ends and the server adds a CR before
// every LF on the way out, keeping a CR that is already there. So a CR right before a line
// break cannot be served as a character of its own: it is dropped, and every line, the last
// one included, ends with LF.
std::string diskText(std::string_view raw) {
    std::string text;
    text.reserve(raw.size() + 1);
    for (char c : raw) {
        if (c == '\n')
            while (!text.empty() && text.back() == '\r')
                text.pop_back();
        text += c;
    }
    if (text.empty() || text.back() != '\n') {
        while (!text.empty() && text.back() == '\r')
            text.pop_back();
        text += '\n';
    }
    return text;
}

} // namespace

MailServers::MailServers(std::string user, std::string password)
    : user_(std::move(user)), password_(std::move(password)) {}

MailServers::~MailServers() { stop(); }

namespace {

// Runs a script with `env` as its environment, stdout and stderr appended to `out`; its exit
// status, or -1 when it could not start or ran past `timeoutMs` (then it is killed).
int spawnScript(const std::vector<std::string>& args, std::vector<std::string> env,
                const std::string& out, int timeoutMs) {
    std::vector<char*> envp, argv;
    for (auto& s : env)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argCopy = args;
    for (auto& s : argCopy)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0)
        return -1;

    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (r < 0 && errno != EINTR)
            return -1;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

std::vector<std::string> environment() {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        env.emplace_back(*e);
    return env;
}

// Removes a server's directory, trying again a few times: a server process still on its way
// out may add a file while the tree goes. PB_KEEP_SERVERS=1 keeps it for a look at the logs.
void removeServerDir(const std::string& dir) {
    const char* keep = std::getenv("PB_KEEP_SERVERS");
    if (dir.empty() || (keep && *keep == '1'))
        return;
    std::error_code ec;
    for (int i = 0; i < 20; ++i) {
        ec.clear();
        fs::remove_all(dir, ec);
        if (!ec && !fs::exists(dir, ec))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (ec || fs::exists(dir, ec))
        std::fprintf(stderr, "could not remove %s: %s\n", dir.c_str(), ec.message().c_str());
}

} // namespace

int MailServers::runScript(const std::vector<std::string>& args, int timeoutMs) const {
    std::vector<std::string> env;
    for (std::string& v : environment()) {
        // Ports and account come from this object, never from the caller's shell.
        if (v.starts_with("POP3_PORT=") || v.starts_with("SMTP_PORT=") ||
            v.starts_with("POP3_USER=") || v.starts_with("POP3_PASS="))
            continue;
        env.push_back(std::move(v));
    }
    if (!OAuthMechanisms.empty())
        env.push_back("OAUTH_MECHANISMS=" + OAuthMechanisms);
    env.push_back("POP3_USER=" + user_);
    env.push_back("POP3_PASS=" + password_);
    return spawnScript(args, std::move(env), scriptOut(), timeoutMs);
}

std::string MailServers::fingerprint(const std::string& certificate) const {
    std::string text = readFile(tlsFile(certificate + ".sha256"));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

void MailServers::start(bool tls, const std::string& oauthUrl) {
    if (running_)
        return;
    if (geteuid() != 0)
        throw std::runtime_error("MailServers: the mail servers need root (Dovecot switches "
                                 "to the user mail)");
    const passwd* pw = getpwnam("mail");
    if (!pw)
        throw std::runtime_error("MailServers: the user mail does not exist");
    mailUid_ = pw->pw_uid;
    mailGid_ = pw->pw_gid;

    dir_ = makeTempDir("pbms");
    if (dir_.empty())
        throw std::runtime_error(std::string("MailServers: mkdtemp: ") + std::strerror(errno));

    std::vector<std::string> args{kScripts + "start-servers", "--random-ports", "--owner",
                                  std::to_string(getpid()), "--cleanup", dir_};
    if (tls)
        args.insert(args.begin() + 2, "--tls");
    if (!oauthUrl.empty())
        args.insert(args.begin() + 2, {"--oauth", oauthUrl});
    int rc = runScript(args, 20000);
    readPorts();
    if (rc != 0 || pop3Port_ <= 0 || smtpPort_ <= 0 || (tls && smtpsPort_ <= 0)) {
        std::string why = readFile(dir_ + "/script.out") + logTail();
        running_ = true;   // so that stop() cleans up whatever did start
        stop();
        throw std::runtime_error("MailServers: the servers did not start (exit " +
                                 std::to_string(rc) + "):\n" + why);
    }
    running_ = true;
    nextMail_ = nextNumber(mailFiles(pop3Maildir()));
}

void MailServers::readPorts() {
    const std::string env = readFile(dir_ + "/ports.env");
    auto value = [&](const std::string& key) {
        auto pos = env.find(key + "=");
        return pos == std::string::npos ? 0 : std::atoi(env.c_str() + pos + key.size() + 1);
    };
    pop3Port_ = value("POP3_PORT");
    smtpPort_ = value("SMTP_PORT");
    pop3sPort_ = value("POP3S_PORT");
    submissionPort_ = value("SUBMISSION_PORT");
    smtpsPort_ = value("SMTPS_PORT");
}

// One request to the SMTP sink's control socket, and its one-line answer ("" when it does
// not answer within 10 s).
std::string MailServers::sinkRequest(const std::string& line) const {
    const std::string path = dir_ + "/run/sink.ctl";
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        return "";
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return "";
    const timeval limit{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    std::string answer;
    const std::string request = line + "\n";
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        char c;
        while (::recv(fd, &c, 1, 0) == 1 && c != '\n')
            answer += c;
    }
    ::close(fd);
    return answer;
}

// PB_OWN_SERVERS=1 turns joining down, so that every test starts servers of its own: the way
// to rule out that tests meet through the shared servers, and to time the suite without them.
bool MailServers::join(const std::string& dir) {
    if (running_)
        return true;
    if (const char* own = std::getenv("PB_OWN_SERVERS"); own && *own == '1')
        return false;
    if (!fs::exists(dir + "/ports.env") || !fs::exists(dir + "/run/sink.ctl"))
        return false;
    const passwd* pw = getpwnam("mail");
    if (geteuid() != 0 || !pw)
        throw std::runtime_error("MailServers: joining the servers needs root and the user mail");
    mailUid_ = pw->pw_uid;
    mailGid_ = pw->pw_gid;
    dir_ = dir;
    readPorts();

    // A name no other account on these servers had: its home is made here or not at all.
    const std::string base = user_ + "-" + std::to_string(getpid()) + "-";
    for (int n = 0;; ++n) {
        user_ = base + std::to_string(n);
        if (::mkdir((dir_ + "/pop3/" + user_).c_str(), 0700) == 0)
            break;
        if (errno != EEXIST || n == 1000)
            throw std::runtime_error("MailServers: cannot make a home under " + dir_ + "/pop3: " +
                                     std::strerror(errno));
    }
    joined_ = true;
    running_ = true;   // from here on, stop() takes the account away again
    try {
        const std::string home = dir_ + "/pop3/" + user_;
        for (const std::string& d : {home, home + "/Maildir", home + "/Maildir/new",
                                     home + "/Maildir/cur", home + "/Maildir/tmp"}) {
            fs::create_directories(d);
            if (::chown(d.c_str(), mailUid_, mailGid_) != 0)
                throw std::runtime_error("MailServers: chown " + d + ": " + std::strerror(errno));
        }
        // Dovecot reads an account's file at its first login (start-servers names the folder).
        const std::string account = dir_ + "/etc/users/" + user_;
        std::ofstream(account + ".tmp") << user_ << ":{PLAIN}" << password_ << "::::::nodelay=y\n";
        fs::rename(account + ".tmp", account);

        const std::string answer = sinkRequest("open " + user_ + " " + user_ + ":" + password_);
        int smtp = 0, submission = 0, smtps = 0;
        if (std::sscanf(answer.c_str(), "ok %d %d %d", &smtp, &submission, &smtps) != 3 || smtp <= 0)
            throw std::runtime_error("MailServers: the SMTP sink under " + dir_ +
                                     " gave no room: " + (answer.empty() ? "no answer" : answer));
        smtpPort_ = smtp;
        submissionPort_ = submission;
        smtpsPort_ = smtps;
        std::error_code ec;
        logStart_ = fs::file_size(dir_ + "/log/dovecot.log", ec);
        if (ec)
            logStart_ = 0;
    } catch (...) {
        stop();
        throw;
    }
    nextMail_ = 1;
    return true;
}

// Takes a joined account away: its sink room closes, its login and its files go.
void MailServers::leave() noexcept {
    try {
        sinkRequest("close " + user_);
        std::error_code ec;
        fs::remove(dir_ + "/etc/users/" + user_, ec);
        removeServerDir(dir_ + "/pop3/" + user_);
        removeServerDir(smtpDir());
    } catch (...) {
        // Cleaning up must not end a test run; the test run's servers go with their folder.
    }
    joined_ = false;
}

void MailServers::stop() noexcept {
    if (!running_)
        return;
    running_ = false;
    if (joined_) {
        leave();
        pop3Port_ = smtpPort_ = pop3sPort_ = submissionPort_ = smtpsPort_ = 0;
        return;
    }
    try {
        runScript({kScripts + "stop-servers", dir_}, 15000);
        removeServerDir(dir_);
    } catch (...) {
        // Cleaning up must not end a test run; a left-over directory is harmless.
    }
    pop3Port_ = smtpPort_ = 0;
}

std::string MailServers::asServed(std::string_view raw) {
    std::string text = diskText(raw), out;
    out.reserve(text.size() + text.size() / 16);
    for (char c : text) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

void MailServers::storeMail(std::string_view raw) {
    std::string text = diskText(raw);
    std::size_t served = text.size() + std::count(text.begin(), text.end(), '\n');

    unsigned long n = nextMail_++;
    // S= and W= give the server the sizes without reading the file.
    std::string name = std::to_string(kBaseTime + n) + ".M0P" + std::to_string(getpid()) +
                       "Q" + std::to_string(n) + ".pbtest,S=" + std::to_string(text.size()) +
                       ",W=" + std::to_string(served);
    std::string tmp = pop3Maildir() + "/tmp/" + name;
    {
        std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
        f.write(text.data(), static_cast<std::streamsize>(text.size()));
        if (!f)
            throw std::runtime_error("MailServers: cannot write " + tmp);
    }
    if (chown(tmp.c_str(), mailUid_, mailGid_) != 0)
        throw std::runtime_error("MailServers: chown " + tmp + ": " + std::strerror(errno));
    std::error_code ec;
    fs::rename(tmp, pop3Maildir() + "/new/" + name, ec);
    if (ec)
        throw std::runtime_error("MailServers: cannot move " + tmp + ": " + ec.message());
}

void MailServers::addMail(std::string_view raw) {
    if (!running_)
        throw std::logic_error("MailServers::addMail before start()");
    storeMail(raw);
}

void MailServers::setMails(const std::vector<std::string>& raws) {
    clearMails();
    for (const auto& r : raws)
        storeMail(r);
}

void MailServers::clearMails() {
    if (!running_)
        throw std::logic_error("MailServers::clearMails before start()");
    std::error_code ec;
    const std::string md = pop3Maildir();
    for (const char* sub : {"/new", "/cur", "/tmp"})
        for (const auto& f : sortedFiles(md + sub))
            fs::remove(f, ec);
    // Index and UID list would otherwise keep the old mails' UIDLs. The UIDVALIDITY record
    // stays: the server then takes the next value, so the new mails' UIDLs differ from the
    // old ones even within the same second.
    for (const auto& f : sortedFiles(md)) {
        std::string name = f.filename().string();
        if (name.starts_with("dovecot") && !name.starts_with("dovecot-uidvalidity"))
            fs::remove(f, ec);
    }
    nextMail_ = 1;
}

void MailServers::makeMailbox(int count, int seed, const std::string& bigAttachment) {
    if (!running_)
        throw std::logic_error("MailServers::makeMailbox before start()");
    std::vector<std::string> args{kScripts + "make-mailbox"};
    if (bigAttachment.rfind("text:", 0) == 0) {
        args.push_back("--big-text");
        args.push_back(bigAttachment.substr(5));
    } else if (bigAttachment.rfind("html:", 0) == 0) {
        args.push_back("--big-html");
        args.push_back(bigAttachment.substr(5));
    } else if (!bigAttachment.empty()) {
        args.push_back("--big");
        args.push_back(bigAttachment);
    }
    args.insert(args.end(), {joined_ ? pop3Maildir() : dir_, std::to_string(count), std::to_string(seed)});
    int rc = runScript(args, 600000);
    if (rc != 0)
        throw std::runtime_error("MailServers: make-mailbox failed:\n" +
                                 lastLines(readFile(scriptOut()), 10));
    nextMail_ = nextNumber(mailFiles(pop3Maildir()));
}

std::size_t MailServers::pop3Count() const {
    return running_ ? mailFiles(pop3Maildir()).size() : 0;
}

std::vector<std::string> MailServers::pop3Mails() const {
    std::vector<std::string> out;
    if (!running_)
        return out;
    for (const auto& f : mailFiles(pop3Maildir())) {
        // What is on disk is already normalised: every LF becomes CRLF.
        std::string text = readFile(f), served;
        served.reserve(text.size() + text.size() / 16);
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
                served += '\r';
            served += text[i];
        }
        out.push_back(std::move(served));
    }
    return out;
}

std::vector<SmtpMail> MailServers::smtpReceived() const {
    std::vector<SmtpMail> out;
    if (!running_)
        return out;
    const std::string top = smtpDir();
    for (const auto& f : sortedFiles(top + "/Maildir/new")) {
        SmtpMail m;
        m.data = readFile(f);
        std::istringstream env(readFile(top + "/envelope/" + f.filename().string()));
        std::string line;
        while (std::getline(env, line)) {
            if (line.starts_with("HELO "))
                m.helo = line.substr(5);
            else if (line.starts_with("MAIL "))
                m.mailFrom = line.substr(5);
            else if (line.starts_with("RCPT "))
                m.rcptTo.push_back(line.substr(5));
        }
        out.push_back(std::move(m));
    }
    return out;
}

std::vector<std::string> MailServers::smtpSessions() const {
    std::vector<std::string> out;
    if (!running_)
        return out;
    for (const auto& f : sortedFiles(smtpDir() + "/sessions"))
        out.push_back(readFile(f));
    return out;
}

void MailServers::clearSmtp() {
    if (!running_)
        return;
    std::error_code ec;
    const std::string top = smtpDir();
    for (const char* sub : {"/Maildir/new", "/Maildir/cur", "/envelope", "/sessions"})
        for (const auto& f : sortedFiles(top + sub))
            fs::remove(f, ec);
}

std::string MailServers::logTail(int lines) const {
    std::string out;
    for (const char* log : {"/log/dovecot.log", "/log/smtp-sink.log"}) {
        fs::path p = dir_ + log;
        std::error_code ec;
        if (!fs::exists(p, ec))
            continue;
        std::string text = readFile(p);
        // A joined account's view of Dovecot's log starts when it joined.
        if (joined_ && p.filename() == "dovecot.log")
            text.erase(0, std::min<std::size_t>(logStart_, text.size()));
        out += "--- " + p.string() + "\n" + lastLines(text, lines);
    }
    return out;
}

// --- InteropServer ------------------------------------------------------------------------------

InteropServer::InteropServer(std::string kind) : kind_(std::move(kind)) {}

InteropServer::~InteropServer() { stop(); }

int InteropServer::run(const std::vector<std::string>& args, int timeoutMs) const {
    std::vector<std::string> full{kScripts + "interop-servers"};
    full.insert(full.end(), args.begin(), args.end());
    return spawnScript(full, environment(), dir_ + "/script.out", timeoutMs);
}

std::string InteropServer::start() {
    if (!dir_.empty())
        return "";
    dir_ = makeTempDir("pbio");
    if (dir_.empty())
        throw std::runtime_error(std::string("InteropServer: mkdtemp: ") + std::strerror(errno));
    ::chmod(dir_.c_str(), 0755);   // the servers' own users reach their files through it
    // The packages' pop3d binaries are kept beside the build, taken out once.
#ifdef PB_BIN_DIR
    const std::string packages = std::string(PB_BIN_DIR) + "/../interop";
#else
    const std::string packages = tempRoot() + "/pb-interop-packages";
#endif
    int rc = run({"fetch", packages}, 120000);
    if (rc == 0) {
        std::vector<std::string> args{"start", kind_, packages, dir_ + "/s", "--owner", std::to_string(getpid())};
        if (!OAuthUrl.empty())
            args.insert(args.end(), {"--oauth", OAuthUrl});
        rc = run(args, 60000);
    }
    env_ = readFile(dir_ + "/s/ports.env");
    const std::string output = readFile(dir_ + "/script.out");
    if (rc == 3) {
        stop();
        std::string why = output.substr(output.rfind("interop-servers: ") == std::string::npos
                                            ? 0 : output.rfind("interop-servers: ") + 17);
        while (!why.empty() && why.back() == '\n')
            why.pop_back();
        return why.empty() ? "interop-servers cannot run " + kind_ + " here" : why;
    }
    if (rc != 0 || env_.empty()) {
        std::string logs;
        std::error_code ec;
        for (const auto& f : sortedFiles(dir_ + "/s/log"))
            logs += "--- " + f.filename().string() + "\n" + lastLines(readFile(f), 20);
        stop();
        throw std::runtime_error("InteropServer: " + kind_ + " did not start (exit " +
                                 std::to_string(rc) + "):\n" + output + logs);
    }
    return "";
}

void InteropServer::stop() noexcept {
    if (dir_.empty())
        return;
    try {
        run({"stop", dir_ + "/s"}, 20000);
        removeServerDir(dir_);
    } catch (...) {
        // Cleaning up must not end a test run; a left-over directory is harmless.
    }
    dir_.clear();
    env_.clear();
}

int InteropServer::port(const std::string& key) const {
    const auto pos = env_.find("\n" + key + "=");
    return pos == std::string::npos ? 0 : std::atoi(env_.c_str() + pos + key.size() + 2);
}

void InteropServer::deliver(const std::vector<std::string>& raws) {
    std::vector<std::string> args{"deliver", dir_ + "/s"};
    for (std::size_t i = 0; i < raws.size(); ++i) {
        const std::string file = dir_ + "/mail" + std::to_string(i) + ".eml";
        std::ofstream(file, std::ios::binary) << diskText(raws[i]);
        args.push_back(file);
    }
    const int rc = run(args, 60000);
    if (rc != 0)
        throw std::runtime_error("InteropServer: delivery failed (exit " + std::to_string(rc) +
                                 "):\n" + readFile(dir_ + "/script.out"));
}

std::vector<std::string> InteropServer::delivered() const {
    std::vector<std::string> out;
    for (const auto& f : mailFiles(dir_ + "/s/box/Maildir"))
        out.push_back(readFile(f));
    return out;
}

} // namespace pb::test
