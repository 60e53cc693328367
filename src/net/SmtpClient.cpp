#include "net/SmtpClient.h"

#include "net/Streams.h"

#include <QLocale>
#include <QTime>

#include <algorithm>
#include <cstdint>
#include <fstream>

namespace pb {

namespace {

const std::string CRLF = "\r\n";

// The single-part line: "charset" starts in column 50, as it always has in this header.
const std::string TextPlainLine =
    "Content-Type: text/plain;" + std::string(24, ' ') + "charset=us-ascii";
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

// The number formed by the leading digits (within the first 10 characters), as the socket
// component reads ReplyCode; 0 when there is none or it does not fit.
int ReplyNumber(const std::string& line) {
    std::int64_t value = 0;
    std::size_t i = 0;
    for (; i < line.size() && i < 10 && line[i] >= '0' && line[i] <= '9'; ++i)
        value = value * 10 + (line[i] - '0');
    return (i > 0 && value <= 32767) ? static_cast<int>(value) : 0;
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

// Clears a flag when the scope ends, however it ends.
struct ClearOnExit {
    bool& flag;
    bool keep;
    ~ClearOnExit() {
        if (!keep)
            flag = false;
    }
};

} // namespace

TSmtpClient::TSmtpClient(QObject* owner) : TAsyncSocket(owner) {
    Port = 25;
    // Data arriving after a cancel belongs to an exchange nobody waits for any more.
    OnAbortRead = [this](QObject*) {
        TAsyncSocket::Disconnect();
        InBuffer.Clear();
    };
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
    const bool wasBusy = busy_;
    busy_ = true;
    {
        ClearOnExit done{busy_, wasBusy};
        // Bytes left over from an earlier connection are no reply to this one.
        InBuffer.Clear();
        TAsyncSocket::Connect();
        try {
            std::string line = ReadLn();
            while (IsContinuation(line))
                line = ReadLn();
            if (ReplyNumber(line) >= 400)
                throw Exception(line);

            for (int refusals = 0;; ++refusals) {
                std::string reply = Transaction("HELO " + UserID);
                while (IsContinuation(reply))
                    reply = ReadLn();
                if (ReplyNumber(reply) < 300)
                    break;
                bool handled = false;
                if (refusals == 0 && OnAuthenticationFailed)
                    OnAuthenticationFailed(handled);
                if (!handled || refusals > 0)
                    throw Exception("Authentication failed");
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
        throw Exception(reply);
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

void TSmtpClient::DropConnection() {
    if (Connected())
        TAsyncSocket::Disconnect();
    InBuffer.Clear();
}

// --- composition --------------------------------------------------------------------------------

void TSmtpClient::Compose() {
    const TPostMessage& m = PostMessage;
    FinalHeader.Clear();
    MessageStream.str(std::string());
    MessageStream.clear();

    FinalHeader.Add("From: " + m.FromName + "<" + m.FromAddress + ">");
    if (!m.ToAddress.Empty())
        FinalHeader.Add(AddressLine("To: ", m.ToAddress));
    if (!m.ToCarbonCopy.Empty())
        FinalHeader.Add(AddressLine("CC: ", m.ToCarbonCopy));
    FinalHeader.SetHeader("Subject", m.Subject);
    FinalHeader.SetHeader("X-Mailer", m.LocalProgram);
    FinalHeader.SetHeader("Reply-To", m.ReplyTo);
    FinalHeader.SetHeader("Date", m.Date);
    FinalHeader.Add("Mime-Version: 1.0");

    const bool multipart = !m.Attachments.Empty();
    if (multipart) {
        boundary_ = std::string(20, '=') + "54535" + BoundaryTime() + "====";
        FinalHeader.Add(MultipartLine + '"' + boundary_ + '"');
        MessageStream << "--" << boundary_ << CRLF << TextPlainLine << CRLF << CRLF;
    } else {
        FinalHeader.Add(TextPlainLine);
    }

    std::string body;
    for (const std::string& line : m.Body) {
        AppendTransparent(body, line);
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

void TSmtpClient::Command(const std::string& command, int failFrom) {
    Transaction(command);
    ServerClosing();
    if (ReplyCode() >= failFrom)
        throw Exception(LastReply());
}

// 421: the server is closing the connection. Its end is gone, so ours is dropped too and the
// next Connect starts afresh instead of finding a connection that only looks open.
void TSmtpClient::ServerClosing() {
    if (ReplyCode() != 421)
        return;
    const std::string reply = LastReply();
    DropConnection();
    throw Exception(reply);
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

void TSmtpClient::SendMail() {
    if (busy_)
        return;
    busy_ = true;
    ClearOnExit done{busy_, false};

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
        Command("RSET", 400);
        Command("MAIL FROM:<" + PostMessage.FromAddress + ">", 400);
        // By index and by copy: a handler may change the lists while they are walked.
        for (TStringList* list : {&PostMessage.ToAddress, &PostMessage.ToCarbonCopy,
                                  &PostMessage.ToBlindCarbonCopy}) {
            for (int i = 0; i < list->Count(); ++i) {
                const std::string entry = (*list)[i];
                const std::string address = ExtractAddress(entry);
                if (address.empty())
                    continue;
                bool refused = BreaksCommand(address);
                if (!refused) {
                    Transaction("RCPT TO:<" + address + ">");
                    ServerClosing();
                    refused = ReplyCode() > 300;
                }
                if (refused && OnRecipientNotFound)
                    OnRecipientNotFound(entry);
            }
        }
        Command("DATA", 400);
        SendMailText();
        ReadReply();
    } catch (const ESockError&) {
        // Cut or canceled in the middle of the dialogue (perhaps inside the mail text): the
        // server cannot tell the rest of the text from commands any more.
        DropConnection();
        throw;
    }
    if (ReplyCode() >= 400) {
        if (OnFailure)
            OnFailure(this);
        ServerClosing();
        throw Exception(LastReply());
    }

    if (ClearParams)
        ClearParameters();
    busy_ = false;
    if (OnSuccess)
        OnSuccess(this);
}

} // namespace pb
