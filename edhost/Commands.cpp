#include "Commands.h"

#include "platform/AnsiText.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>

namespace pb::edhost {
namespace {

// The flag word of a message that the user wrote and that waits to be sent.
constexpr std::uint16_t kOutgoingFlags = 0x0840;

CommandResult fail(const std::string& text, int code = 2) { return {code, "", "edhost: " + text + "\n"}; }

// Option values after the positional arguments: --name VALUE.
struct Args {
    std::vector<std::string> pos;
    std::vector<std::pair<std::string, std::string>> opts;
    std::vector<std::string> flags;   // options without a value
    bool has(const std::string& f) const {
        for (const auto& x : flags)
            if (x == f)
                return true;
        return false;
    }
    const std::string* opt(const std::string& name) const {
        for (const auto& [k, v] : opts)
            if (k == name)
                return &v;
        return nullptr;
    }
};

Args parse(const std::vector<std::string>& a, const std::vector<std::string>& valueOpts) {
    Args out;
    for (std::size_t i = 1; i < a.size(); ++i) {
        const std::string& s = a[i];
        if (s.rfind("--", 0) == 0) {
            bool takesValue = false;
            for (const auto& v : valueOpts)
                takesValue = takesValue || v == s;
            if (takesValue && i + 1 < a.size())
                out.opts.emplace_back(s, a[++i]);
            else
                out.flags.push_back(s);
        } else {
            out.pos.push_back(s);
        }
    }
    return out;
}

bool parseNumber(const std::string& s, long long& v) {
    if (s.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    v = std::strtoll(s.c_str(), &end, 0);
    return errno == 0 && end && *end == 0;
}

std::string hex(unsigned v, int width) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%0*X", width, v);
    return buf;
}

std::string addr(const TFidoAddr& a) {
    return std::to_string(a.zone) + ":" + std::to_string(a.net) + "/" + std::to_string(a.node) +
           "." + std::to_string(a.point);
}

std::string when(std::int64_t t) {
    std::time_t tt = static_cast<std::time_t>(t);
    std::tm tm{};
    gmtime_r(&tt, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return buf;
}

// The text for a terminal: CR LF and lone CR end lines, a kludge line's SOH shows as '@',
// other control bytes as ^X.
std::string readable(const std::string& text) {
    std::string out;
    bool lineStart = true;
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\r') {
            out += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
            lineStart = true;
            continue;
        }
        if (c == '\n') {
            out += '\n';
            lineStart = true;
            continue;
        }
        if (c == 1 && lineStart)
            out += '@';
        else if (c < 0x20 && c != '\t')
            out += "^" + std::string(1, static_cast<char>(c + 64));
        else
            out += static_cast<char>(c);
        lineStart = false;
    }
    if (!out.empty() && out.back() != '\n')
        out += '\n';
    return toUtf8(out);
}

std::string hexDump(const std::string& bytes, std::size_t base) {
    std::string out;
    for (std::size_t off = 0; off < bytes.size(); off += 16) {
        out += hex(static_cast<unsigned>(base + off), 8) + "  ";
        std::string chars;
        for (std::size_t k = 0; k < 16; ++k) {
            if (off + k < bytes.size()) {
                unsigned char c = static_cast<unsigned char>(bytes[off + k]);
                out += hex(c, 2) + " ";
                chars += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
            } else {
                out += "   ";
            }
        }
        out += " " + chars + "\n";
    }
    return out;
}

// Finds the area and message named by pos[0], pos[1].
struct Target {
    std::size_t area = 0;
    std::optional<StoredMessage> msg;
};

CommandResult findTarget(const Args& a, MessageStore& store, Target& t, bool needMessage) {
    if (a.pos.empty())
        return fail("name an area");
    auto area = store.findArea(ansi(a.pos[0]));
    if (!area)
        return fail("no area " + a.pos[0], 1);
    t.area = *area;
    if (!needMessage)
        return {};
    long long n = 0;
    if (a.pos.size() < 2 || !parseNumber(a.pos[1], n))
        return fail("name a message number");
    if (n > 0 && n <= 0xFFFFFFFFLL)
        t.msg = store.message(t.area, static_cast<std::uint32_t>(n));
    if (!t.msg)
        return fail("no message " + a.pos[1] + " in " + a.pos[0], 1);
    return {};
}

CommandResult cmdAreas(MessageStore& store) {
    CommandResult r;
    auto areas = store.areas();
    for (std::size_t i = 0; i < areas.size(); ++i) {
        char line[600];
        std::snprintf(line, sizeof line, "%-16s %-10s code %3u %6u message(s)\n",
                      toUtf8(areas[i].Name).c_str(), toUtf8(areas[i].Type).c_str(), areas[i].Code,
                      store.messageCount(i));
        r.out += line;
    }
    return r;
}

CommandResult cmdList(const Args& a, MessageStore& store) {
    Target t;
    if (auto r = findTarget(a, store, t, false); r.code)
        return r;
    CommandResult r;
    for (std::uint32_t i = 1; i <= store.messageCount(t.area); ++i) {
        const MessageInfo* m = store.info(t.area, i);
        const auto& h = m->Header;
        r.out += std::to_string(i) + "  " + hex(m->Flags, 4) + "  " + toUtf8(h.FromUserName.str()) +
                 "  ->  " + toUtf8(h.ToUserName.str()) + "  " + toUtf8(h.Subject.str()) + "\n";
    }
    return r;
}

CommandResult cmdShow(const Args& a, MessageStore& store) {
    Target t;
    if (auto r = findTarget(a, store, t, true); r.code)
        return r;
    const auto& h = t.msg->Header();
    CommandResult r;
    r.out = "Number:  " + std::to_string(t.msg->Number) + "\n" +
            "Flags:   " + hex(t.msg->Flags, 4) + "\n" +
            "From:    " + toUtf8(h.FromUserName.str()) + " (" + addr(h.Addr1) + ")\n" +
            "To:      " + toUtf8(h.ToUserName.str()) + " (" + addr(h.Addr2) + ")\n" +
            "Subject: " + toUtf8(h.Subject.str()) + "\n" +
            "Aux:     " + toUtf8(h.AuxText.str()) + "\n" +
            "Written: " + when(t.msg->Written) + "\n" +
            "Size:    " + std::to_string(h.Size) + "\n\n" + readable(t.msg->Text());
    return r;
}

CommandResult cmdDump(const Args& a, MessageStore& store) {
    Target t;
    if (auto r = findTarget(a, store, t, true); r.code)
        return r;
    CommandResult r;
    if (a.has("--raw")) {
        r.out = t.msg->Record;
        return r;
    }
    const std::string& rec = t.msg->Record;
    r.out = "header (" + std::to_string(sizeof(TNewMsgHeader)) + " bytes):\n" +
            hexDump(rec.substr(0, sizeof(TNewMsgHeader)), 0) + "text (" +
            std::to_string(rec.size() - sizeof(TNewMsgHeader)) + " bytes, NUL included):\n" +
            hexDump(rec.substr(sizeof(TNewMsgHeader)), sizeof(TNewMsgHeader));
    return r;
}

CommandResult cmdWrite(const Args& a, MessageStore& store, bool remote) {
    Target t;
    if (auto r = findTarget(a, store, t, false); r.code)
        return r;
    const std::string* from = a.opt("--from");
    const std::string* to = a.opt("--to");
    const std::string* subject = a.opt("--subject");
    if (!from || !to || !subject)
        return fail("write needs --from NAME --to NAME --subject TEXT");
    std::string body;
    if (const std::string* file = a.opt("--text-file")) {
        if (remote)
            return fail("--text-file is read by the edhost that is given it, not by the serving host");
        std::string error;
        if (!readTextFile(*file, body, error))
            return fail(error);
    } else if (const std::string* text = a.opt("--text")) {
        body = *text;
    }
    for (const auto& [k, v] : a.opts)   // each --to-line gives one "To:" line at the top
        if (k == "--to-line")
            body = "To: " + v + "\n" + body;
    std::string text = ansi(outgoingText(body, static_cast<std::uint32_t>(std::time(nullptr))));
    std::string record(sizeof(TNewMsgHeader), '\0');
    auto* h = reinterpret_cast<TNewMsgHeader*>(record.data());
    h->ToUserName.assign(ansi(*to));
    h->FromUserName.assign(ansi(*from));
    h->Subject.assign(ansi(*subject));
    h->Flags = kOutgoingFlags;
    if (sizeof(TNewMsgHeader) + text.size() + 1 > kMaxRecordSize)
        return fail("the text is larger than a message may be");
    h->Size = static_cast<std::int32_t>(sizeof(TNewMsgHeader) + text.size() + 1);
    record += text;
    record.push_back('\0');
    try {
        std::uint32_t n = store.addMessage(t.area, std::move(record));
        return {0, "stored as message " + std::to_string(n) + " in " + a.pos[0] + "\n", ""};
    } catch (const StoreError& e) {
        return fail(e.what(), 1);
    }
}

CommandResult cmdFlags(const Args& a, MessageStore& store) {
    Target t;
    if (auto r = findTarget(a, store, t, true); r.code)
        return r;
    if (a.pos.size() >= 3) {
        long long v = 0;
        if (!parseNumber(a.pos[2], v) || v < 0 || v > 0xFFFF)
            return fail("a flag word is 0 .. 0xFFFF");
        try {
            store.setFlags(t.area, t.msg->Number, static_cast<std::uint16_t>(v));
        } catch (const StoreError& e) {
            return fail(e.what(), 1);
        }
    }
    return {0, "0x" + hex(t.msg->Flags, 4) + "\n", ""};
}

CommandResult cmdFault(const Args& a, HostServer& server) {
    CommandResult r;
    if (a.has("--clear")) {
        server.answerOnce.clear();
        server.stopAnswering = false;
        server.dieAfter = 0;
    }
    if (a.has("--stop-answering"))
        server.stopAnswering = true;
    if (a.has("--resume"))
        server.stopAnswering = false;
    if (const std::string* v = a.opt("--die-after")) {
        long long m = 0;
        if (!parseNumber(*v, m))
            return fail("--die-after takes a message number");
        server.dieAfter = static_cast<std::uint32_t>(m);
    }
    if (const std::string* v = a.opt("--refuse-attach"))
        server.options.refuseAttach = *v == "on" || *v == "1" || *v == "yes";
    if (const std::string* v = a.opt("--api-version")) {
        long long n = 0;
        if (!parseNumber(*v, n))
            return fail("--api-version takes a number");
        server.options.apiVersion = static_cast<std::int32_t>(n);
    }
    // --post MSG: a host command MSG (lParam 7) to every attached plug-in, in the order given.
    for (const auto& [k, v] : a.opts) {
        long long m = 0;
        if (k != "--post")
            continue;
        if (!parseNumber(v, m))
            return fail("--post takes a message number");
        server.postToWorkers(static_cast<std::uint32_t>(m), 7);
    }
    // --answer CMD STATUS: the next command CMD is answered with STATUS instead of being run.
    if (a.pos.size() % 2 != 0)
        return fail("fault --answer takes CMD STATUS");
    for (std::size_t i = 0; i < a.pos.size(); i += 2) {
        long long cmd = 0, status = 0;
        if (!parseNumber(a.pos[i], cmd) || !parseNumber(a.pos[i + 1], status))
            return fail("fault --answer takes CMD STATUS");
        server.answerOnce[static_cast<std::uint32_t>(cmd)] =
            static_cast<std::int32_t>(static_cast<std::uint32_t>(status));
    }
    r.out = server.statusText();
    return r;
}

} // namespace

bool readTextFile(const std::string& path, std::string& text, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    text.clear();
    char buf[65536];
    while (in.read(buf, sizeof buf) || in.gcount() > 0) {
        text.append(buf, static_cast<std::size_t>(in.gcount()));
        if (text.size() > kMaxRecordSize) {
            error = path + " is larger than a message may be";
            return false;
        }
    }
    if (in.bad()) {
        error = "cannot read " + path;
        return false;
    }
    return true;
}

std::string outgoingText(const std::string& body, std::uint32_t serial) {
    std::string text = "\x01MSGID: 0:0/0 " + hex(serial, 8) + "\r\n";
    for (std::size_t i = 0; i < body.size(); ++i) {
        char c = body[i];
        if (c == '\r') {
            if (i + 1 < body.size() && body[i + 1] == '\n')
                ++i;
            text += "\r\n";
        } else if (c == '\n') {
            text += "\r\n";
        } else {
            text += c;
        }
    }
    return text;
}

CommandResult runCommand(const std::vector<std::string>& args, MessageStore& store,
                         HostServer* server) {
    if (args.empty())
        return fail("no command");
    const std::string& cmd = args[0];
    Args a = parse(args, {"--from", "--to", "--subject", "--text-file", "--text", "--to-line",
                          "--refuse-attach", "--api-version", "--post", "--die-after"});
    if (cmd == "areas")
        return cmdAreas(store);
    if (cmd == "list")
        return cmdList(a, store);
    if (cmd == "show")
        return cmdShow(a, store);
    if (cmd == "dump")
        return cmdDump(a, store);
    if (cmd == "write")
        return cmdWrite(a, store, server != nullptr);
    if (cmd == "flags")
        return cmdFlags(a, store);
    if (cmd == "status") {
        if (!server)
            return {3, "not serving\n" + cmdAreas(store).out, ""};
        return {0, server->statusText(), ""};
    }
    if (cmd == "disconnect" || cmd == "fault") {
        if (!server)
            return fail("no host serves this base", 3);
        if (cmd == "disconnect") {
            server->disconnectAll();
            return {0, "connections ended\n", ""};
        }
        return cmdFault(a, *server);
    }
    return fail("unknown command " + cmd);
}

} // namespace pb::edhost
