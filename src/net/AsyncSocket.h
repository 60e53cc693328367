#pragma once
// TAsyncSocket: the TCP client component under the POP3 and SMTP clients.
//
// It owns no thread. The socket runs in asynchronous notification mode (SocketNotify), every
// network event arrives as a message at a hidden window the component owns, and every call
// that has to wait turns the application's message loop (pb::pumpUntil) until the message
// handler has set the flag it waits for, the component was canceled, or a time limit ran out
// (TimeOut for the lookup, the connect and a TLS handshake; NetTimeLimits for the data). Because the loop keeps dispatching, the window
// stays responsive and its cancel button reaches the component in the middle of a transfer.
//
// Typical use by a client: set Host, Port, TimeOut, ReportLevel; Connect(); ReadLn() the
// greeting; Transaction() per command, ReadLn() for further lines of a multi-line answer,
// Write()/SendStream() for bulk data; Disconnect().
//
// Failures: ESockError (socket layer), EAbortError (a wait ended by Cancel), pb::Exception
// ("Not Connected" and other refusals because of state). GUI thread only.
#include "net/SocketBuffer.h"
#include "net/SocketServices.h"
#include "platform/Exceptions.h"

#include <QObject>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace pb {

namespace winsock {
class HiddenWindow;
class TcpSocket;
}
class HostLookup;
class TlsSession;

class ESockError : public Exception {
public:
    using Exception::Exception;
};

// A transfer or wait that Cancel ended.
class EAbortError : public ESockError {
public:
    using ESockError::ESockError;
};

// A wait ran past one of the time limits below; the connection has been dropped.
class ETimeoutError : public ESockError {
public:
    using ESockError::ESockError;
};

// The server's certificate failed the check against the trusted CAs and its name, and it is not
// the certificate the user trusts for this server. The connection has been closed before
// anything of the user's was sent.
class ECertificateError : public ESockError {
public:
    ECertificateError(const std::string& message, std::string host, int port, std::string reason,
                      std::string fingerprint, std::string trusted)
        : ESockError(message), Host(std::move(host)), Port(port), Reason(std::move(reason)),
          Fingerprint(std::move(fingerprint)), TrustedFingerprint(std::move(trusted)) {}
    std::string Host;
    int Port = 0;
    std::string Reason;               // why the check failed, German
    std::string Fingerprint;          // SHA-256 of the certificate met, 64 lower-case hex digits
    std::string TrustedFingerprint;   // the one trusted for this server before, or empty
};

// The server refused a command of a mail client. The message is what the client always raised
// for it (the reply line as read, or a fixed text such as "Authentication failed"). Command is
// the command's name alone, never its argument (that may be a password); empty when the server
// refused the connection in its greeting. Reply is the server's reply, line end cut.
class ERefused : public Exception {
public:
    ERefused(const std::string& message, std::string command, std::string reply)
        : Exception(message), Command(std::move(command)), Reply(std::move(reply)) {}
    std::string Command;
    std::string Reply;
};

// The server refused the login: a user name, a password or the AUTH exchange.
class ELoginRefused : public ERefused {
public:
    using ERefused::ERefused;
};

// The protection the settings ask for is not offered: the server does not list Extension
// ("STLS", "STARTTLS") in its answer to Asked ("CAPA", "EHLO"), which is Reply (its lines
// joined by blanks). Nothing of the user's was sent.
// The server's reply made no sense in its protocol (an SMTP reply without its number, a reply
// line longer than any server writes): its line, or what was wrong with it, is the message.
class EProtocolError : public Exception {
public:
    using Exception::Exception;
};

class ENotOffered : public Exception {
public:
    ENotOffered(const std::string& message, std::string extension, std::string asked, std::string reply)
        : Exception(message), Extension(std::move(extension)), Asked(std::move(asked)), Reply(std::move(reply)) {}
    std::string Extension;
    std::string Asked;
    std::string Reply;
};

// How a mail connection is protected: not at all, by switching to TLS after the greeting
// (POP3 STLS, SMTP STARTTLS), or with TLS from the first byte. The values are those of the
// settings file.
enum class TSecurity { None = 0, StartTls = 1, Implicit = 2 };

// Time limits of the waits on a connection, in ms. Process-wide; tests may shorten them.
struct TNetTimeLimits {
    int IdleMs = 60000;         // no byte arrived or left
    int LineMs = 60000;         // one reply line, from the start of its wait
    int MailBaseMs = 60000;     // one mail: this much ...
    int MailPer64KMs = 1000;    // ... plus this per 64 KB of its listed size
};
inline TNetTimeLimits NetTimeLimits;

using THandlerEvent = std::function<void(bool& Handled)>;
using TOnHostResolved = std::function<void(QObject* Sender)>;
using TOnStatus = std::function<void(QObject* Sender, const std::string& Status)>;

// Private messages of the component's hidden window.
enum : unsigned {
    SocketEventMessage = 1125,    // socket / MAKELONG(network event, error)
    HostLookupMessage = 1126,     // lookup handle / MAKELONG(0, error)
    ContinueSendMessage = 1127,   // posted by the component: send the next chunk
    ContinueReadMessage = 1128,   // posted by the component: receive the next chunk
};

class TAsyncSocket : public QObject {
public:
    // Makes the hidden window, timer and buffers and the first socket; raises ESockError
    // "Initializaton of windows sockets failed" when the system gives no socket.
    explicit TAsyncSocket(QObject* owner = nullptr);
    // Closes the socket without OnDisconnect; a pending host lookup is dropped.
    ~TAsyncSocket() override;
    TAsyncSocket(const TAsyncSocket&) = delete;
    TAsyncSocket& operator=(const TAsyncSocket&) = delete;

    // --- published properties --------------------------------------------------------------
    std::string Host;        // server name or dotted IPv4 address, at most 127 characters
    int Port = 0;
    int TimeOut = 0;         // ms, for host lookup, connect and each TLS handshake; 0 = no limit
    // The certificate (SHA-256, lower-case hex) the user trusts for Host and Port although it
    // fails the CA or name check; empty for none.
    std::string TrustedFingerprint;
    int ReportLevel = 0;     // highest StatusMessage level delivered

    TNotifyEvent OnConnect;            // TCP connection established
    TNotifyEvent OnDisconnect;         // socket closed (not during destruction)
    THandlerEvent OnInvalidHost;       // name did not resolve; may correct Host, set Handled
    TOnHostResolved OnHostResolved;    // a name (not a dotted address) was resolved
    TOnStatus OnStatus;
    TNotifyEvent OnConnectionFailed;   // just before Connect raises for time-out/cancel/error
    THandlerEvent OnConnectionRequired;  // asked once by RequireConnection
    TNotifyEvent OnPacketRecvd;        // bytes arrived while a SendStream runs
    TNotifyEvent OnPacketSent;         // the socket took a chunk while a SendStream runs
    // Hook run by every read notification while Canceled is set; the clients disconnect and
    // clear InBuffer in it.
    std::function<void(QObject* Sender)> OnAbortRead;

    // --- state -------------------------------------------------------------------------------
    bool Connected() const { return connected_; }
    const std::string& Status() const { return status_; }
    int LastSocketError() const { return lastSocketError_; }
    bool Canceled() const { return canceled_; }

    const std::string& LastReply() const { return lastReply_; }   // line end included
    std::int16_t ReplyCode() const { return replyCode_; }
    std::int64_t SentCount() const { return sentCount_; }
    std::int64_t SendSize() const { return sendSize_; }
    std::int64_t ReceivedCount() const { return receivedCount_; }

    // Received bytes no ReadLn has taken yet; kept across operations and across a close,
    // dropped when Connect starts a new connection. Once it holds ReadAheadLimit bytes the
    // socket is read no further until ReadLn has taken some: however much a server sends
    // ahead (answers to commands sent ahead, or more than it listed), the rest waits in the
    // kernel, which holds the server back.
    SocketBuffer InBuffer;
    static constexpr std::size_t ReadAheadLimit = 4 << 20;

    // --- operations --------------------------------------------------------------------------
    // Resolves Host and connects to Port, waiting with the message loop. ESockError:
    // "Already connected", "Host name too long" (128 characters or more), "Host Lookup Timed
    // Out", "Host Lookup Canceled", "Null Remote Address" (name did not resolve), "Connection
    // Timed out", "Connection Canceled", "Connection Failed" (LastSocketError says why, e.g.
    // 10061), or the error text of a connect that failed at once. Clears Canceled first.
    virtual void Connect();
    // Closes the socket (RequestCloseSocket); the clients add their QUIT exchange.
    virtual void Disconnect();
    // Writeln(Command), then ReadReply.
    virtual std::string Transaction(const std::string& Command);
    // The reply line to a command that went out earlier (or a greeting): ReadLn, then
    // LastReply, ReplyCode (leading digits; 0 for "+OK") and, at ReportLevel >= 1, Status. A
    // line longer than MaxLinePiece drops the connection with EProtocolError.
    std::string ReadReply();
    // The clients' user-cancel entry; nothing here.
    virtual void Abort();

    // Turns the open connection into a TLS connection and waits for the handshake (TimeOut
    // applies). Bytes already received and not yet read are refused: they came before the
    // handshake and must not pass for protected ones. ESockError "TLS Handshake Timed out",
    // "TLS Handshake Canceled", "TLS Handshake Failed: <reason>", "Data before TLS
    // handshake"; ECertificateError when the certificate is neither valid for Host nor the
    // trusted one. Every failure closes the connection.
    void StartTls();
    // The connection runs over TLS.
    bool Secure() const;
    // For the log: protocol, cipher and whose certificate, e.g. "TLSv1.3, TLS_AES_256_GCM_SHA384,
    // Zertifikat CN=pop.example.com von CN=Example CA".
    std::string TlsDescription() const;

    // Ends the connection at once, without a goodbye to the server, and forgets what it had
    // sent: for a session whose state is unknown or no longer wanted (a cancel, a time limit,
    // a failed handshake, an answer off the protocol).
    void DropConnection();
    // Every running wait ends on its next turn (EAbortError, or the connect/lookup texts).
    void Cancel();
    // Returns when Connected, else asks OnConnectionRequired once, else raises "Not Connected".
    void RequireConnection();
    // Delivers Text to Status and OnStatus when ReportLevel >= Level.
    void StatusMessage(int Level, const std::string& Text);
    std::string ErrorText(int Code);

    // Queues Length bytes (0: up to the first zero byte) and waits until the socket took them.
    // Returns at once, sending nothing, while Canceled is set. EAbortError "Socket send
    // aborted" when canceled during the wait; ESockError "Connection closed" when the
    // connection ends before everything went out; ETimeoutError when the socket takes nothing
    // for NetTimeLimits.IdleMs (SendStream likewise).
    void SendBuffer(const void* Buffer, std::uint16_t Length);
    // Sends Text up to its first zero character, at most 16385 characters.
    void Write(std::string_view Text);
    void Writeln(std::string_view Text);
    // Sends the whole stream from its start in chunks of at most 16383 bytes; SendSize is its
    // size, SentCount counts what the socket took, OnPacketSent fires per chunk. The stream
    // is read as the socket drains, never copied whole. EAbortError "Socket send aborted"
    // (also when entered while canceled); ESockError "Connection closed".
    void SendStream(std::istream& Stream);
    // The next line from InBuffer, up to and including its LF. EAbortError "Socket readln
    // aborted" while canceled (nothing is taken; Canceled stays set until the next Connect);
    // ESockError "Connection closed" once the connection has ended and no complete line is
    // left; ETimeoutError (the connection dropped) when the line is not complete within
    // NetTimeLimits.LineMs, nothing arrives for IdleMs, or the mail deadline passes.
    // A line longer than MaxLinePiece comes in pieces, as with ReadLn(MaxLinePiece): no server
    // can make a reply, listing or header line grow without bound in memory.
    std::string ReadLn();
    static constexpr std::size_t MaxLinePiece = 1 << 20;
    // The same, but a line longer than MaxLength comes in pieces of MaxLength bytes, the last
    // one with the line end: however long a line the peer sends, no more of it is held.
    std::string ReadLn(std::size_t MaxLength);
    // The same into Line, whose storage is kept: a reader of many lines allocates none per line.
    void ReadLn(std::string& Line, std::size_t MaxLength);

protected:
    // A mail of `listedSize` bytes is being read: its lines must all be there within
    // NetTimeLimits.MailBaseMs plus MailPer64KMs per 64 KB. ClearMailDeadline ends that.
    void SetMailDeadline(std::int64_t listedSize);
    void ClearMailDeadline() { mailDeadline_ = 0; }
    void RequestCloseSocket();
    void ErrorManager(int Expected);

private:
    // One receive or send call moves at most this much; a full receive posts a continuation so
    // that other messages are dispatched between chunks of a long transfer.
    static constexpr std::size_t ChunkSize = 16383;

    void InitWinsock();
    void ResolveHost();
    void TimerOn();
    void TimerOff();
    void TimerFired();
    void NewSocket(bool lingerOff);
    void RecycleSocket();
    void SocketMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam);
    void ReadToStream();
    void WriteFromStream();
    bool RefillOutBuffer();
    void WaitForSend();
    // Hands what is queued to the send handler and waits until it is sent, the send is
    // canceled or the connection is lost.
    void SendQueued();
    // After a send: a cancel (taken back here) or a lost connection throw, and what was left
    // unsent goes.
    void CheckSent();
    // One receive from the socket into InBuffer (through TLS when on); the bytes received.
    long ReceiveChunk();
    // Reads the socket again after InBuffer was full.
    void ResumeReading();
    // One send of plain text (through TLS when on): bytes taken or SOCKET_ERROR.
    long SendChunk(const char* data, std::size_t count);
    // Hands queued TLS output to the socket; true when none is left.
    bool FlushTls();
    void EndTls();
    // Drops the connection and raises the time-limit error.
    [[noreturn]] void TimeLimitExceeded();
    // Whether a wait that last saw traffic at lastTraffic_ and began at `started` is over.
    bool LimitPassed(std::int64_t started, int limitMs) const;

    std::unique_ptr<winsock::HiddenWindow> socketWindow_;
    std::unique_ptr<winsock::TcpSocket> socket_;
    std::unique_ptr<HostLookup> lookup_;
    std::unique_ptr<TThreadTimer> timer_;
    std::unique_ptr<TlsSession> tls_;
    std::string tlsOut_;             // encrypted bytes not yet taken by the socket
    bool tlsWriteWaits_ = false;     // a TLS write needs the server's bytes first
    bool tlsFailed_ = false;
    std::int64_t lastTraffic_ = 0;   // ms, steady clock: a byte last arrived or left
    std::int64_t mailDeadline_ = 0;  // ms, steady clock; 0 for none

    bool connected_ = false;
    std::string status_;
    int lastSocketError_ = 0;

    bool canceled_ = false;
    bool timedOut_ = false;
    bool lookupDone_ = false;
    bool eventOK_ = false;
    bool shuttingDown_ = false;
    bool destroying_ = false;
    std::uint32_t remoteAddress_ = 0;   // network byte order; 0 = unresolved

    SocketBuffer outBuffer_;
    std::istream* sendSource_ = nullptr;   // the stream SendStream is draining
    std::int64_t sendLeft_ = 0;
    bool sendDone_ = false;
    bool inHandler_ = false;
    bool readDeferred_ = false;    // a read notification met the InHandler guard
    bool readPaused_ = false;      // InBuffer is full: the socket waits for ResumeReading
    bool writeDeferred_ = false;
    bool countingTransfer_ = false;

    std::string lastReply_;
    std::int16_t replyCode_ = 0;
    std::int64_t sentCount_ = 0;
    std::int64_t sendSize_ = 0;
    std::int64_t receivedCount_ = 0;
};

} // namespace pb
