#include "net/AsyncSocket.h"

#include "net/TlsSession.h"
#include "platform/AnsiText.h"
#include "platform/Clock.h"
#include "platform/FlagScope.h"
#include "platform/MessageLoop.h"
#include "platform/Resolver.h"
#include "platform/SocketNotify.h"

#include <arpa/inet.h>
#include <algorithm>
#include <cstring>
#include <istream>
#include <utility>

namespace pb {

using namespace winsock;

namespace {

// Write sends at most this many characters of its text.
constexpr std::size_t LineBufferSize = 16385;
// The lookup copies the host name into a buffer of this size, terminator included.
constexpr std::size_t MaxHostLength = 127;

// inet_addr: a dotted IPv4 address in network order, or 0xFFFFFFFF (INADDR_NONE).
std::uint32_t dottedAddress(const std::string& host) {
    in_addr a{};
    if (host.empty() || ::inet_aton(host.c_str(), &a) == 0)
        return INADDR_NONE;
    return a.s_addr;
}

} // namespace

// --- TAsyncSocket: construction -----------------------------------------------------------------

TAsyncSocket::TAsyncSocket(QObject* owner) : QObject(owner) {
    socketWindow_ = std::make_unique<HiddenWindow>(
        [this](unsigned m, std::uintptr_t w, std::intptr_t l) { SocketMessage(m, w, l); });
    timer_ = std::make_unique<TThreadTimer>();
    timer_->SetEnabled(false);
    timer_->SetOnTimer([this](QObject*) { TimerFired(); });
    InitWinsock();
}

TAsyncSocket::~TAsyncSocket() {
    destroying_ = true;
    StatusMessage(8, "Destroy");
    TAsyncSocket::Abort();
    Cancel();
    lookup_.reset();   // a pending lookup must not post to the window below
    timer_.reset();
    sendSource_ = nullptr;
    shuttingDown_ = true;
    try {
        RequestCloseSocket();
    } catch (...) {
        // Nothing to report to during destruction.
    }
    socket_.reset();
    socketWindow_.reset();
}

void TAsyncSocket::InitWinsock() {
    StatusMessage(8, "Initializing Winsock");
    NewSocket(true);
    if (!socket_)
        throw ESockError("Initializaton of windows sockets failed");
}

// A fresh stream socket registered for all six notifications. The first socket of a component
// closes with a reset (linger on, time 0); later ones keep the system's default.
void TAsyncSocket::NewSocket(bool lingerOff) {
    socket_.reset();
    auto s = std::make_unique<TcpSocket>();
    if (!s->valid()) {
        lastSocketError_ = WSAGetLastError();
        return;
    }
    if (lingerOff)
        s->setLinger(true, 0);
    // Commands, headers and the end-of-data line go out as separate small writes; without this
    // each of them could wait for the peer's delayed acknowledgement.
    s->setNoDelay(true);
    if (s->asyncSelect(socketWindow_.get(), SocketEventMessage, FD_ALL_EVENTS) != 0) {
        lastSocketError_ = WSAGetLastError();
        return;
    }
    socket_ = std::move(s);
}

// Replaces a socket whose connect did not succeed: a connect still under way must not complete
// later behind the caller's back.
void TAsyncSocket::RecycleSocket() {
    connected_ = false;
    outBuffer_.Clear();
    if (!shuttingDown_)
        NewSocket(false);
}

// --- status, errors ---------------------------------------------------------------------------------

void TAsyncSocket::StatusMessage(int Level, const std::string& Text) {
    if (ReportLevel < Level)
        return;
    status_ = Text;
    if (!destroying_ && OnStatus)
        OnStatus(this, status_);
}

std::string TAsyncSocket::ErrorText(int Code) {
    StatusMessage(8, "Looking Up Error Message");
    return WinsockErrorText(static_cast<std::uint16_t>(Code));
}

void TAsyncSocket::ErrorManager(int Expected) {
    StatusMessage(16, "Checking Error In Error Manager");
    lastSocketError_ = WSAGetLastError();
    if (lastSocketError_ != Expected)
        throw ESockError(ErrorText(lastSocketError_));
}

// --- connect, close ---------------------------------------------------------------------------------

void TAsyncSocket::Connect() {
    StatusMessage(8, "Connecting");
    canceled_ = false;
    if (connected_)
        throw ESockError("Already connected");
    if (Host.size() > MaxHostLength)
        throw ESockError("Host name too long");
    if (!socket_) {
        NewSocket(false);
        if (!socket_)
            throw ESockError(ErrorText(lastSocketError_));
    }

    int retries = 0;
    auto resolve = [this] {
        try {
            ResolveHost();
        } catch (const EAbortError&) {
            throw;
        } catch (const ESockError& e) {
            const std::string what = e.what();
            if (what == "Host Lookup Timed Out" || what == "Host Lookup Canceled")
                throw;
            // A failed lookup leaves the address unresolved: OnInvalidHost decides below.
        }
    };
    resolve();
    while (remoteAddress_ == 0) {
        if (retries > 0 || !OnInvalidHost)
            throw ESockError("Null Remote Address");
        bool handled = false;
        OnInvalidHost(handled);
        if (!handled)
            throw ESockError("Null Remote Address");
        ++retries;
        if (Host.size() > MaxHostLength)
            throw ESockError("Host name too long");
        resolve();
    }

    // Bytes left from an earlier connection (a mail cut off by the server) must not be taken
    // for the new server's greeting.
    InBuffer.Clear();
    readPaused_ = false;
    EndTls();
    mailDeadline_ = 0;
    eventOK_ = true;
    if (socket_->connect(remoteAddress_, htons(static_cast<std::uint16_t>(Port))) != 0) {
        try {
            ErrorManager(WSAEWOULDBLOCK);
        } catch (...) {
            RecycleSocket();
            throw;
        }
    }

    TimerOn();
    pumpUntil([this] { return connected_ || timedOut_ || canceled_ || !eventOK_; });
    TimerOff();

    if (!timedOut_ && !canceled_ && eventOK_) {
        lastTraffic_ = nowMs();
        return;
    }
    const char* reason = timedOut_ ? "Connection Timed out"
                         : canceled_ ? "Connection Canceled"
                                     : "Connection Failed";
    if (connected_)
        RequestCloseSocket();   // the connect completed in the same turn as the time-out
    else
        RecycleSocket();
    if (OnConnectionFailed)
        OnConnectionFailed(this);
    throw ESockError(reason);
}

void TAsyncSocket::ResolveHost() {
    StatusMessage(8, "Resolve Host");
    const std::uint32_t dotted = dottedAddress(Host);
    if (dotted != INADDR_NONE) {
        remoteAddress_ = dotted;
        return;
    }
    remoteAddress_ = 0;
    TimerOn();
    lookupDone_ = false;
    lookup_ = std::make_unique<HostLookup>(socketWindow_.get(), HostLookupMessage, Host);
    pumpUntil([this] { return lookupDone_ || timedOut_ || canceled_; });
    TimerOff();
    const bool done = lookupDone_;
    LookupResult result;
    if (done)
        result = lookup_->result();
    lookup_.reset();   // an unfinished lookup is dropped: its answer will not be posted
    if (timedOut_)
        throw ESockError("Host Lookup Timed Out");
    if (canceled_)
        throw ESockError("Host Lookup Canceled");
    if (!eventOK_ || result.address == 0)
        throw ESockError("Host Lookup Failed");
    remoteAddress_ = result.address;
    if (OnHostResolved)
        OnHostResolved(this);
}

void TAsyncSocket::TimerOn() {
    StatusMessage(8, "Timer On");
    timedOut_ = false;
    timer_->SetInterval(static_cast<unsigned>(std::max(TimeOut, 0)));
    timer_->SetEnabled(true);
}

void TAsyncSocket::TimerOff() {
    StatusMessage(8, "Timer Off");
    timer_->SetEnabled(false);
}

void TAsyncSocket::TimerFired() {
    StatusMessage(8, "Timer Triggered");
    TimerOff();
    timedOut_ = true;
    Abort();
}

void TAsyncSocket::Disconnect() {
    StatusMessage(8, "Disconnecting");
    RequestCloseSocket();
}

void TAsyncSocket::Abort() {}

void TAsyncSocket::RequestCloseSocket() {
    StatusMessage(4, "Request Close Socket");
    const bool wasConnected = connected_;
    connected_ = false;
    if (!socket_) {
        EndTls();
        return;
    }
    outBuffer_.Clear();   // bytes meant for this connection never go out on the next one
    if (tls_ && tls_->Established() && !tls_->Closed() && wasConnected) {
        // Say goodbye properly when the connection takes it at once; never wait for it.
        tls_->Shutdown();
        tls_->TakeOutput(tlsOut_);
        FlushTls();
    }
    EndTls();
    const int rc = socket_->close();
    socket_.reset();
    if (rc != 0)
        ErrorManager(WSAEWOULDBLOCK);
    if (!destroying_ && OnDisconnect)
        OnDisconnect(this);
    if (!shuttingDown_)
        NewSocket(false);
}

void TAsyncSocket::DropConnection() {
    // After a cancel the socket is replaced even when it holds no connection: a read
    // notification while canceled switched its notifications off, and a connect on it would
    // never hear back.
    if (connected_ || canceled_)
        RequestCloseSocket();
    InBuffer.Clear();
}

void TAsyncSocket::Cancel() {
    StatusMessage(8, "Canceling");
    canceled_ = true;
}

void TAsyncSocket::RequireConnection() {
    int asked = 0;
    while (!connected_) {
        if (asked > 0 || !OnConnectionRequired)
            throw Exception("Not Connected");
        bool handled = false;
        OnConnectionRequired(handled);
        if (!handled)
            throw Exception("Not Connected");
        ++asked;
    }
}

// --- notifications --------------------------------------------------------------------------------

void TAsyncSocket::SocketMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
    try {
        switch (message) {
        case SocketEventMessage: {
            // A notification queued for a socket that has since been closed is stale.
            if (!socket_ || wParam != socket_->handle())
                return;
            eventOK_ = selectError(lParam) == 0;
            switch (selectEvent(lParam)) {
            case FD_READ: ReadToStream(); break;
            case FD_WRITE: WriteFromStream(); break;
            case FD_CONNECT:
                if (eventOK_) {
                    connected_ = true;
                    if (OnConnect)
                        OnConnect(this);
                } else {
                    lastSocketError_ = selectError(lParam);
                }
                break;
            case FD_CLOSE: {
                // Keep what the peer sent before closing: ReadLn still hands it out.
                while (!canceled_ && socket_ && ReceiveChunk() > 0) {
                }
                connected_ = false;
                RequestCloseSocket();
                break;
            }
            default: break;
            }
            break;
        }
        case HostLookupMessage:
            if (!lookup_ || wParam != lookup_->handle())
                return;
            eventOK_ = selectError(lParam) == 0;
            lookupDone_ = true;
            break;
        case ContinueSendMessage: WriteFromStream(); break;
        case ContinueReadMessage: ReadToStream(); break;
        default: break;
        }
    } catch (...) {
        // An exception must not cross the message loop; the waits see the flags instead.
    }
}

// --- data transfer ----------------------------------------------------------------------------------

// InHandler: ReadToStream and WriteFromStream do not nest. A notification turned away by the
// guard is re-posted once the outer handler is done, so its data is not left waiting for a
// notification that WinSock would not send again.
void TAsyncSocket::ReadToStream() {
    if (canceled_) {
        if (socket_)
            socket_->asyncSelect(socketWindow_.get(), SocketEventMessage, 0);
        if (OnAbortRead)
            OnAbortRead(this);
    }
    if (inHandler_) {
        readDeferred_ = true;
        return;
    }
    {
        TFlagScope guard(inHandler_);
        StatusMessage(8, "ReadToStream");
        if (!socket_)
            return;
        if (InBuffer.Size() >= ReadAheadLimit) {
            // Enough waits unread: what the server sends on stays with the kernel, which holds
            // the server back, until ReadLn has taken some.
            readPaused_ = true;
        } else if (const long n = ReceiveChunk(); tls_ && tls_->Closed() && tls_->Established()) {
            // The server ended the TLS session (close_notify) or broke it: as a closed connection.
            connected_ = false;
            RequestCloseSocket();
        } else if (n >= 0) {
            if (countingTransfer_) {
                receivedCount_ += n;
                if (OnPacketRecvd)
                    OnPacketRecvd(this);
            }
            if (static_cast<std::size_t>(n) == ChunkSize)
                socketWindow_->post(ContinueReadMessage, 0, 0);
        }
    }
    if (readDeferred_ || writeDeferred_) {
        if (std::exchange(readDeferred_, false))
            socketWindow_->post(ContinueReadMessage, 0, 0);
        if (std::exchange(writeDeferred_, false))
            socketWindow_->post(ContinueSendMessage, 0, 0);
    }
}

// Keeps at least one chunk queued while a SendStream drains its stream.
bool TAsyncSocket::RefillOutBuffer() {
    if (!sendSource_ || sendLeft_ <= 0 || outBuffer_.Size() >= ChunkSize)
        return true;
    char chunk[4 * ChunkSize];
    const auto want = static_cast<std::streamsize>(std::min<std::int64_t>(sendLeft_, sizeof chunk));
    sendSource_->read(chunk, want);
    const std::streamsize got = sendSource_->gcount();
    if (got <= 0) {
        sendLeft_ = 0;   // the stream ended early: send what there is
        return false;
    }
    outBuffer_.Append(chunk, static_cast<std::size_t>(got));
    sendLeft_ -= got;
    return true;
}

void TAsyncSocket::WriteFromStream() {
    if (inHandler_) {
        writeDeferred_ = true;
        return;
    }
    {
        TFlagScope guard(inHandler_);
        StatusMessage(8, "WriteFromStream");
        RefillOutBuffer();
        const bool flushed = !tls_ || FlushTls();
        if (outBuffer_.Empty() && flushed)
            sendDone_ = true;   // e.g. an empty stream: there is nothing left to wait for
        if (outBuffer_.Empty() || canceled_ || !socket_)
            return;
        const std::size_t count = std::min(outBuffer_.Size(), ChunkSize);
        const long sent = SendChunk(outBuffer_.Data(), count);
        if (sent < 0) {
            lastSocketError_ = WSAGetLastError();
            return;   // the rest goes at the next write notification
        }
        outBuffer_.Consume(static_cast<std::size_t>(sent));
        RefillOutBuffer();
        if (outBuffer_.Empty()) {
            outBuffer_.Clear();
            sendDone_ = tlsOut_.empty();   // else the next write notification finishes it
        } else {
            socketWindow_->post(ContinueSendMessage, 0, 0);
        }
        sentCount_ += sent;
        if (countingTransfer_ && OnPacketSent)
            OnPacketSent(this);
    }
    if (readDeferred_ || writeDeferred_) {
        if (std::exchange(readDeferred_, false))
            socketWindow_->post(ContinueReadMessage, 0, 0);
        if (std::exchange(writeDeferred_, false))
            socketWindow_->post(ContinueSendMessage, 0, 0);
    }
}

void TAsyncSocket::WaitForSend() {
    const std::int64_t started = nowMs();
    bool late = false;
    pumpUntil([&] {
        if (sendDone_ || canceled_ || !connected_)
            return true;
        late = LimitPassed(started, NetTimeLimits.IdleMs);
        return late;
    });
    if (late)
        TimeLimitExceeded();
}

void TAsyncSocket::SendQueued() {
    sendDone_ = false;
    socketWindow_->post(ContinueSendMessage, 0, 0);
    WaitForSend();
}

void TAsyncSocket::CheckSent() {
    if (canceled_) {
        canceled_ = false;
        outBuffer_.Clear();
        throw EAbortError("Socket send aborted");
    }
    if (!sendDone_) {
        outBuffer_.Clear();
        throw ESockError("Connection closed");
    }
}

void TAsyncSocket::SendBuffer(const void* Buffer, std::uint16_t Length) {
    StatusMessage(4, "Sending Buffer");
    if (canceled_)
        return;
    const char* bytes = static_cast<const char*>(Buffer);
    const std::size_t count = Length != 0 ? Length : ::strnlen(bytes, 65535);
    if (count == 0)
        return;   // nothing to wait for
    outBuffer_.Append(bytes, count);
    SendQueued();
    CheckSent();
}

void TAsyncSocket::Write(std::string_view Text) {
    StatusMessage(8, "Write");
    std::string line(Text.substr(0, std::min(Text.size(), LineBufferSize)));
    const std::size_t zero = line.find('\0');
    if (zero != std::string::npos)
        line.resize(zero);
    // An empty text gives length 0, which SendBuffer reads up to the terminator: nothing.
    SendBuffer(line.c_str(), static_cast<std::uint16_t>(line.size()));
}

void TAsyncSocket::Writeln(std::string_view Text) {
    StatusMessage(8, "Writeln");
    std::string line(Text);
    line += "\r\n";
    Write(line);
}

void TAsyncSocket::SendStream(std::istream& Stream) {
    countingTransfer_ = true;
    StatusMessage(8, "SendStream");
    struct Finish {
        TAsyncSocket* self;
        ~Finish() {
            self->countingTransfer_ = false;
            self->sendSource_ = nullptr;
            self->sendLeft_ = 0;
        }
    } finish{this};

    if (!canceled_) {
        Stream.clear();
        Stream.seekg(0, std::ios::end);
        const std::streamoff size = Stream.tellg();
        Stream.seekg(0, std::ios::beg);
        StatusMessage(8, "SendFile");
        sentCount_ = 0;
        sendSize_ = size > 0 ? size : 0;
        sendSource_ = &Stream;
        sendLeft_ = sendSize_;
        SendQueued();
    }
    CheckSent();
}

std::string TAsyncSocket::ReadLn() { return ReadLn(MaxLinePiece); }

std::string TAsyncSocket::ReadLn(std::size_t MaxLength) {
    std::string line;
    ReadLn(line, MaxLength);
    return line;
}

void TAsyncSocket::ReadLn(std::string& Line, std::size_t MaxLength) {
    StatusMessage(8, "ReadLn");
    // The bytes that make the next piece: up to and including the LF, or MaxLength of them.
    auto pieceLength = [this, MaxLength]() -> std::size_t {
        const std::size_t lf = InBuffer.FindLF();
        if (lf != SocketBuffer::npos && lf < MaxLength)
            return lf + 1;
        return InBuffer.Size() >= MaxLength ? MaxLength : 0;
    };
    std::size_t length = canceled_ ? 0 : pieceLength();
    if (length == 0 && !canceled_) {
        if (readPaused_)
            ResumeReading();   // never left waiting for bytes it does not read
        const std::int64_t started = nowMs();
        bool late = false;
        pumpUntil([&] {
            if (canceled_ || !connected_)
                return true;
            length = pieceLength();
            if (length != 0)
                return true;
            late = LimitPassed(started, NetTimeLimits.LineMs);
            return late;
        });
        if (late && !canceled_)
            TimeLimitExceeded();
        // The close notification buffers the peer's last bytes before it clears Connected.
        if (!canceled_ && length == 0)
            length = pieceLength();
    }
    if (canceled_)
        throw EAbortError("Socket readln aborted");
    if (length == 0)
        throw ESockError("Connection closed");
    Line.assign(InBuffer.Data(), length);
    InBuffer.Consume(length);
    if (readPaused_ && InBuffer.Size() < ReadAheadLimit)
        ResumeReading();
}

void TAsyncSocket::ResumeReading() {
    readPaused_ = false;
    if (socket_)
        socketWindow_->post(ContinueReadMessage, 0, 0);
}

std::string TAsyncSocket::Transaction(const std::string& Command) {
    StatusMessage(8, "Transaction");
    replyCode_ = 0;
    Writeln(Command);
    return ReadReply();
}

std::string TAsyncSocket::ReadReply() {
    replyCode_ = 0;
    lastReply_ = ReadLn();
    // A reply is one line; the rest of one longer than any server writes (a greeting of 50 MB)
    // would be read as the answer to the next command.
    if (lastReply_.size() == MaxLinePiece && lastReply_.back() != '\n') {
        lastReply_.clear();
        DropConnection();
        throw EProtocolError("Protocol error: reply line longer than 1 MB");
    }
    if (!lastReply_.empty()) {
        StatusMessage(1, lastReply_);
        std::int64_t value = 0;
        int digits = 0;
        for (std::size_t i = 0; i < lastReply_.size() && i < 10; ++i) {
            const char c = lastReply_[i];
            if (c < '0' || c > '9')
                break;
            value = value * 10 + (c - '0');
            ++digits;
        }
        if (digits > 0)
            replyCode_ = value <= 32767 ? static_cast<std::int16_t>(value) : 0;
    }
    return lastReply_;
}

// --- time limits ------------------------------------------------------------------------------------

bool TAsyncSocket::LimitPassed(std::int64_t started, int limitMs) const {
    const std::int64_t now = nowMs();
    return now - started > limitMs || now - std::max(started, lastTraffic_) > NetTimeLimits.IdleMs ||
           (mailDeadline_ != 0 && now > mailDeadline_);
}

void TAsyncSocket::SetMailDeadline(std::int64_t listedSize) {
    const std::int64_t blocks = (std::max<std::int64_t>(listedSize, 0) + 65535) / 65536;
    mailDeadline_ = nowMs() + NetTimeLimits.MailBaseMs + blocks * NetTimeLimits.MailPer64KMs;
}

void TAsyncSocket::TimeLimitExceeded() {
    StatusMessage(8, "Time limit exceeded");
    mailDeadline_ = 0;
    // The server's idea of where the dialogue stands is unknown now: the connection goes.
    DropConnection();
    throw ETimeoutError(ansi("Zeitüberschreitung: der Server antwortet nicht") + " (" + Host + ")");
}

} // namespace pb
