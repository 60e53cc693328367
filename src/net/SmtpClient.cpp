#include "net/SmtpClient.h"

#include "mime/MimeText.h"
#include "platform/AnsiText.h"
#include "platform/FlagScope.h"
#include "platform/Streams.h"

#include <QLocale>
#include <QTime>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <fstream>

namespace pb {

namespace {

const std::string CRLF = "\r\n";

// The single-part line: "charset" starts in column 50, as it always has in this header.
const std::string TextPlainLine =
    "Content-Type: text/plain;" + std::string(24, ' ') + "charset=us-ascii";
const std::string Utf8TextLine = "Content-Type: text/plain; charset=utf-8";
const std::string QuotedPrintableLine = "Content-Transfer-Encoding: quoted-printable";
const std::string MultipartLine =
    "Content-Type: multipart/mixed;" + std::string(19, ' ') + "boundary=";
const std::string PartTypeLine =
    "Content-Type: application/octet-stream;" + std::string(10, ' ') + "name=";
const std::string PartDispositionLine =
    "Content-Disposition: attachment;" + std::string(17, ' ') + "filename=";

// A header line may not be longer than this (without its CR LF); longer recipient lines are
// folded after a comma so that the server neither refuses nor breaks them.
constexpr std::size_t MaxHeaderLine = 998;

// A reply line continues when it begins with a blank or has "-" after its number.
bool IsContinuation(const std::string& line) {
    return (!line.empty() && line[0] == ' ') || (line.size() >= 4 && line[3] == '-');
}

// A reply line that decides must begin with a three-digit number: "250 OK", "354", not
// "-ERR" (a POP3 server) or "2500".
bool HasReplyNumber(const std::string& line) {
    auto digit = [&](std::size_t i) { return i < line.size() && line[i] >= '0' && line[i] <= '9'; };
    return digit(0) && digit(1) && digit(2) && !digit(3);
}

// The most Write sends of one text; a pipelined group that would be longer goes in pieces.
constexpr std::size_t MaxWrite = 16385;

// A server that keeps sending continuation lines is not answering.
constexpr std::size_t MaxReplyLines = 100;

// The words after the number of each EHLO line ("250-AUTH PLAIN LOGIN" -> "AUTH", "PLAIN",
// "LOGIN"), upper-cased; an old-style "AUTH=LOGIN" counts as "AUTH LOGIN".
std::vector<std::string> Keywords(const std::string& line) {
    std::vector<std::string> words;
    if (line.size() <= 4)
        return words;
    std::string text = AnsiUpperCase(line.substr(4));
    std::replace_if(text.begin(), text.end(), [](char c) { return c == '=' || c == '\r' || c == '\n'; }, ' ');
    std::istringstream in(text);
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

bool Offers(const std::vector<std::string>& ehlo, const std::string& extension, const std::string& argument = {}) {
    for (const std::string& line : ehlo) {
        const std::vector<std::string> words = Keywords(line);
        if (words.empty() || words[0] != extension)
            continue;
        if (argument.empty() || std::find(words.begin() + 1, words.end(), argument) != words.end())
            return true;
    }
    return false;
}

std::string Base64(const std::string& bytes) {
    std::istringstream source(bytes);
    std::ostringstream target;
    TUUProcessor coder;
    coder.Method = UUMethods::uuMime;
    coder.SourceStream = &source;
    coder.TargetStream = &target;
    coder.Encode();
    std::string text = target.str();
    std::erase_if(text, [](char c) { return c == '\r' || c == '\n'; });
    return text;
}

// CR, LF or NUL inside a command argument would end the command early and let the rest be
// read as a command of its own.
bool BreaksCommand(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// Appends `text` as mail text: with dot transparency (a line that begins with "." gets one
// more in front) and with CR LF as the only line end. A lone LF or CR inside the text would be
// a line end to some servers and none to others, so one of them could take a "." after it for
// the end of the data; made a CR LF, it starts a line that every server reads alike.
void AppendTransparent(std::string& out, std::string_view text) {
    std::size_t start = 0;
    for (;;) {
        if (start < text.size() && text[start] == '.')
            out += '.';
        const std::size_t brk = text.find_first_of("\r\n", start);
        if (brk == std::string_view::npos) {
            out.append(text.substr(start));
            return;
        }
        out.append(text.substr(start, brk - start));
        out += CRLF;
        start = brk + 1;
        if (text[brk] == '\r' && start < text.size() && text[start] == '\n')
            ++start;
    }
}

// "To: a,b,c": the entries joined by a comma without blank; a line that would grow beyond the
// limit continues on a folded line (CR LF and a blank) after the comma.
std::string AddressLine(const std::string& prefix, const TStringList& entries) {
    std::string line = prefix;
    std::size_t lineStart = 0;
    for (int i = 0; i < entries.Count(); ++i) {
        const std::string& entry = entries[i];
        if (i > 0) {
            line += ',';
            // Room for the entry and for the comma that may follow it.
            if (line.size() - lineStart + entry.size() + 1 > MaxHeaderLine) {
                line += "\r\n ";
                lineStart = line.size() - 1;
            }
        }
        line += entry;
    }
    return line;
}

// A display name (with the blank that ends it, if any) as encoded words when it is not 7-bit.
std::string EncodedName(const std::string& name, std::size_t usedOnLine) {
    if (!HasEightBit(name))
        return name;
    std::string_view bare = name;
    while (!bare.empty() && bare.back() == ' ')
        bare.remove_suffix(1);
    return EncodeHeaderWords(bare, usedOnLine) + std::string(name.size() - bare.size(), ' ');
}

// Recipient entries with their display names as encoded words where needed; the address in
// angle brackets stays as it is.
TStringList EncodedEntries(const TStringList& entries) {
    TStringList out;
    for (const std::string& entry : entries) {
        const std::size_t lt = entry.find('<');
        if (lt == std::string::npos || !HasEightBit(entry.substr(0, lt)))
            out.Add(entry);
        else
            out.Add(EncodedName(entry.substr(0, lt), 4) + entry.substr(lt));
    }
    return out;
}

// The name of the file without its directory, usable inside a quoted header parameter.
std::string PartName(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::replace_if(name.begin(), name.end(),
                    [](char c) { return c == '\r' || c == '\n' || c == '"'; }, '_');
    return name;
}

// The time of day in the user's long time format without a time-zone name, reduced to the
// characters a MIME boundary may hold.
std::string BoundaryTime() {
    const QLocale locale = QLocale::system();
    const QString fmt = locale.timeFormat(QLocale::LongFormat);
    QString plain;
    bool quoted = false;
    for (const QChar c : fmt) {
        if (c == u'\'')
            quoted = !quoted;
        if (quoted || c != u't')
            plain += c;
    }
    const QString text = locale.toString(QTime::currentTime(), plain.simplified());
    std::string out;
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        const bool allowed = (u >= '0' && u <= '9') || (u >= 'A' && u <= 'Z') ||
                             (u >= 'a' && u <= 'z') || std::u16string_view(u"'()+_,-./:=? ").find(u) !=
                                                           std::u16string_view::npos;
        if (allowed)
            out += static_cast<char>(u);
    }
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

// A command's name for a refusal: its first word ("MAIL FROM:<a@b>" -> "MAIL"). The rest may
// be an address or a login and stays out of every message.
std::string Verb(const std::string& command) {
    return command.substr(0, command.find_first_of(" :"));
}

// A reply line without its line end.
std::string Bare(std::string line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
        line.pop_back();
    return line;
}

// The lines of a reply joined by blanks, for a message that names what the server offered.
std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines)
        text += (text.empty() ? "" : " ") + Bare(line);
    return text;
}

} // namespace

TSmtpClient::TSmtpClient(QObject* owner) : TAsyncSocket(owner) {
    Port = 25;
    // Data arriving after a cancel belongs to an exchange nobody waits for any more.
    OnAbortRead = [this](QObject*) { DropConnection(); };
}

TSmtpClient::~TSmtpClient() {
    OnAbortRead = nullptr;
}

std::string TSmtpClient::ExtractAddress(std::string_view Entry) {
    const std::size_t lt = Entry.find('<');
    if (lt != std::string_view::npos) {
        const std::string_view rest = Entry.substr(lt + 1);
        return std::string(rest.substr(0, rest.find_first_of("<>")));
    }
    const std::size_t colon = Entry.find(':');
    if (colon == std::string_view::npos)
        return std::string(Entry);
    const std::string_view rest = Entry.substr(colon + 1);
    return std::string(rest.substr(0, rest.find(':')));
}

void TSmtpClient::ClearParameters() {
    PostMessage.ToAddress.Clear();
    PostMessage.ToCarbonCopy.Clear();
    PostMessage.ToBlindCarbonCopy.Clear();
    PostMessage.Attachments.Clear();
}

// --- connection ---------------------------------------------------------------------------------

void TSmtpClient::Connect() {
    if (BreaksCommand(UserID))
        throw Exception("Invalid HELO name");
    // The login never travels in the clear.
    if (UseAuth && Security == TSecurity::None)
        throw Exception("Login without TLS");
    {
        TFlagScope busy(busy_);
        // Bytes left over from an earlier connection are no reply to this one.
        InBuffer.Clear();
        pipelining_ = false;
        TAsyncSocket::Connect();
        try {
            if (Security == TSecurity::Implicit)
                StartTls();
            ReadReply();
            ReadWholeReply();
            if (ReplyCode() / 100 != 2)
                throw ERefused(LastReply(), {}, Bare(LastReply()));

            if (Security == TSecurity::None && !UseAuth) {
                Greet("HELO");
            } else {
                std::vector<std::string> ehlo = Greet("EHLO");
                if (Security == TSecurity::StartTls) {
                    // Never on in the clear: a server that does not offer it is not used.
                    if (!Offers(ehlo, "STARTTLS"))
                        throw ENotOffered("No STARTTLS", "STARTTLS", "EHLO", Joined(ehlo));
                    Command("STARTTLS", 200);
                    StartTls();
                    ehlo = Greet("EHLO");   // what the server offers may change under TLS
                }
                if (UseAuth)
                    Authenticate(ehlo);
                pipelining_ = Offers(ehlo, "PIPELINING");
            }
        } catch (const EAbortError&) {
            // The user gave up on this server; a QUIT could wait just as long.
            DropConnection();
            throw;
        } catch (...) {
            try {
                Disconnect();
            } catch (const std::exception&) {
                // The first failure is the one to report.
            }
            throw;
        }
    }
    if (OnConnect)
        OnConnect(this);
}

std::vector<std::string> TSmtpClient::Greet(const std::string& verb) {
    for (int refusals = 0;; ++refusals) {
        std::vector<std::string> reply = Exchange(verb + " " + UserID);
        ServerClosing(verb);
        if (ReplyCode() / 100 == 2)
            return reply;
        const std::string refusal = Bare(LastReply());
        bool handled = false;
        if (refusals == 0 && OnAuthenticationFailed)
            OnAuthenticationFailed(handled);
        if (!handled || refusals > 0)
            throw ERefused("Authentication failed", verb, refusal);
    }
}

// AUTH PLAIN when the server offers it (one exchange), else AUTH LOGIN. The user name and the
// password are sent only base64-coded and only here, never into Status or an exception text.
void TSmtpClient::Authenticate(const std::vector<std::string>& ehlo) {
    if (BreaksCommand(AuthUser))
        throw Exception("Invalid login name");
    if (AuthMethod == TAuthMethod::Bearer)
        return AuthenticateWithToken(ehlo);
    if (Offers(ehlo, "AUTH", "PLAIN")) {
        Exchange("AUTH PLAIN " + Base64(std::string(1, '\0') + AuthUser + '\0' + AuthPassword));
    } else if (Offers(ehlo, "AUTH", "LOGIN")) {
        Exchange("AUTH LOGIN");
        if (ReplyCode() == 334)
            Exchange(Base64(AuthUser));
        if (ReplyCode() == 334)
            Exchange(Base64(AuthPassword));
    } else {
        throw ENotOffered("No AUTH PLAIN or LOGIN", "AUTH", "EHLO", Joined(ehlo));
    }
    ServerClosing("AUTH");
    if (ReplyCode() / 100 != 2)
        throw ELoginRefused(LastReply(), "AUTH", Bare(LastReply()));
}

// AUTH (RFC 4954) with the token on the AUTH line, which may be that long for AUTH; only a
// response beyond that limit waits for the server's 334. A refused token is asked for once more.
void TSmtpClient::AuthenticateWithToken(const std::vector<std::string>& ehlo) {
    std::vector<std::string> offered;
    for (const std::string& line : ehlo)
        if (const std::vector<std::string> words = Keywords(line); !words.empty() && words[0] == "AUTH")
            offered.insert(offered.end(), words.begin() + 1, words.end());
    const TBearerMechanism mechanism = ChooseBearerMechanism(offered);
    if (mechanism == TBearerMechanism::None)
        throw ENotOffered("No AUTH OAUTHBEARER or XOAUTH2", "AUTH", "EHLO", Joined(ehlo));
    if (!OnBearerToken)
        throw Exception("Authentication failed");
    constexpr std::size_t MaxAuthLine = 12288;
    const std::string verb = std::string("AUTH ") + BearerMechanismName(mechanism);
    for (bool renew = false;; renew = true) {
        const std::string token = OnBearerToken(renew);
        if (token.empty())
            throw Exception("Authentication failed");
        const std::string response = BearerResponse(mechanism, AuthUser, token, Host, Port);
        if (verb.size() + 1 + response.size() + 2 <= MaxAuthLine) {
            Exchange(verb + " " + response);
        } else {
            Exchange(verb);
            if (ReplyCode() == 334)
                Exchange(response);
        }
        std::string detail;
        if (ReplyCode() == 334) {
            // The server's reason comes as a challenge; the exchange must still be ended.
            detail = BearerRefusalDetail(Trim(Bare(LastReply()).substr(std::min<std::size_t>(3, Bare(LastReply()).size()))));
            Exchange(BearerAbortLine(mechanism));
        }
        ServerClosing("AUTH");
        if (ReplyCode() / 100 == 2)
            return;
        // 535: the token was not taken (a fresh one may be); anything else says no to any token.
        if (renew || ReplyCode() != 535)
            throw EBearerRefused(LastReply(), "AUTH", Bare(LastReply()), detail);
    }
}

void TSmtpClient::Disconnect() {
    if (!Connected() || Canceled()) {
        DropConnection();
        return;
    }
    std::string reply;
    try {
        reply = Transaction("QUIT");
    } catch (const ESockError&) {
        reply.clear();   // the connection ended on its own: that is what QUIT was for
    }
    DropConnection();
    if (!reply.empty() && ReplyCode() > 339)
        throw ERefused(reply, "QUIT", Bare(reply));
}

void TSmtpClient::Abort() {
    if (Canceled())
        return;
    if (busy_) {
        Cancel();   // also ends a connect or lookup wait, not only a transfer
        return;
    }
    if (Connected())
        DropConnection();
}

// --- composition --------------------------------------------------------------------------------

void TSmtpClient::Compose() {
    const TPostMessage& m = PostMessage;
    FinalHeader.Clear();
    MessageStream.str(std::string());
    MessageStream.clear();

    // Text with 8-bit characters goes out as UTF-8, quoted-printable; 7-bit text as it is.
    const bool eightBit = std::any_of(m.Body.begin(), m.Body.end(), [](const std::string& l) { return HasEightBit(l); });
    FinalHeader.Add("From: " + EncodedName(m.FromName, 6) + "<" + m.FromAddress + ">");
    if (!m.ToAddress.Empty())
        FinalHeader.Add(AddressLine("To: ", EncodedEntries(m.ToAddress)));
    if (!m.ToCarbonCopy.Empty())
        FinalHeader.Add(AddressLine("CC: ", EncodedEntries(m.ToCarbonCopy)));
    FinalHeader.SetHeader("Subject", EncodeHeaderWords(m.Subject, 9));
    FinalHeader.SetHeader("X-Mailer", m.LocalProgram);
    FinalHeader.SetHeader("Reply-To", m.ReplyTo);
    FinalHeader.SetHeader("Date", m.Date.empty() ? MailDate(std::time(nullptr)) : m.Date);
    FinalHeader.SetHeader("Message-ID", NewMessageId(m.FromAddress));
    FinalHeader.Add("Mime-Version: 1.0");

    const bool multipart = !m.Attachments.Empty();
    const std::string textType = eightBit ? Utf8TextLine : TextPlainLine;
    if (multipart) {
        boundary_ = std::string(20, '=') + "54535" + BoundaryTime() + "====";
        FinalHeader.Add(MultipartLine + '"' + boundary_ + '"');
        MessageStream << "--" << boundary_ << CRLF << textType << CRLF;
        if (eightBit)
            MessageStream << QuotedPrintableLine << CRLF;
        MessageStream << CRLF;
    } else {
        FinalHeader.Add(textType);
        if (eightBit)
            FinalHeader.Add(QuotedPrintableLine);
    }

    std::string body;
    for (const std::string& line : m.Body) {
        AppendTransparent(body, eightBit ? EncodeQuotedPrintable(Windows1252ToUtf8(line)) : line);
        body += CRLF;
    }
    MessageStream << body;

    if (multipart) {
        for (int i = 0; i < m.Attachments.Count(); ++i)
            AppendAttachment(m.Attachments[i]);
        MessageStream << "--" << boundary_ << "--" << CRLF;
    }
}

void TSmtpClient::AppendAttachment(const std::string& entry) {
    const std::string name = PartName(entry);
    // Base64 is what the part's label promises; UUencoded content is labelled as such.
    const char* encoding = EncodeType == UUMethods::uuMime ? "base64" : "x-uuencode";
    MessageStream << "--" << boundary_ << CRLF
                  << PartTypeLine << '"' << name << '"' << CRLF
                  << "Content-Transfer-Encoding: " << encoding << CRLF
                  << PartDispositionLine << '"' << name << '"' << CRLF << CRLF;

    std::ifstream file;
    try {
        file = openInputFile(entry);
    } catch (const EFOpenError&) {
        if (OnAttachmentNotFound)
            OnAttachmentNotFound(entry);
        throw;
    }
    if (OnEncodeStart)
        OnEncodeStart(entry);
    TUUProcessor coder;
    coder.Method = EncodeType;
    coder.SourceStream = &file;
    coder.TargetStream = &MessageStream;
    coder.Encode();
    MessageStream.seekp(0, std::ios::end);   // the coder leaves the stream at its start
    if (OnEncodeEnd)
        OnEncodeEnd(entry);
}

// --- sending ------------------------------------------------------------------------------------

bool TSmtpClient::Incomplete() const {
    const TPostMessage& m = PostMessage;
    return m.FromAddress.empty() ||
           (m.ToAddress.Empty() && m.ToCarbonCopy.Empty() && m.ToBlindCarbonCopy.Empty());
}

std::vector<std::string> TSmtpClient::Exchange(const std::string& command) {
    Transaction(command);
    return ReadWholeReply();
}

std::vector<std::string> TSmtpClient::ReadWholeReply() {
    std::vector<std::string> lines{LastReply()};
    while (IsContinuation(LastReply()) && lines.size() < MaxReplyLines) {
        ReadReply();
        lines.push_back(LastReply());
    }
    if (IsContinuation(LastReply()) || !HasReplyNumber(LastReply())) {
        // Whatever answers here does not speak SMTP; nothing it said can count as consent.
        const std::string line = LastReply();
        DropConnection();
        throw EProtocolError("Protocol error: " + line);
    }
    return lines;
}

void TSmtpClient::Command(const std::string& command, int first) {
    Exchange(command);
    ServerClosing(Verb(command));
    if (ReplyCode() / 100 != first / 100)
        throw ERefused(LastReply(), Verb(command), Bare(LastReply()));
}

// 421: the server is closing the connection. Its end is gone, so ours is dropped too and the
// next Connect starts afresh instead of finding a connection that only looks open.
void TSmtpClient::ServerClosing(const std::string& verb) {
    if (ReplyCode() != 421)
        return;
    const std::string reply = LastReply();
    DropConnection();
    throw ERefused(reply, verb, Bare(reply));
}

// The mail text after DATA: the header lines, two empty lines, then the body and parts, and the
// end-of-data line. It goes out as one stream, whatever the header's length (Write would cut
// it at 16385 characters and corrupt the mail), and in one piece with the body and the end
// line, so a short mail costs the server one read, not three.
void TSmtpClient::SendMailText() {
    std::string text;
    const std::string_view body = MessageStream.view();
    text.reserve(body.size() + 4096);
    for (const std::string& line : FinalHeader) {
        AppendTransparent(text, line);
        text += CRLF;
    }
    text += CRLF;
    text += CRLF;
    text += body;
    text += ".";
    text += CRLF;
    std::istringstream stream(std::move(text));
    SendStream(stream);
}

// The envelope of the mail: RSET, MAIL FROM, a RCPT TO per recipient (an address that would
// break its command is refused here and never sent), DATA. Returns when the server waits for
// the mail text. A server that offers pipelining gets the commands in one write and its
// replies are read in the same order, with the outcomes and events of the one-by-one
// exchange; a refusal of RSET or MAIL is then raised only after the rest of the group's
// replies, so that the dialogue stays in step, and a DATA accepted although the server has
// no transaction with a recipient is ended with a lone "." at once: the mail is never sent.
void TSmtpClient::SendEnvelope() {
    struct Step {
        std::string command;   // empty: refused here
        std::string entry;     // the recipient entry as listed, for OnRecipientNotFound
    };
    std::vector<Step> steps{{"RSET", {}}, {"MAIL FROM:<" + PostMessage.FromAddress + ">", {}}};
    for (const TStringList* list : {&PostMessage.ToAddress, &PostMessage.ToCarbonCopy,
                                    &PostMessage.ToBlindCarbonCopy}) {
        for (const std::string& entry : *list) {
            const std::string address = ExtractAddress(entry);
            if (!address.empty())
                steps.push_back({BreaksCommand(address) ? std::string() : "RCPT TO:<" + address + ">", entry});
        }
    }
    steps.push_back({"DATA", {}});

    const bool grouped = pipelining_;
    if (grouped) {
        // One write; only hundreds of recipients make more.
        std::string group;
        for (const Step& step : steps) {
            if (step.command.empty())
                continue;
            if (!group.empty() && group.size() + step.command.size() + CRLF.size() > MaxWrite) {
                Write(group);
                group.clear();
            }
            group += step.command + CRLF;
        }
        Write(group);
    }

    // The first refusal of RSET or MAIL (what a one-by-one exchange would have stopped at).
    std::string refusal, refusedVerb;
    std::string recipientRefusal;   // the last refusal of a RCPT
    bool recipientTaken = false;
    for (const Step& step : steps) {
        if (step.command.empty()) {
            if (refusal.empty() && OnRecipientNotFound)
                OnRecipientNotFound(step.entry);
            continue;
        }
        const std::string verb = Verb(step.command);
        if (grouped)
            ReadReply();
        else
            Transaction(step.command);
        ReadWholeReply();
        ServerClosing(verb);
        const bool taken = ReplyCode() / 100 == (verb == "DATA" ? 3 : 2);
        if (verb == "RCPT") {
            recipientTaken = recipientTaken || taken;
            if (!taken)
                recipientRefusal = LastReply();
            if (!taken && refusal.empty() && OnRecipientNotFound)
                OnRecipientNotFound(step.entry);
        } else if (!taken) {
            if (refusal.empty()) {
                refusal = LastReply();
                refusedVerb = verb;
            }
            if (!grouped || verb == "DATA")
                throw ERefused(refusal, refusedVerb, Bare(refusal));
        }
    }
    if (!grouped || (refusal.empty() && recipientTaken))
        return;
    // DATA went out before the refusals were known and the server took it all the same.
    Writeln(".");
    ReadReply();
    ReadWholeReply();
    ServerClosing("DATA");
    if (refusal.empty()) {
        // No recipient took the mail: the server's refusal of the empty text, else that of
        // the last recipient.
        if (ReplyCode() / 100 != 2)
            throw ERefused(LastReply(), "DATA", Bare(LastReply()));
        throw ERefused(recipientRefusal.empty() ? "No recipient accepted" : recipientRefusal, "RCPT",
                       Bare(recipientRefusal));
    }
    throw ERefused(refusal, refusedVerb, Bare(refusal));
}

void TSmtpClient::SendMail() {
    if (busy_)
        return;
    TFlagScope busy(busy_);

    Compose();
    RequireConnection();
    if (Incomplete()) {
        bool handled = false;
        if (OnHeaderIncomplete)
            OnHeaderIncomplete(handled, PostMessage.FromAddress.empty() ? 1 : 2);
        if (!handled || Incomplete())
            throw Exception("Incomplete Header");
    }
    if (BreaksCommand(PostMessage.FromAddress))
        throw Exception("Invalid sender address");
    if (OnSendStart)
        OnSendStart(this);

    try {
        SendEnvelope();
        SendMailText();
        ReadReply();
        ReadWholeReply();
    } catch (const ESockError&) {
        // Cut or canceled in the middle of the dialogue (perhaps inside the mail text): the
        // server cannot tell the rest of the text from commands any more.
        DropConnection();
        throw;
    }
    // Only a 2xx after the end of the data means the server took the mail.
    if (ReplyCode() / 100 != 2) {
        if (OnFailure)
            OnFailure(this);
        // The refusal of the mail text, which DATA began.
        ServerClosing("DATA");
        throw ERefused(LastReply(), "DATA", Bare(LastReply()));
    }

    if (ClearParams)
        ClearParameters();
    busy_ = false;
    if (OnSuccess)
        OnSuccess(this);
}

} // namespace pb
