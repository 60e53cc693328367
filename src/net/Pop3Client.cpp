#include "net/Pop3Client.h"

#include "net/Streams.h"
#include "platform/MessageLoop.h"
#include "platform/PrivateFiles.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <unistd.h>

namespace pb {
namespace {

// The end of a multi-line answer: a lone dot. Every other line that starts with a dot came
// with a second dot in front, which POP3 asks the client to remove.
constexpr std::string_view EndOfMessage = ".\r\n";
// Longest header value kept.
constexpr std::size_t MaxValue = 256;
// How long an attachment's decoding runs at most before the window's messages are dispatched.
constexpr auto DecodeTurnInterval = std::chrono::milliseconds(10);

// The line without the line end it has: CR LF, or a bare LF.
std::string CutLineEnd(std::string line) {
    if (!line.empty() && line.back() == '\n') {
        line.pop_back();
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
    }
    return line;
}

std::string Unstuff(std::string line) {
    if (line.size() >= 2 && line[0] == '.' && line[1] == '.')
        line.erase(0, 1);
    return line;
}

// Characters of text from position `from` (1-based), at most `count`.
std::string CopyFrom(const std::string& text, std::size_t from, std::size_t count = std::string::npos) {
    if (from == 0 || from > text.size())
        return {};
    return text.substr(from - 1, count);
}

bool Contains(std::string_view text, std::string_view part) {
    return !part.empty() && text.find(part) != std::string_view::npos;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// A reply is positive when its first blank-separated field contains "+OK".
bool Positive(const std::string& reply) { return Contains(NthWord(reply, ' ', 1), "+OK"); }

// DELE asks for exactly "+OK" (the line end does not count).
bool ExactlyOK(const std::string& reply) { return NthWord(CutLineEnd(reply), ' ', 1) == "+OK"; }

// Blanks and control characters off both ends.
std::string Trim(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ')
        ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ')
        --e;
    return std::string(s.substr(b, e - b));
}

// A decimal number; anything else raises the standard conversion error.
int StrToInt(std::string_view text) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    std::int64_t value = 0;
    const std::size_t first = i;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > 0x80000000LL)
            break;
    }
    if (i == first || i != text.size() || value > (negative ? 0x80000000LL : 0x7FFFFFFFLL))
        throw EConvertError("'" + std::string(text) + "' is not a valid integer value");
    return static_cast<int>(negative ? -value : value);
}

int StrToIntDef(std::string_view text, int fallback) {
    try {
        return StrToInt(text);
    } catch (const EConvertError&) {
        return fallback;
    }
}

// Any name in the folder counts as taken, a link to nowhere included.
bool FileExists(const std::string& name) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(name, ec));
}

// The lines of a file, split at CR LF, LF or CR.
void LoadLines(const std::string& fileName, TStringList& lines) {
    std::ifstream in = openInputFile(fileName);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    lines.Clear();
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r' && text[i] != '\n')
            continue;
        lines.Add(text.substr(start, i - start));
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            ++i;
        start = i + 1;
    }
    if (start < text.size())
        lines.Add(text.substr(start));
}

// The name as it came in the mail, reduced to a bare file name: everything up to the last
// "/" or "\" goes (a name must never lead out of the attachment directory), and so do control
// characters.
std::string StripName(const std::string& name) {
    const std::size_t sep = name.find_last_of("/\\");
    std::string bare = sep == std::string::npos ? name : name.substr(sep + 1);
    std::string out;
    for (char c : bare)
        if (static_cast<unsigned char>(c) >= 32 && c != 127)
            out.push_back(c);
    return out;
}

} // namespace

void TMailMessage::Clear() {
    Head.Clear();
    Body.Clear();
    Attachments.Clear();
    Subject.clear();
    From.clear();
    MessageId.clear();
}

// --- TMessageParser ---------------------------------------------------------------------------

TMessageParser::TMessageParser(TUUProcessor& Coder, LineSource ReadLn, StatusSink Status)
    : coder_(Coder), readLn_(std::move(ReadLn)), status_(std::move(Status)) {}

std::string TMessageParser::SafeFileName(const std::string& Name) {
    std::string bare = StripName(Name);
    if (bare.empty() || bare == "." || bare == "..")
        return "text.tmp";
    // A name the file system cannot hold (over 255 bytes) would fail the mail, and the mails
    // after it with the connection. Unnamed parts after a named one add "_n" to the name each
    // time, so a name is cut well below that limit, keeping its extension.
    constexpr std::size_t MaxName = 100;
    if (bare.size() > MaxName) {
        const std::size_t dot = bare.find('.');
        const std::string ext = dot == std::string::npos ? "" : bare.substr(dot, 16);
        bare = bare.substr(0, std::min(dot, MaxName - ext.size())) + ext;
    }
    return harmlessFileName(bare);
}

void TMessageParser::Reset() {
    TransferEncoding.clear();
    Boundary.clear();
    AttachName.clear();
    SectionMode = 2;
}

// The next line of the mail, dot-stuffing undone. After the end-of-message line nothing more
// is read: the next bytes on the connection belong to the next answer.
std::string TMessageParser::NextLine() {
    if (ended_)
        return std::string(EndOfMessage);
    std::string line = readLn_();
    if (line == EndOfMessage) {
        ended_ = true;
        return line;
    }
    return Unstuff(std::move(line));
}

void TMessageParser::Parse(TMailMessage& Mail) {
    ended_ = false;
    ReadHeader(Mail);
    if (ended_)
        return;
    if (Contains(ContentType, "multipart")) {
        ReadMultipart(Mail);
    } else if (Contains(AnsiUpperCase(TransferEncoding), "BASE64")) {
        // The whole body is one encoded file; its decoded lines become the body text.
        SectionMode = 0;
        ReadSection(Mail, false);
        if (!Mail.Attachments.Empty())
            LoadLines(AttachFilePath + Mail.Attachments[0], Mail.Body);
    } else {
        // Not taken as multipart: boundary lines are text like any other, up to the end.
        ReadSection(Mail, false);
    }
}

void TMessageParser::ReadHeader(TMailMessage& Mail) {
    while (!ended_) {
        const std::string raw = NextLine();
        if (ended_)
            break;   // a header cut off by the end of the mail
        const std::string line = CutLineEnd(raw);
        if (SectionMode == 2)
            Mail.Head.Add(line);
        if (line.empty())
            break;

        const std::string field = AnsiUpperCase(NthWord(line, ' ', 1));
        if (field == "SUBJECT:")
            Mail.Subject = CopyFrom(line, 9, MaxValue);
        else if (field == "FROM:")
            Mail.From = CopyFrom(line, 7, MaxValue);
        else if (field == "CONTENT-TYPE:")
            ContentType = CopyFrom(line, 15, MaxValue);
        else if (field == "MESSAGE-ID:")
            Mail.MessageId = CopyFrom(line, 13, MaxValue);

        const std::string upper = AnsiUpperCase(line);
        if (const std::size_t at = upper.find("BOUNDARY="); at != std::string::npos) {
            const std::string value = line.substr(at + 9, MaxValue);
            Boundary = !value.empty() && value[0] == '"' ? NthWord(value, '"', 2) : value;
        }
        if (Contains(upper, "CONTENT-TRANSFER-ENCODING"))
            TransferEncoding = CopyFrom(line, 28, MaxValue);
        if (Contains(upper, "FILENAME") || Contains(upper, "NAME"))
            AttachName = NthWord(line, '"', 2);
    }
    if (SectionMode == 2)
        SectionMode = 1;
}

bool TMessageParser::ReadSection(TMailMessage& Mail, bool useBoundary) {
    std::ofstream temp;
    if (SectionMode == 0) {
        if (!tempName_.empty())   // left by a part that failed
            ::unlink(tempName_.c_str());
        temp = createTempFile(AttachFilePath + "Temp.mme", tempName_);
        Mail.Body.Add("\r\nFile \"" + StripName(AttachName) + "\" extracted");
    }
    if (status_)
        status_(1, "Extracting file");

    std::string ending;
    while (!ended_) {
        std::string line = NextLine();
        if (ended_)
            break;
        if (useBoundary && Contains(line, Boundary)) {
            ending = CutLineEnd(std::move(line));
            break;
        }
        if (SectionMode > 0) {
            Mail.Body.Add(CutLineEnd(std::move(line)));
        } else if (!temp.write(line.data(), static_cast<std::streamsize>(line.size()))) {
            throw EStreamError("Stream write error");
        }
    }

    if (SectionMode == 0) {
        temp.close();
        if (temp.fail())
            throw EStreamError("Stream write error");
        SaveAttachment(Mail);
    }
    SectionMode = 0;
    return ending.size() >= 2 && ending.compare(ending.size() - 2, 2, "--") == 0;
}

void TMessageParser::SaveAttachment(TMailMessage& Mail) {
    AttachName = SafeFileName(AttachName);
    const std::string base = NthWord(AttachName, '.', 1);
    const std::string ext = NthWord(AttachName, '.', 2);
    if (FileExists(AttachFilePath + AttachName)) {
        // The first free suffix from 1 on. Suffixes found taken earlier in this session are not
        // tried again: with thousands of unnamed parts (text_1.tmp, text_2.tmp, ...) in one
        // folder, trying them all for every part cost more than receiving the mails.
        int& n = freeSuffix_[{AttachFilePath, base, ext}];
        n = std::max(n, 1);
        for (;; ++n) {
            AttachName = base + "_" + std::to_string(n) + "." + ext;
            if (!FileExists(AttachFilePath + AttachName))
                break;
        }
    }
    Mail.Attachments.Add(AttachName);

    // The raw part goes once the attachment is saved, whatever happens.
    struct Remove {
        std::string& name;
        ~Remove() {
            if (!name.empty())
                ::unlink(name.c_str());
            name.clear();
        }
    } removeTemp{tempName_};
    const std::string tempName = tempName_;
    const std::string target = AttachFilePath + AttachName;
    if (Contains(TransferEncoding, "base64") || Contains(TransferEncoding, "Base64") ||
        Contains(TransferEncoding, "X-UUENCODE")) {
        std::ifstream source = openInputFile(tempName);
        std::ofstream decoded = createOutputFile(target);
        coder_.Method = Contains(TransferEncoding, "X-UUENCODE") ? UUMethods::uuCode : UUMethods::uuMime;
        if (status_)
            status_(1, "Decoding file");
        struct Detach {
            TUUProcessor& c;
            TUUProcessor::TNotifyEvent progress;
            ~Detach() { c.SourceStream = nullptr, c.TargetStream = nullptr, c.OnProgress = std::move(progress); }
        } detach{coder_, coder_.OnProgress};
        coder_.SourceStream = &source;
        coder_.TargetStream = &decoded;
        // A large attachment takes a while to decode: the window goes on handling its messages
        // meanwhile (timers, "Abbrechen"), every few milliseconds rather than at every window
        // of the coder. A cancel lets the decode finish; the next read of the mail ends it.
        auto lastTurn = std::chrono::steady_clock::now();
        coder_.OnProgress = [&lastTurn, &own = detach.progress](TUUProcessor& sender) {
            if (own)
                own(sender);
            if (std::chrono::steady_clock::now() - lastTurn >= DecodeTurnInterval) {
                processMessages();
                lastTurn = std::chrono::steady_clock::now();
            }
        };
        if (source.peek() != std::char_traits<char>::eof())
            coder_.Decode();
        decoded.close();
        if (decoded.fail())
            throw EStreamError("Stream write error");
        return;
    }
    std::error_code ec;
    std::filesystem::rename(tempName, target, ec);
    if (!ec)
        tempName_.clear();   // it is the attachment now
    if (ec)
        throw EInOutError("Cannot rename \"" + tempName + "\" to \"" + target + "\". " + ec.message());
}

void TMessageParser::ReadMultipart(TMailMessage& Mail) {
    // Preamble: up to the first boundary line.
    while (!ended_) {
        const std::string line = NextLine();
        if (ended_ || Contains(line, Boundary))
            break;
    }
    // Parts, until the closing delimiter (or the end of the mail, when it never comes).
    while (!ended_) {
        ReadHeader(Mail);
        if (ended_ || ReadSection(Mail, true))
            break;
    }
    // Epilogue.
    while (!ended_)
        NextLine();
}

bool ValidUniqueId(std::string_view Id) {
    // Longest id a server may give (RFC 1939).
    constexpr std::size_t MaxUniqueId = 70;
    return !Id.empty() && Id.size() <= MaxUniqueId &&
           std::all_of(Id.begin(), Id.end(), [](char c) { return c > ' ' && c < 127; });
}

// --- TPop3Client --------------------------------------------------------------------------------

namespace {
class BusyScope {
public:
    explicit BusyScope(bool& busy) : busy_(busy) { busy_ = true; }
    ~BusyScope() { busy_ = false; }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    bool& busy_;
};
} // namespace

TPop3Client::TPop3Client(QObject* owner)
    : TAsyncSocket(owner),
      parser_(UUProcessor,
              [this] {
                  std::string line = ReadLn();
                  retrievedBytes_ += static_cast<std::int64_t>(line.size());
                  if (OnRetrieveProgress)
                      OnRetrieveProgress(this);
                  return line;
              },
              [this](int level, const std::string& text) { StatusMessage(level, text); }) {
    Port = 110;
    // A read notification while canceled: drop the connection without QUIT and forget what
    // had arrived, so a canceled session is never reused.
    OnAbortRead = [this](QObject*) {
        TAsyncSocket::Disconnect();
        InBuffer.Clear();
    };
}

TPop3Client::~TPop3Client() = default;

bool TPop3Client::CheckLoginReply(const std::string& Reply, int& Attempts) {
    if (Positive(Reply))
        return true;
    if (Attempts > 0 || !OnAuthenticationFailed)
        throw Exception("Authentication failed");
    bool handled = false;
    OnAuthenticationFailed(handled);
    if (!handled)
        throw Exception("Authentication failed");
    ++Attempts;
    return false;
}

void TPop3Client::Connect() {
    for (int asked = 0; Password.empty() || UserID.empty(); ++asked) {
        if (!OnAuthenticationNeeded)
            throw Exception("Authentication failed");
        if (asked > 0)
            break;   // asked once: go on with what there is
        bool handled = false;
        OnAuthenticationNeeded(handled);
        if (!handled)
            throw Exception("Authentication failed");
    }

    const bool wasBusy = busy_;
    busy_ = true;
    bool loggedIn = false;
    auto finish = [&] {
        if (!wasBusy)
            busy_ = false;
        if (loggedIn && OnConnect)
            OnConnect(this);
    };
    try {
        TAsyncSocket::Connect();
        requested_ = 0;
        listedSizes_.clear();
        parser_.ForgetTakenNames();
        try {
            if (Security == TSecurity::Implicit)
                StartTls();
            const std::string greeting = ReadLn();
            if (!Positive(greeting))
                throw Exception(greeting);
            if (Security == TSecurity::StartTls) {
                const std::string reply = Transaction("STLS");
                if (!Positive(reply))
                    throw Exception("STLS refused: " + reply);
                StartTls();
            }

            int attempts = 0;
            for (;;) {
                bool ok = false;
                if (CheckLoginReply(Transaction("USER " + UserID), attempts))
                    ok = CheckLoginReply(Transaction("PASS " + Password), attempts);
                if (ok)
                    break;
            }
            loggedIn = true;

            const std::string stat = Transaction("STAT");
            if (!Positive(stat))
                throw Exception(stat);
            MailCount = StrToIntDef(Trim(NthWord(stat, ' ', 2)), 0);
        } catch (...) {
            try {
                Disconnect();
            } catch (...) {
                // The first failure is the one to report.
            }
            throw;
        }
    } catch (...) {
        finish();
        throw;
    }
    finish();
}

void TPop3Client::Disconnect() {
    if (!Connected())
        return;
    std::string reply;
    try {
        reply = Transaction("QUIT");
    } catch (...) {
        TAsyncSocket::Disconnect();
        throw;
    }
    TAsyncSocket::Disconnect();
    if (!Positive(reply))
        throw Exception(reply);
}

void TPop3Client::Abort() {
    if (Canceled() || !Connected())
        return;
    if (busy_) {
        Cancel();
    } else {
        TAsyncSocket::Disconnect();
        InBuffer.Clear();
    }
}

void TPop3Client::List() {
    if (busy_)
        return;
    BusyScope busy(busy_);
    RequireConnection();
    const std::string reply = Transaction("LIST ");
    // A refusal is followed by no listing: waiting for one would never end.
    if (!Positive(reply))
        throw Exception(reply);
    for (;;) {
        const std::string line = CutLineEnd(ReadLn());
        if (line == ".")
            break;
        if (OnList) {
            const int size = StrToInt(NthWord(line, ' ', 2));
            const int msg = StrToInt(NthWord(line, ' ', 1));
            listedSizes_[msg] = size;
            OnList(msg, size);
        }
    }
}

bool TPop3Client::ListUniqueIds(std::map<int, std::string>& Ids) {
    Ids.clear();
    if (busy_)
        return false;
    BusyScope busy(busy_);
    RequireConnection();
    if (!Positive(Transaction("UIDL")))
        return false;
    for (;;) {
        const std::string line = CutLineEnd(ReadLn());
        if (line == ".")
            break;
        const std::string id = NthWord(line, ' ', 2);
        const int msg = StrToIntDef(NthWord(line, ' ', 1), 0);
        if (msg <= 0 || !ValidUniqueId(id))
            throw Exception("Invalid UIDL line: " + line);
        Ids[msg] = id;
    }
    return true;
}

void TPop3Client::GetSummary(int MailNumber) {
    if (busy_)
        return;
    BusyScope busy(busy_);
    RequireConnection();
    if (OnRetrieveStart)
        OnRetrieveStart(this);

    const std::string reply = Transaction("TOP " + std::to_string(MailNumber) + " 0");
    if (!Positive(reply))
        throw Exception(reply);
    Summary.Header.Clear();
    Summary.Subject.clear();
    Summary.From.clear();
    Summary.MessageId.clear();

    for (;;) {
        const std::string raw = ReadLn();
        const bool last = raw == EndOfMessage;
        const std::string line = last ? raw : Unstuff(raw);
        const std::string cut = CutLineEnd(line);
        if (StartsWith(line, "Subject:"))
            Summary.Subject = CopyFrom(cut, 9);
        else if (StartsWith(line, "From:"))
            Summary.From = CopyFrom(cut, 6);
        else if (StartsWith(line, "Message-ID:"))
            Summary.MessageId = CopyFrom(line, 13, MaxValue);
        Summary.Header.Add(cut);
        if (last)
            break;
    }

    const std::string size = Transaction("LIST " + std::to_string(MailNumber));
    Summary.Bytes = StrToInt(Trim(NthWord(size, ' ', 3)));
    StatusMessage(1, "Summary Retrieved");
    if (OnRetrieveEnd)
        OnRetrieveEnd(this);
}

void TPop3Client::GetMailMessage(int MailNumber) {
    if (busy_)
        return;
    BusyScope busy(busy_);
    RequireConnection();
    if (OnRetrieveStart)
        OnRetrieveStart(this);
    try {
        parser_.AttachFilePath = AttachFilePath;
        parser_.Reset();
        std::string reply;
        if (requested_ == MailNumber && requested_ != 0) {
            requested_ = 0;
            reply = ReadReply();
        } else {
            reply = Transaction("RETR " + std::to_string(MailNumber));
        }
        if (!Positive(reply))
            throw Exception(reply);
        parser_.ContentType.clear();
        MailMessage.Clear();
        retrievedBytes_ = 0;
        if (const auto listed = listedSizes_.find(MailNumber); listed != listedSizes_.end())
            SetMailDeadline(listed->second);
        parser_.Parse(MailMessage);
        ClearMailDeadline();
        if (DeleteOnRead) {
            const std::string dele = Transaction("DELE " + std::to_string(MailNumber));
            if (!ExactlyOK(dele))
                throw Exception(dele);
        }
        StatusMessage(1, "Message Retrieved");
    } catch (...) {
        ClearMailDeadline();
        if (OnRetrieveEnd)
            OnRetrieveEnd(this);
        throw;
    }
    if (OnRetrieveEnd)
        OnRetrieveEnd(this);
}

void TPop3Client::RequestMailMessage(int MailNumber) {
    if (MailNumber <= 0 || busy_ || requested_ != 0 || !Connected() || Canceled())
        return;
    requested_ = MailNumber;
    Writeln("RETR " + std::to_string(MailNumber));
}

std::string TPop3Client::Transaction(const std::string& Command) {
    DiscardRequested();
    return TAsyncSocket::Transaction(Command);
}

void TPop3Client::DiscardRequested() {
    if (requested_ == 0)
        return;
    requested_ = 0;
    if (!Positive(ReadReply()))
        return;
    while (ReadLn() != EndOfMessage) {
    }
}

void TPop3Client::DeleteMailMessage(int MailNumber) {
    if (busy_)
        return;
    bool deleted = false;
    {
        BusyScope busy(busy_);
        RequireConnection();
        const std::string reply = Transaction("DELE " + std::to_string(MailNumber));
        if (!ExactlyOK(reply)) {
            if (OnFailure)
                OnFailure(this);
            throw Exception(reply);
        }
        deleted = true;
    }
    if (deleted && OnSuccess)
        OnSuccess(this);
}

} // namespace pb
