#include "net/Pop3Client.h"

#include "mime/MimeText.h"
#include "platform/AnsiText.h"
#include "platform/FlagScope.h"
#include "platform/Fnv1a.h"
#include "platform/MessageBoxes.h"
#include "platform/MessageLoop.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

namespace pb {
namespace {

// Longest header value kept.
constexpr std::size_t MaxValue = 256;

bool Contains(std::string_view text, std::string_view part) {
    return !part.empty() && text.find(part) != std::string_view::npos;
}

// The next line of a listing, its line end cut; false after the last.
bool NextListingLine(TMultiLineReader& answer, std::string& line) {
    bool cut = false;
    if (!answer.NextLine(line, cut))
        return false;
    line.resize(WithoutLineEnd(line).size());
    return true;
}

// The header lines a summary keeps: far more than any real header, bounded against a server
// that sends header lines without end.
constexpr std::size_t MaxSummaryHeader = 4u << 20;

// A reply is positive when its first blank-separated field contains "+OK".
bool Positive(const std::string& reply) { return Contains(NthWord(reply, ' ', 1), "+OK"); }

// DELE asks for exactly "+OK" (the line end does not count).
bool ExactlyOK(const std::string& reply) { return NthWord(CutLineEnd(reply), ' ', 1) == "+OK"; }

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

// The server's refusal of `command` (its name alone: an argument may be the password).
[[noreturn]] void Refused(const std::string& reply, const std::string& command) {
    throw ERefused(reply, command, CutLineEnd(reply));
}

int StrToIntDef(std::string_view text, int fallback) {
    try {
        return StrToInt(text);
    } catch (const EConvertError&) {
        return fallback;
    }
}

// A listing line as the log may show it: control characters and bytes above ASCII become
// "?", and a long line is cut.
std::string Printable(std::string_view line) {
    constexpr std::size_t Shown = 100;
    std::string out(line.substr(0, Shown));
    for (char& c : out)
        if (static_cast<unsigned char>(c) < ' ' || static_cast<unsigned char>(c) > '~')
            c = '?';
    if (line.size() > Shown)
        out += "...";
    return out;
}

// CAPA lines looked at; a server listing more has nothing a client needs in the rest.
constexpr int MaxCapabilityLines = 100;

// The capability a CAPA line names: its first word, upper case.
std::string CapabilityName(const std::string& line) {
    std::string name = NthWord(line, ' ', 1);
    for (char& c : name)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return name;
}

} // namespace

bool ValidUniqueId(std::string_view Id) {
    // Longest id a server may give (RFC 1939).
    constexpr std::size_t MaxUniqueId = 70;
    return !Id.empty() && Id.size() <= MaxUniqueId &&
           std::all_of(Id.begin(), Id.end(), [](char c) { return c > ' ' && c < 127; });
}

// --- TPop3Client --------------------------------------------------------------------------------

TPop3Client::TPop3Client(QObject* owner)
    : TAsyncSocket(owner),
      mailLines_([this](std::string& line, std::size_t max) {
          ReadLn(line, max);
          const bool first = retrievedBytes_ == 0;
          const std::int64_t step = retrievedBytes_ / ProgressStep;
          retrievedBytes_ += static_cast<std::int64_t>(line.size());
          if (OnRetrieveProgress && (first || retrievedBytes_ / ProgressStep != step))
              OnRetrieveProgress(this);
      }) {
    Port = 110;
    // Like every wait of the component, a long decode keeps the message loop turning, and the
    // coder's complaints are shown as boxes, unless the owner handles both itself.
    OnDecodeTurn = [] { processMessages(); };
    UUProcessor.OnWarning = [](const std::string& text) { showMessage(text); };
    // A read notification while canceled: drop the connection without QUIT, so a canceled
    // session is never reused.
    OnAbortRead = [this](QObject*) { DropConnection(); };
}

TMultiLineReader TPop3Client::Answer() {
    return TMultiLineReader([this](std::string& line, std::size_t max) { ReadLn(line, max); });
}

TPop3Client::~TPop3Client() = default;

bool TPop3Client::CheckLoginReply(const std::string& Reply, const char* Command, int& Attempts) {
    if (Positive(Reply))
        return true;
    const auto refused = [&] { throw ELoginRefused("Authentication failed", Command, CutLineEnd(Reply)); };
    if (Attempts > 0 || !OnAuthenticationFailed)
        refused();
    bool handled = false;
    OnAuthenticationFailed(handled);
    if (!handled)
        refused();
    ++Attempts;
    return false;
}

TPop3Capabilities TPop3Client::AskCapabilities() {
    TPop3Capabilities caps;
    // A server without CAPA refuses it and is used as before.
    if (!Positive(Transaction("CAPA")))
        return caps;
    caps.Answered = true;
    TMultiLineReader answer = Answer();
    std::string line;
    for (int lines = 0; NextListingLine(answer, line); ++lines) {
        if (lines >= MaxCapabilityLines)
            continue;
        const std::string name = CapabilityName(line);
        if (name == "STLS")
            caps.Stls = true;
        else if (name == "UTF8")
            caps.Utf8 = true;
        else if (name == "PIPELINING")
            caps.Pipelining = true;
        else if (name == "SASL")
            for (int n = 2; n < 40 && !NthWord(line, ' ', n).empty(); ++n)
                caps.Sasl.push_back(NthWord(line, ' ', n));
    }
    return caps;
}

void TPop3Client::Connect() {
    const bool bearer = AuthMethod == TAuthMethod::Bearer;
    // A token is as good as a password to whoever reads it on the way.
    if (bearer && Security == TSecurity::None)
        throw Exception("Token without TLS");
    for (int asked = 0; (!bearer && Password.empty()) || UserID.empty(); ++asked) {
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
        ForgetAsked();
        listedSizes_.clear();
        if (Assembly)
            Assembly->NewSession();
        try {
            if (Security == TSecurity::Implicit)
                StartTls();
            const std::string greeting = ReadReply();
            if (!Positive(greeting))
                Refused(greeting, {});
            Utf8Mode = false;
            Capabilities = AskCapabilities();
            if (Security == TSecurity::StartTls) {
                // A server that lists its capabilities without STLS cannot protect the login.
                if (Capabilities.Answered && !Capabilities.Stls)
                    throw ENotOffered("STLS refused: not offered in CAPA", "STLS", "CAPA", {});
                const std::string reply = Transaction("STLS");
                if (!Positive(reply))
                    throw ERefused("STLS refused: " + reply, "STLS", CutLineEnd(reply));
                StartTls();
                // What the server offers may change once the connection is protected.
                Capabilities = AskCapabilities();
            }
            // Raw UTF-8 header lines arrive unchanged only once UTF8 is accepted; a refusal
            // leaves the session as it was.
            if (Capabilities.Utf8)
                Utf8Mode = Positive(Transaction("UTF8"));

            int attempts = 0;
            if (bearer)
                LoginWithToken();
            while (!bearer) {
                bool ok = false;
                // User name and password are kept in Windows-1252; a UTF8 session takes UTF-8.
                const auto login = [this](const std::string& text) {
                    return Utf8Mode ? Windows1252ToUtf8(text) : text;
                };
                if (CheckLoginReply(Transaction("USER " + login(UserID)), "USER", attempts))
                    ok = CheckLoginReply(Transaction("PASS " + login(Password)), "PASS", attempts);
                if (ok)
                    break;
            }
            loggedIn = true;

            const std::string stat = Transaction("STAT");
            if (!Positive(stat))
                Refused(stat, "STAT");
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

// AUTH (RFC 5034) with the token after the server's "+": a token is longer than the 255
// octets an initial response may make of the AUTH line. A refused token is asked for once more.
void TPop3Client::LoginWithToken() {
    const TBearerMechanism mechanism = ChooseBearerMechanism(Capabilities.Sasl);
    if (mechanism == TBearerMechanism::None) {
        std::string offered;
        for (const std::string& m : Capabilities.Sasl)
            offered += (offered.empty() ? "SASL " : " ") + m;
        throw ENotOffered("No AUTH OAUTHBEARER or XOAUTH2", "AUTH", "CAPA", offered);
    }
    if (!OnBearerToken)
        throw Exception("Authentication failed");
    const std::string name = BearerMechanismName(mechanism);
    const std::string user = Utf8Mode ? Windows1252ToUtf8(UserID) : UserID;
    for (bool renew = false;; renew = true) {
        const std::string token = OnBearerToken(renew);
        if (token.empty())
            throw Exception("Authentication failed");
        const std::string response = BearerResponse(mechanism, user, token, Host, Port);
        std::string reply = Transaction("AUTH " + name);
        if (!reply.starts_with("+"))
            throw ELoginRefused("Authentication failed", "AUTH", CutLineEnd(reply));
        Writeln(response);
        reply = ReadReply();
        std::string detail;
        if (reply.starts_with("+ ") || CutLineEnd(reply) == "+") {
            // The server's reason comes as a challenge; the exchange must still be ended.
            detail = BearerRefusalDetail(Trim(CutLineEnd(reply).substr(1)));
            Writeln(BearerAbortLine(mechanism));
            reply = ReadReply();
        }
        if (Positive(reply))
            return;
        if (renew)
            throw EBearerRefused("Authentication failed", "AUTH", CutLineEnd(reply), detail);
    }
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
        Refused(reply, "QUIT");
}

void TPop3Client::Abort() {
    if (Canceled() || !Connected())
        return;
    if (busy_)
        Cancel();
    else
        DropConnection();
    ForgetAsked();
}

void TPop3Client::List() {
    if (busy_)
        return;
    TFlagScope busy(busy_);
    RequireConnection();
    const std::string reply = Transaction("LIST");
    // A refusal is followed by no listing: waiting for one would never end.
    if (!Positive(reply))
        Refused(reply, "LIST");
    ListingLog.clear();
    TMultiLineReader answer = Answer();
    for (std::string line; NextListingLine(answer, line);) {
        // A line that names no mail costs only that mail: the others are still listed.
        const int size = StrToIntDef(NthWord(line, ' ', 2), -1);
        const int msg = StrToIntDef(NthWord(line, ' ', 1), 0);
        if (msg <= 0 || size < 0) {
            ListingLog.push_back(ansi("POP3 Unbrauchbare Zeile der Mailliste übergangen: ") + Printable(line));
            continue;
        }
        // The listed size sets the mail's time limit whether or not anyone listens.
        listedSizes_[msg] = size;
        if (OnList)
            OnList(msg, size);
    }
}

bool TPop3Client::ListUniqueIds(std::map<int, std::string>& Ids) {
    Ids.clear();
    if (busy_)
        return false;
    TFlagScope busy(busy_);
    RequireConnection();
    ListingLog.clear();
    if (!Positive(Transaction("UIDL")))
        return false;
    std::set<std::string> substitutes;
    TMultiLineReader answer = Answer();
    for (std::string line; NextListingLine(answer, line);) {
        const std::string number = NthWord(line, ' ', 1);
        const int msg = StrToIntDef(number, 0);
        if (msg <= 0 || Ids.count(msg)) {
            ListingLog.push_back(ansi("POP3 Unbrauchbare Zeile der Kennungsliste übergangen: ") + Printable(line));
            continue;
        }
        std::string id = NthWord(line, ' ', 2);
        if (!ValidUniqueId(id)) {
            // Known by what the line says after its number, which stays with the mail when
            // others are deleted; two alike in one listing are told apart by their order.
            const std::string_view rest = std::string_view(line).substr(std::min(line.size(), number.size() + 1));
            std::uint64_t h = Fnv1a(rest);
            for (int k = 1;; ++k) {
                char text[18];
                std::snprintf(text, sizeof text, "~%016llx", static_cast<unsigned long long>(h));
                id = text;
                if (substitutes.insert(id).second)
                    break;
                h = Fnv1a("#" + std::to_string(k), h);
            }
            ListingLog.push_back(ansi("POP3 Unbrauchbare Kennung von Mail ") + std::to_string(msg) + ", sie gilt als " +
                                 id + ": " + Printable(line));
        }
        Ids[msg] = id;
    }
    return true;
}

void TPop3Client::GetSummary(int MailNumber) {
    if (busy_)
        return;
    TFlagScope busy(busy_);
    RequireConnection();
    if (OnRetrieveStart)
        OnRetrieveStart(this);

    const std::string reply = Transaction("TOP " + std::to_string(MailNumber) + " 0");
    if (!Positive(reply))
        Refused(reply, "TOP");
    Summary.Header.Clear();
    Summary.Subject.clear();
    Summary.From.clear();
    Summary.MessageId.clear();

    // What a summary keeps of the header is bounded; the rest of it is read and passed over.
    std::size_t kept = 0;
    TMultiLineReader answer = Answer();
    bool cut = false;
    for (std::string line; answer.NextLine(line, cut);) {
        if (kept > MaxSummaryHeader)
            continue;
        kept += line.size();
        const std::string bare = CutLineEnd(line);
        if (line.starts_with("Subject:"))
            Summary.Subject = CopyFrom(bare, 9);
        else if (line.starts_with("From:"))
            Summary.From = CopyFrom(bare, 6);
        else if (line.starts_with("Message-ID:"))
            Summary.MessageId = CopyFrom(line, 13, MaxValue);
        Summary.Header.Add(bare);
    }
    Summary.Header.Add(".");

    const std::string size = Transaction("LIST " + std::to_string(MailNumber));
    Summary.Bytes = StrToInt(Trim(NthWord(size, ' ', 3)));
    StatusMessage(1, "Summary Retrieved");
    if (OnRetrieveEnd)
        OnRetrieveEnd(this);
}

void TPop3Client::GetMailMessage(int MailNumber) {
    if (busy_)
        return;
    TFlagScope busy(busy_);
    // Nothing goes out without a place for the mail: the session stays in step.
    if (!Assembly)
        throw Exception("POP3: Keine Verarbeitung der abgeholten Nachrichten eingerichtet");
    RequireConnection();
    if (OnRetrieveStart)
        OnRetrieveStart(this);
    try {
        // DELE answers due before the mail's are handed on; the mail's own answer is taken when
        // it was asked for next, otherwise whatever else was asked is read past first.
        TakeDueDeletions();
        std::string reply;
        if (!asked_.empty() && asked_.front().Msg == MailNumber) {
            PopAsked();
            reply = ReadReply();
        } else {
            reply = Transaction("RETR " + std::to_string(MailNumber));
        }
        if (!Positive(reply))
            Refused(reply, "RETR");
        MailMessage.Clear();
        retrievedBytes_ = 0;
        ListedDeadline(MailNumber);
        ReadMail();
        ClearMailDeadline();
        if (DeleteOnRead) {
            const std::string dele = Transaction("DELE " + std::to_string(MailNumber));
            if (!ExactlyOK(dele))
                Refused(dele, "DELE");
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

void TPop3Client::ReadMail() {
    TMimeReader reader(*Assembly);
    Assembly->Begin(
        MailMessage, AttachFilePath, UUProcessor,
        [this](int level, const std::string& text) { StatusMessage(level, text); }, OnDecodeTurn);
    mailLines_.Begin();
    try {
        for (std::string piece; mailLines_.NextPiece(piece);)
            reader.Feed(piece);
    } catch (...) {
        // Ended inside the mail: what is left of it, and the answers behind it, would be
        // taken for the answers to come. The session cannot go on.
        if (!mailLines_.Ended()) {
            DropConnection();
            ForgetAsked();
        }
        // What had arrived of the text is kept; a failure in keeping it does not hide this one.
        try {
            reader.Abandon();
        } catch (...) {
        }
        throw;
    }
    reader.End();
}

void TPop3Client::GetRawMessage(int MailNumber, int Fd, std::string& From, std::string& To, std::string& Subject) {
    if (busy_)
        return;
    TFlagScope busy(busy_);
    RequireConnection();
    From.clear();
    To.clear();
    Subject.clear();
    const std::pair<std::string*, std::string_view> wanted[] = {{&From, "from:"}, {&To, "to:"}, {&Subject, "subject:"}};
    std::string out;
    auto flush = [&](bool sync) {
        for (std::size_t done = 0; done < out.size();) {
            const ssize_t n = ::write(Fd, out.data() + done, out.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                throw EInOutError(n < 0 ? std::strerror(errno) : "Disk full");
            done += static_cast<std::size_t>(n);
        }
        out.clear();
        if (sync && ::fsync(Fd) != 0)
            throw EInOutError(std::strerror(errno));
    };
    try {
        const std::string reply = Transaction("RETR " + std::to_string(MailNumber));
        if (!Positive(reply))
            Refused(reply, "RETR");
        ListedDeadline(MailNumber);
        bool inHeader = true;
        std::string* field = nullptr;   // the header value being continued
        TMultiLineReader answer = Answer();
        for (std::string piece; answer.NextPiece(piece);) {
            if (answer.PieceStartsLine() && inHeader) {
                const std::string line = CutLineEnd(piece);
                auto value = [&](std::size_t at) { return line.substr(std::min(at, line.size()), MaxValue); };
                if (line.empty()) {
                    inHeader = false;
                } else if ((line[0] == ' ' || line[0] == '\t') && field) {
                    *field = (*field + line).substr(0, MaxValue);
                } else {
                    field = nullptr;
                    for (const auto& [target, name] : wanted)
                        if (target->empty() && AsciiLower(line.substr(0, name.size())) == name) {
                            field = &(*target = value(name.size()));
                            break;
                        }
                }
            }
            out += piece;
            if (out.size() >= (1u << 20))
                flush(false);
        }
        ClearMailDeadline();
        flush(true);
    } catch (...) {
        ClearMailDeadline();
        throw;
    }
}

std::int64_t TPop3Client::ListedSize(int MailNumber) const {
    const auto listed = listedSizes_.find(MailNumber);
    return listed != listedSizes_.end() ? listed->second : 0;
}

void TPop3Client::RequestMailMessage(int MailNumber) {
    if (MailNumber <= 0 || busy_ || !Connected() || Canceled() || (askedMails_ > 0 && !Capabilities.Pipelining))
        return;
    asked_.push_back({MailNumber, false});
    ++askedMails_;
    askedBytes_ += ListedSize(MailNumber);
    Writeln("RETR " + std::to_string(MailNumber));
}

void TPop3Client::RequestDeletion(int MailNumber) {
    if (busy_)
        return;
    TFlagScope busy(busy_);
    RequireConnection();
    if (!Capabilities.Pipelining) {
        DeletionAnswered(MailNumber, Transaction("DELE " + std::to_string(MailNumber)));
        return;
    }
    asked_.push_back({MailNumber, true});
    Writeln("DELE " + std::to_string(MailNumber));
}

void TPop3Client::DeletionAnswered(int MailNumber, const std::string& Reply) {
    if (!OnDeletionAnswered)
        return;
    if (ExactlyOK(Reply)) {
        OnDeletionAnswered(MailNumber, nullptr);
    } else {
        const ERefused refusal(Reply, "DELE", CutLineEnd(Reply));
        OnDeletionAnswered(MailNumber, &refusal);
    }
}

void TPop3Client::TakeAnswers() {
    if (busy_ || asked_.empty() || !Connected())
        return;
    TFlagScope busy(busy_);
    DiscardRequested();
}

void TPop3Client::TakeDeletionAnswers() {
    if (busy_ || asked_.empty() || !asked_.front().Dele || !Connected())
        return;
    TFlagScope busy(busy_);
    TakeDueDeletions();
}

void TPop3Client::TakeDueDeletions() {
    while (!asked_.empty() && asked_.front().Dele)
        TakeAsked();
}

std::string TPop3Client::Transaction(const std::string& Command) {
    DiscardRequested();
    return TAsyncSocket::Transaction(Command);
}

void TPop3Client::DiscardRequested() {
    while (!asked_.empty())
        TakeAsked();
}

TPop3Client::TAsked TPop3Client::PopAsked() {
    const TAsked head = asked_.front();
    asked_.pop_front();
    if (!head.Dele) {
        --askedMails_;
        askedBytes_ -= ListedSize(head.Msg);
    }
    return head;
}

void TPop3Client::ListedDeadline(int MailNumber) {
    if (const auto listed = listedSizes_.find(MailNumber); listed != listedSizes_.end())
        SetMailDeadline(listed->second);
}

void TPop3Client::TakeAsked() {
    const TAsked head = PopAsked();
    try {
        if (head.Dele) {
            DeletionAnswered(head.Msg, ReadReply());
            return;
        }
        if (!Positive(ReadReply()))
            return;
        ListedDeadline(head.Msg);
        Answer().SkipRest();
        ClearMailDeadline();
    } catch (...) {
        // The connection is gone or canceled (a read fails no other way): no answer is due.
        ClearMailDeadline();
        ForgetAsked();
        throw;
    }
}

void TPop3Client::ForgetAsked() {
    asked_.clear();
    askedMails_ = 0;
    askedBytes_ = 0;
}

void TPop3Client::DeleteMailMessage(int MailNumber) {
    if (busy_)
        return;
    bool deleted = false;
    {
        TFlagScope busy(busy_);
        RequireConnection();
        const std::string reply = Transaction("DELE " + std::to_string(MailNumber));
        if (!ExactlyOK(reply)) {
            if (OnFailure)
                OnFailure(this);
            Refused(reply, "DELE");
        }
        deleted = true;
    }
    if (deleted && OnSuccess)
        OnSuccess(this);
}

} // namespace pb
