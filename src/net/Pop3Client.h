#pragma once
// TPop3Client: the POP3 client component (RFC 1939) the retrieval run and QuickView work on.
//
// Built on TAsyncSocket, so every operation looks blocking while the message loop keeps
// running. Connect logs in with USER/PASS and reads the mailbox size (STAT); List, GetSummary
// (TOP n 0 + LIST n), GetMailMessage (RETR, optionally DELE) and DeleteMailMessage work on one
// mail each; Disconnect ends the session with QUIT; Abort is the user's cancel.
//
// A retrieved mail is read as it arrives, in one pass, by a TMimeReader (MimeReader.h), whose
// events build MailMessage through the owner's Assembly: header lines, subject/sender/message
// id, body text, and attachments written as files under AttachFilePath. The mail is never held
// whole; attachments go straight to disk.
//
// Refusals by the server raise ERefused naming the command, with the server's reply line as
// message (line end included), or ELoginRefused "Authentication failed" for USER or PASS;
// socket failures raise ESockError / EAbortError; file failures raise EStreamError
// descendants or EInOutError.
#include "mime/ExStrings.h"
#include "mime/MailMessage.h"
#include "mime/UUCoder.h"
#include "net/AsyncSocket.h"
#include "net/MultiLineReader.h"
#include "net/Sasl.h"

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace pb {

// Header summary of one mail (GetSummary).
class TSummary {
public:
    std::string Subject;     // value after "Subject:", the blank after the colon kept
    std::string From;        // value after "From:", blank kept
    std::string MessageId;   // from the 13th character of the "Message-ID:" line, line end kept
    int Bytes = 0;           // size from the LIST answer
    TExStringList Header;    // every header line, line ends cut, ending with "."
};

using TListEvent = std::function<void(int Msg, int Size)>;
// The answer to a DELE of RequestDeletion: Refusal is null when the server took the deletion.
using TDeletionEvent = std::function<void(int Msg, const ERefused* Refusal)>;

// What the server's CAPA answer (RFC 2449) offers. A capability only enables: the commands a
// server need not list (UIDL, TOP) are tried whatever it says.
struct TPop3Capabilities {
    bool Answered = false;    // CAPA was answered with +OK; all false when not
    bool Stls = false;        // STLS (RFC 2595)
    bool Utf8 = false;        // UTF8 (RFC 6856)
    bool Pipelining = false;  // PIPELINING: commands may go out before their answers
    std::vector<std::string> Sasl;   // the mechanisms after SASL (RFC 5034)
};

// A mail's unique id as RFC 1939 allows it: 1 to 70 printable characters, no blank.
bool ValidUniqueId(std::string_view Id);

class TPop3Client : public TAsyncSocket {
public:
    explicit TPop3Client(QObject* owner = nullptr);
    ~TPop3Client() override;

    // --- published --------------------------------------------------------------------------
    std::string UserID;
    std::string Password;
    bool DeleteOnRead = false;
    std::string AttachFilePath;
    // TLS from the first byte, or STLS after the greeting (RFC 2595); a server that refuses
    // STLS is not used in the clear.
    TSecurity Security = TSecurity::None;
    // Password: USER/PASS. Bearer: AUTH with the token OnBearerToken gives (OAUTHBEARER, else
    // XOAUTH2, as CAPA lists them), UserID as the login name; only with Security set.
    TAuthMethod AuthMethod = TAuthMethod::Password;
    TBearerTokenEvent OnBearerToken;

    // Login succeeded (hides the socket's own connect event, which stays unassigned).
    TNotifyEvent OnConnect;
    THandlerEvent OnAuthenticationNeeded;   // UserID or Password empty at Connect
    THandlerEvent OnAuthenticationFailed;   // USER or PASS refused; asked once per Connect
    TListEvent OnList;                      // one per line of the LIST answer
    TNotifyEvent OnRetrieveStart;
    TNotifyEvent OnRetrieveEnd;             // GetSummary succeeded / GetMailMessage ended
    TNotifyEvent OnSuccess;                 // DeleteMailMessage succeeded
    TNotifyEvent OnFailure;                 // DeleteMailMessage refused
    TNotifyEvent OnReset;                   // never raised
    TDeletionEvent OnDeletionAnswered;      // RequestDeletion's answer, when it is read
    // Fires while GetMailMessage reads a mail: at its first line and whenever another
    // ProgressStep bytes have come (a call per line cost more than the display it feeds);
    // RetrievedBytes() then tells how many bytes of the mail (as the server sent them) have
    // arrived so far. The owner's progress display hangs on it.
    TNotifyEvent OnRetrieveProgress;
    static constexpr std::int64_t ProgressStep = 4096;
    // Called every few milliseconds while GetMailMessage decodes a long part, so that the window
    // stays responsive; turns the message loop unless the owner sets its own.
    std::function<void()> OnDecodeTurn;

    // --- state ---------------------------------------------------------------------------------
    int MailCount = 0;
    // From the last CAPA of Connect (the one after STLS when TLS was started).
    TPop3Capabilities Capabilities;
    // The server accepted UTF8: header lines may hold raw UTF-8, and the login went out as UTF-8.
    bool Utf8Mode = false;
    TSummary Summary;
    TMailMessage MailMessage;
    bool Busy() const { return busy_; }
    std::int64_t RetrievedBytes() const { return retrievedBytes_; }
    TUUProcessor UUProcessor;
    // Builds MailMessage from the events of the mail's reader (the mail layer's TMailAssembler);
    // the owner's, and it must be set before GetMailMessage, which raises an Exception without.
    TMailAssembly* Assembly = nullptr;

    // --- operations ----------------------------------------------------------------------------
    // TCP connect (and TLS as Security asks), greeting, CAPA (again after STLS), UTF8 when
    // offered, USER/PASS (or AUTH with a token), STAT -> MailCount; OnConnect once logged in
    // (also when STAT then fails). A failure after the TCP connect ends the session first.
    // A token login without Security raises Exception "Token without TLS" before anything is
    // connected; a server that lists neither OAUTHBEARER nor XOAUTH2 raises ENotOffered; a
    // refused token, asked for once more with Renew, EBearerRefused.
    void Connect() override;
    // QUIT (when connected), then close; raises the reply line when QUIT was refused.
    void Disconnect() override;
    // User cancel: ends the running operation (EAbortError; the connection is dropped when
    // the next data arrives), or drops an idle connection without QUIT.
    void Abort() override;

    // The four below do nothing while another operation of this component runs (Busy).
    void List();
    // UIDL: the unique id of every mail, by mail number, into Ids (cleared first). False when
    // the server refuses the command (it need not offer it); true with every id it gave.
    // A line whose id is not valid (ValidUniqueId) gives its mail a substitute id that stays
    // the same from session to session ("~" and a fingerprint of the line after the number);
    // a line without a usable number is passed by. Either is said in ListingLog.
    bool ListUniqueIds(std::map<int, std::string>& Ids);
    // What List and ListUniqueIds had to pass by or replace, one log entry per line (Windows-
    // 1252, tagged), cleared by each of them.
    std::vector<std::string> ListingLog;
    void GetSummary(int MailNumber);
    void GetMailMessage(int MailNumber);
    void DeleteMailMessage(int MailNumber);
    // RETR without the parse: the mail as the server serves it (dot transparency undone, line
    // ends as sent) into the open file Fd, synced before it returns. From, To and Subject get
    // the raw values of the mail's first such header lines (continuation lines joined). Raises
    // what GetMailMessage raises, and EInOutError when the file cannot be written.
    void GetRawMessage(int MailNumber, int Fd, std::string& From, std::string& To, std::string& Subject);
    // Sends RETR for a mail ahead of its GetMailMessage, so that the server prepares it while
    // the caller is still busy with the mails before. Nothing is read here: the answers wait on
    // the connection in the order asked, each for GetMailMessage of its mail; any other command,
    // or GetMailMessage of a mail not asked for next, first reads and discards them, so the
    // session stays in step. With PIPELINING in CAPA any number may be asked for (the caller
    // bounds them by RequestedCount and RequestedBytes), without it one at most. Does nothing
    // for a number below 1, while another operation runs or without a connection. Raises what
    // Write raises.
    void RequestMailMessage(int MailNumber);
    // Mails asked for ahead whose answers are not yet read, and their sizes from the last LIST.
    int RequestedCount() const { return Connected() ? askedMails_ : 0; }
    std::int64_t RequestedBytes() const { return Connected() ? askedBytes_ : 0; }
    // DELE. With PIPELINING it goes out at once behind whatever was asked before, and its
    // answer is read in its turn (by the next operation, or TakeAnswers); without, it is a
    // transaction of its own. Either way the answer goes to OnDeletionAnswered, a refusal
    // included; raises what Transaction or Write raise.
    void RequestDeletion(int MailNumber);
    // Reads every answer still due: mails asked for ahead are read past, DELE answers handed on.
    // Nothing without a connection (the answers went with it).
    void TakeAnswers();
    // Reads the DELE answers due before the next mail's, as GetMailMessage would first.
    void TakeDeletionAnswers();

    // Any command of the session: the answers still due are read first (TakeAnswers).
    std::string Transaction(const std::string& Command) override;

private:
    bool CheckLoginReply(const std::string& Reply, const char* Command, int& Attempts);
    void LoginWithToken();
    TPop3Capabilities AskCapabilities();
    // What went out ahead of its answer, in the order sent.
    struct TAsked {
        int Msg = 0;
        bool Dele = false;   // DELE; else RETR
    };
    // Reads the answer at the head of those due: a DELE's is handed on, a mail's read past.
    void TakeAsked();
    TAsked PopAsked();          // the head of those due, taken off with its count and bytes
    void TakeDueDeletions();    // the DELE answers at the head of those due
    // The time a mail may take, by its size in the last LIST (none when it was not listed).
    void ListedDeadline(int MailNumber);
    void DiscardRequested();   // every answer due, as TakeAsked
    void ForgetAsked();        // the connection is gone, and with it the answers due
    void DeletionAnswered(int MailNumber, const std::string& Reply);
    std::int64_t ListedSize(int MailNumber) const;
    // A reader of the next multi-line answer.
    TMultiLineReader Answer();
    // The mail of a RETR accepted, through the reader into Assembly.
    void ReadMail();

    bool busy_ = false;
    std::map<int, std::int64_t> listedSizes_;   // from the last LIST: the time a mail may take
    std::deque<TAsked> asked_;
    int askedMails_ = 0;             // RETRs among them
    std::int64_t askedBytes_ = 0;    // their listed sizes
    std::int64_t retrievedBytes_ = 0;
    TMultiLineReader mailLines_;   // the mail of GetMailMessage, counted as it arrives
};

} // namespace pb
