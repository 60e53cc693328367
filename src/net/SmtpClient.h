#pragma once
// TSmtpClient: the SMTP client component (RFC 821 commands, RFC 822 message with MIME 1.0
// header lines) and TPostMessage, the description of the mail it sends.
//
// The component opens a mail connection (greeting, HELO), composes a message from its
// PostMessage (header lines into FinalHeader, body and attachment parts into a memory stream)
// and sends it (RSET, MAIL FROM, one RCPT TO per recipient, DATA, header block, body, "."),
// and ends the connection with QUIT. Every wait goes through the socket component, so the
// owner's window keeps dispatching messages during a call; Abort is the call meant for that
// moment.
//
// Typical use: set Host, Port (25), UserID, TimeOut, ReportLevel; Connect(); per mail fill
// PostMessage and call SendMail(); Disconnect().
//
// A server that offers PIPELINING in its EHLO reply (RFC 2920) gets each mail's RSET, MAIL
// FROM, RCPT TO and DATA in one write; its replies are read strictly in order, with the same
// outcomes and events as one by one.
//
// Security: with Security set, the connection runs over TLS (from the first byte, or after
// EHLO and STARTTLS); a server that does not offer STARTTLS is refused, never used in the clear.
// With UseAuth the component logs in (AUTH PLAIN, else AUTH LOGIN) after EHLO, and only over
// TLS. With neither, the dialogue is the plain one: HELO, no EHLO.
//
// Every reply that decides must begin with three digits; anything else is a protocol error
// (EProtocolError, the connection dropped). A command succeeds only with a 2xx reply, DATA
// only with a 3xx one.
//
// Failures are exceptions and leave the component usable:
//  - socket failures (ESockError, EAbortError for a cancel) pass through unchanged; a failure
//    in the middle of an exchange drops the connection (no QUIT), since the server's idea of
//    where the dialogue stands is then unknown, and the next Connect starts afresh;
//  - server refusals raise ERefused (ELoginRefused for the login) naming the command, whose
//    message is the server's reply line as read, line end included (a 421, the server closing
//    its end, also drops the connection), or "Authentication failed" for a refused HELO; a
//    server without the STARTTLS or AUTH that the settings need raises ENotOffered; a mail
//    without sender or recipients raises pb::Exception "Incomplete Header";
//  - an attachment that cannot be opened raises the file-open error (EFOpenError).
// GUI thread only.
#include "mime/ExStrings.h"
#include "mime/UUCoder.h"
#include "net/AsyncSocket.h"
#include "net/Sasl.h"

#include <functional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace pb {

// Text subtypes the owner may name; composition always declares text/plain.
enum class TSubType { mtPlain, mtEnriched, mtSgml, mtTabSeperated, mtHtml };

using THeaderInComplete = std::function<void(bool& handled, int hiType)>;
using TRecipientNotFound = std::function<void(const std::string& Recipient)>;
using TFileItem = std::function<void(const std::string& Filename)>;
using TMailListReturn = std::function<void(const std::string& MailAddress)>;

// What to send. Recipient entries are a bare address or a name followed by the address in
// angle brackets; the header shows them as they are, the envelope gets the bare address.
class TPostMessage {
public:
    std::string FromAddress;            // required
    std::string FromName;               // written right before "<address>", no blank added
    TStringList ToAddress;
    TStringList ToCarbonCopy;
    TStringList ToBlindCarbonCopy;      // RCPT only, never a header line
    TStringList Body;                   // one line per entry, sent as it is
    TStringList Attachments;            // file names with path
    std::string Subject;
    std::string LocalProgram;           // X-Mailer
    std::string Date;                   // the Date line's value, unchanged; empty: the time of sending
    std::string ReplyTo;
};

class TSmtpClient : public TAsyncSocket {
public:
    // Port 25; installs the hook that drops the connection when data arrives after a cancel.
    explicit TSmtpClient(QObject* owner = nullptr);
    ~TSmtpClient() override;

    // --- published properties ----------------------------------------------------------------
    std::string UserID;                         // the argument of HELO / EHLO
    TSecurity Security = TSecurity::None;
    bool UseAuth = false;                       // log in after EHLO (needs Security)
    std::string AuthUser;
    std::string AuthPassword;
    // Password: AUTH PLAIN or LOGIN. Bearer: AUTH OAUTHBEARER, else XOAUTH2, with the token
    // OnBearerToken gives and AuthUser as the login name (UseAuth and Security still needed).
    TAuthMethod AuthMethod = TAuthMethod::Password;
    TBearerTokenEvent OnBearerToken;
    TPostMessage PostMessage;
    TExStringList FinalHeader;                  // header lines of the last composition
    UUMethods EncodeType = UUMethods::uuMime;   // attachment encoding
    bool ClearParams = true;                    // empty recipients/attachments after a sent mail
    TSubType SubType = TSubType::mtPlain;       // kept for the owner; not used in composition

    // Fired after the greeting and HELO succeeded (hides the socket's event of the same name,
    // which would report the bare TCP connection).
    TNotifyEvent OnConnect;
    // HELO refused (first time in a Connect): set Handled (after changing UserID, say) to
    // have HELO sent once more.
    THandlerEvent OnAuthenticationFailed;
    // Sender (hiType 1) or every recipient (hiType 2) missing: set handled after repairing
    // PostMessage to have it checked once more. The composed header is not rebuilt.
    THeaderInComplete OnHeaderIncomplete;
    // After composition and checks, before the first command; may still edit FinalHeader.
    TNotifyEvent OnSendStart;
    // A RCPT was refused; the entry as listed. The send goes on.
    TRecipientNotFound OnRecipientNotFound;
    TFileItem OnEncodeStart;
    TFileItem OnEncodeEnd;
    TFileItem OnAttachmentNotFound;
    TNotifyEvent OnSuccess;   // the mail was accepted
    TNotifyEvent OnFailure;   // the final "." was refused (the exception follows)
    TMailListReturn OnMailListReturn;   // never fired by this component

    // --- operations --------------------------------------------------------------------------
    // Connects, reads the greeting (continuation lines included) and says HELO, or EHLO with
    // STARTTLS and AUTH as the settings ask. On a refusal the connection is ended with QUIT
    // before the exception leaves. Refusals special to the secure dialogue: "Login without
    // TLS" (nothing is connected), "No STARTTLS" (the server does not offer it), "No AUTH
    // PLAIN or LOGIN", ELoginRefused.
    void Connect() override;
    // Sends PostMessage over the open connection. Does nothing while a Connect or SendMail of
    // this component is under way (called from one of their event handlers). The mail text
    // after DATA (header block and body) is one SendStream: SendSize, SentCount and
    // OnPacketSent measure all of it.
    void SendMail();
    // QUIT and close. The socket is closed in every case; a QUIT reply above 339 then raises
    // with the reply line. A connection that is already gone, or was abandoned by a cancel,
    // is just closed.
    void Disconnect() override;
    // Ends a running Connect or SendMail with EAbortError; drops an idle connection at once.
    void Abort() override;
    // Empties ToAddress, ToCarbonCopy, ToBlindCarbonCopy and Attachments.
    void ClearParameters();

    // The bare address of a recipient entry: the text in angle brackets when there are any,
    // else the entry itself when it has no colon, else the text after its first colon (up to
    // the next one).
    static std::string ExtractAddress(std::string_view Entry);

    // --- state of the last composition (for the owner and tests) -----------------------------
    bool Busy() const { return busy_; }
    // The server offered pipelining in its EHLO reply: each mail's envelope then goes out
    // as one group of commands.
    bool Pipelining() const { return pipelining_; }
    const std::string& Boundary() const { return boundary_; }

private:
    void Compose();
    void AppendAttachment(const std::string& entry);
    bool Incomplete() const;
    void SendEnvelope();
    void SendMailText();
    // Sends a command and reads its whole reply; the last line decides and must carry a
    // number (EProtocolError otherwise). Returns every line of the reply.
    std::vector<std::string> Exchange(const std::string& command);
    // The rest of a multi-line reply whose first line is LastReply().
    std::vector<std::string> ReadWholeReply();
    // Exchange, failing unless the reply is numbered from `first` to `first` + 99.
    void Command(const std::string& command, int first);
    // A 421 to the command `verb`: the connection is dropped and the refusal raised.
    void ServerClosing(const std::string& verb);
    std::vector<std::string> Greet(const std::string& verb);
    void Authenticate(const std::vector<std::string>& ehlo);
    void AuthenticateWithToken(const std::vector<std::string>& ehlo);

    bool busy_ = false;
    bool pipelining_ = false;
    std::stringstream MessageStream;
    std::string boundary_;
};

} // namespace pb
