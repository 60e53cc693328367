#include "mail/Config.h"

#include "platform/Exceptions.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace pb {
namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Splits the file's bytes into lines; CR LF, LF and a lone CR all end a line.
std::vector<std::string> splitLines(const std::string& data) {
    std::vector<std::string> lines;
    std::string cur;
    bool open = false;
    for (std::size_t i = 0; i < data.size(); ++i) {
        char c = data[i];
        if (c == '\r' || c == '\n') {
            lines.push_back(cur);
            cur.clear();
            open = false;
            if (c == '\r' && i + 1 < data.size() && data[i + 1] == '\n')
                ++i;
        } else {
            cur.push_back(c);
            open = true;
        }
    }
    if (open)
        lines.push_back(cur);
    return lines;
}

std::string systemError(const std::string& what, const std::string& path, int err) {
    return what + " " + path + ": " + std::strerror(err);
}

// A text value must stay on its own line, or every later value would shift by one.
std::string oneLine(const std::string& value) {
    std::string out = value;
    for (char& c : out)
        if (c == '\r' || c == '\n')
            c = ' ';
    return out;
}

void writeAll(int fd, const std::string& data, const std::string& path) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw EInOutError(systemError("Cannot write", path, errno));
        }
        done += static_cast<std::size_t>(n);
    }
}

std::string readFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw EInOutError(systemError("Cannot read", path, errno));
    std::string data;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int err = errno; // EISDIR for a directory of that name
            ::close(fd);
            throw EInOutError(systemError("Cannot read", path, err));
        }
        if (n == 0)
            break;
        data.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return data;
}

} // namespace

bool TryStrToInt(std::string_view text, std::int32_t& value) {
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    int base = 10;
    if (i < text.size() && text[i] == '$') {
        base = 16;
        ++i;
    } else if (i < text.size() && (text[i] == 'x' || text[i] == 'X')) {
        base = 16;
        ++i;
    } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= text.size())
        return false;
    // Decimal values must fit a signed 32-bit integer; hexadecimal ones may use all 32 bits
    // (so "$FFFFFFFF" is -1), as the runtime's conversion always allowed.
    const std::uint64_t limit = base == 16 ? 0xFFFFFFFFull
                                           : (negative ? 0x80000000ull : 0x7FFFFFFFull);
    std::uint64_t acc = 0;
    for (; i < text.size(); ++i) {
        int d = base == 16 ? hexDigit(text[i]) : (text[i] >= '0' && text[i] <= '9' ? text[i] - '0' : -1);
        if (d < 0)
            return false;
        acc = acc * static_cast<unsigned>(base) + static_cast<unsigned>(d);
        if (acc > limit)
            return false;
    }
    auto bits = static_cast<std::uint32_t>(acc);
    if (negative)
        bits = 0u - bits;
    value = static_cast<std::int32_t>(bits);
    return true;
}

std::int32_t StrToInt(std::string_view text) {
    std::int32_t v = 0;
    if (!TryStrToInt(text, v))
        throw EConvertError("'" + std::string(text) + "' is not a valid integer value");
    return v;
}

void ReadConfig(TSettings& settings, const std::string& path) {
    const std::vector<std::string> lines = splitLines(readFile(path));
    auto text = [&](std::size_t n) -> std::string { return n <= lines.size() ? lines[n - 1] : std::string(); };
    // A port line: its first word is the number, the rest of the line is ignored. A file that
    // ends before the line gives 0; a line that is there but holds no number is an error.
    auto port = [&](std::size_t n) -> std::int32_t {
        if (n > lines.size())
            return 0;
        const std::string& line = lines[n - 1];
        std::size_t b = line.find_first_not_of(" \t");
        std::size_t e = b == std::string::npos ? b : line.find_first_of(" \t", b);
        std::string word = b == std::string::npos ? std::string() : line.substr(b, e - b);
        std::int32_t v = 0;
        if (!TryStrToInt(word, v))
            throw EInOutError("Invalid numeric input in " + path + ", line " + std::to_string(n) +
                              ": \"" + line + "\" is not a port number");
        return v;
    };

    settings.SMTPServer = text(1);
    settings.SMTPPort = port(2);
    settings.SMTPEmail = text(3);
    settings.SMTPLogin = text(4);
    settings.StripInitials = text(5) == "1";
    settings.POP3Server = text(6);
    settings.POP3Port = port(7);
    settings.POP3User = text(8);
    settings.POP3Password = text(9);
    settings.DeleteFromServer = text(10) == "1";
    auto security = [&](std::size_t n) -> std::int32_t {
        if (n > lines.size() || lines[n - 1].empty())
            return 0;
        const std::string& line = lines[n - 1];
        if (line != "0" && line != "1" && line != "2")
            throw EInOutError("Invalid security mode in " + path + ", line " + std::to_string(n) +
                              ": \"" + line + "\"");
        return line[0] - '0';
    };
    settings.POP3Security = security(11);
    settings.SMTPSecurity = security(12);
    settings.SMTPAuth = text(13) == "1";
    settings.SMTPUser = text(14);
    settings.SMTPPassword = text(15);
    const std::string place = text(16);
    settings.SecretPlace = place == "1"   ? TSettings::TSecretPlace::Keyring
                           : place == "0" ? TSettings::TSecretPlace::File
                                          : TSettings::TSecretPlace::Unchosen;
    // Lines 17 to 36: how each server is logged in to. A value this version does not know
    // means its default (the password, Google), as a missing line does: the file of a later
    // version still opens.
    auto choice = [&](std::size_t n, std::int32_t highest) -> std::int32_t {
        const std::string line = text(n);
        return line.size() == 1 && line[0] >= '0' && line[0] <= '0' + highest ? line[0] - '0' : 0;
    };
    auto tokenLogin = [&](std::size_t first, TTokenLogin& login) {
        login.Method = static_cast<TLoginMethod>(choice(first, 2));
        login.Preset = static_cast<TOAuthPreset>(choice(first + 1, 2));
        login.AuthorizeUrl = text(first + 2);
        login.TokenUrl = text(first + 3);
        login.Scope = text(first + 4);
        login.ClientId = text(first + 5);
        login.ClientSecret = text(first + 6);
        login.RefreshToken = text(first + 7);
        login.Command = text(first + 8);
        login.SignedInAs = text(first + 9);
    };
    tokenLogin(17, settings.POP3TokenLogin);
    tokenLogin(27, settings.SMTPTokenLogin);
}

// Lines 17 to 26 (POP3) or 27 to 36 (SMTP): one token login. The secrets (client secret,
// refresh token) are secret fields like the passwords of lines 9 and 15 (kSecretFields).
static void appendTokenLogin(std::vector<std::string>& lines, const TTokenLogin& l) {
    lines.insert(lines.end(), {std::to_string(static_cast<int>(l.Method)), std::to_string(static_cast<int>(l.Preset)),
                               oneLine(l.AuthorizeUrl), oneLine(l.TokenUrl), oneLine(l.Scope), oneLine(l.ClientId),
                               oneLine(l.ClientSecret), oneLine(l.RefreshToken), oneLine(l.Command),
                               oneLine(l.SignedInAs)});
}

// Writes `data` as the new file at `path`: aside in the same directory, then renamed over it.
static void writeFileAside(const std::string& data, const std::string& path);

void WriteConfig(const TSettings& s, const std::string& path) {
    std::vector<std::string> lines{
        oneLine(s.SMTPServer), std::to_string(s.SMTPPort), oneLine(s.SMTPEmail), oneLine(s.SMTPLogin),
        std::string(s.StripInitials ? "1" : "0"), oneLine(s.POP3Server), std::to_string(s.POP3Port),
        oneLine(s.POP3User), oneLine(s.POP3Password), std::string(s.DeleteFromServer ? "1" : "0")};
    // Without security settings the file stays the ten lines every earlier version wrote, and
    // without a choice of the passwords' place or a token login the fifteen of the version before.
    const bool tokens = s.POP3TokenLogin != TTokenLogin{} || s.SMTPTokenLogin != TTokenLogin{};
    const bool chosen = s.SecretPlace != TSettings::TSecretPlace::Unchosen;
    const bool secured = tokens || chosen || s.POP3Security != 0 || s.SMTPSecurity != 0 || s.SMTPAuth ||
                         !s.SMTPUser.empty() || !s.SMTPPassword.empty();
    if (secured)
        lines.insert(lines.end(), {std::to_string(s.POP3Security), std::to_string(s.SMTPSecurity),
                                   std::string(s.SMTPAuth ? "1" : "0"), oneLine(s.SMTPUser),
                                   oneLine(s.SMTPPassword)});
    // An empty line 16 reads as "not chosen", as a missing one does.
    if (chosen || tokens)
        lines.push_back(!chosen ? "" : s.SecretPlace == TSettings::TSecretPlace::Keyring ? "1" : "0");
    if (tokens) {
        appendTokenLogin(lines, s.POP3TokenLogin);
        appendTokenLogin(lines, s.SMTPTokenLogin);
    }
    std::string data;
    for (const std::string& line : lines)
        data += line + "\r\n";
    writeFileAside(data, path);
}

static void writeFileAside(const std::string& data, const std::string& path) {
    // Write aside in the same directory, then rename: a crash mid-write leaves the old file.
    std::string tmpl = path + ".XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    int fd = ::mkstemp(name.data()); // mode 0600: the password stays the owner's
    if (fd < 0)
        throw EInOutError(systemError("Cannot write", path, errno));
    const std::string tmp(name.data());
    try {
        writeAll(fd, data, path);
        if (::fchmod(fd, S_IRUSR | S_IWUSR) != 0 || ::fsync(fd) != 0)
            throw EInOutError(systemError("Cannot write", path, errno));
        if (::close(fd) != 0) {
            fd = -1;
            throw EInOutError(systemError("Cannot write", path, errno));
        }
        fd = -1;
        if (::rename(tmp.c_str(), path.c_str()) != 0)
            throw EInOutError(systemError("Cannot write", path, errno));
    } catch (...) {
        if (fd >= 0)
            ::close(fd);
        ::unlink(tmp.c_str());
        throw;
    }
}

} // namespace pb

namespace pb {

TTrustList ReadTrustList(const std::string& path) {
    TTrustList list;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 && errno == ENOENT)
        return list;
    for (const std::string& line : splitLines(readFile(path))) {
        const std::size_t a = line.find(' ');
        const std::size_t b = a == std::string::npos ? a : line.find(' ', a + 1);
        if (b == std::string::npos)
            continue;
        TTrustedCertificate entry;
        entry.Host = line.substr(0, a);
        entry.Fingerprint = line.substr(b + 1);
        if (entry.Host.empty() || entry.Fingerprint.size() != 64 ||
            !TryStrToInt(line.substr(a + 1, b - a - 1), entry.Port))
            continue;
        list.push_back(entry);
    }
    return list;
}

void WriteTrustList(const TTrustList& list, const std::string& path) {
    std::string data;
    for (const TTrustedCertificate& e : list)
        data += oneLine(e.Host) + " " + std::to_string(e.Port) + " " + e.Fingerprint + "\n";
    writeFileAside(data, path);
}

std::string GroupedFingerprint(const std::string& hex) {
    if (hex.empty() || hex.size() % 2 != 0 ||
        !std::all_of(hex.begin(), hex.end(), [](char c) { return hexDigit(c) >= 0; }))
        return hex;
    constexpr std::size_t BytesPerLine = 16;
    std::string out;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        if (i > 0)
            out += (i / 2) % BytesPerLine == 0 ? '\n' : ':';
        for (char c : {hex[i], hex[i + 1]})
            out += static_cast<char>(c >= 'a' && c <= 'f' ? c - 'a' + 'A' : c);
    }
    return out;
}

std::string TrustedFingerprint(const TTrustList& list, const std::string& host, std::int32_t port) {
    for (const TTrustedCertificate& e : list)
        if (e.Host == host && e.Port == port)
            return e.Fingerprint;
    return {};
}

void TrustCertificate(const std::string& host, std::int32_t port, const std::string& fingerprint,
                      const std::string& path) {
    TTrustList list = ReadTrustList(path);
    std::erase_if(list, [&](const TTrustedCertificate& e) { return e.Host == host && e.Port == port; });
    list.push_back({host, port, fingerprint});
    WriteTrustList(list, path);
}

} // namespace pb
