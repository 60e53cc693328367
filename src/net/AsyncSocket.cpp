#include "net/AsyncSocket.h"

#include "net/TlsSession.h"
#include "platform/AnsiText.h"
#include "platform/MessageBoxes.h"
#include "platform/MessageLoop.h"
#include "platform/Resolver.h"
#include "platform/SocketNotify.h"

#include <QTimerEvent>

#include <arpa/inet.h>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <istream>
#include <utility>

namespace pb {

using namespace winsock;

namespace {

// One receive or send call moves at most this much; a full receive posts a continuation so
// that other messages are dispatched between chunks of a long transfer.
constexpr std::size_t ChunkSize = 16383;
// Write sends at most this many characters of its text.
constexpr std::size_t LineBufferSize = 16385;
// The lookup copies the host name into a buffer of this size, terminator included.
constexpr std::size_t MaxHostLength = 127;

struct ErrorEntry {
    int code;
    const char* text;
};

constexpr ErrorEntry ErrorTable[] = {
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Operation would block"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on non-socket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Wrong protocol type for socket"},
    {10042, "Bad protocol option"},
    {10043, "Protocol not supported"},
    {10044, "Socket type not supported"},
    {10045, "Operation not supported on socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported by protocol family"},
    {10048, "Address already in use"},
    {10049, "Can't assign requested address"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Network dropped connection or reset"},
    {10053, "Software caused connection abort"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after socket shutdown"},
    {10059, "Too many references, can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name too long"},
    {10064, "Host is down"},
    {10065, "No route to Host"},
    {10066, "Directory not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disc quota exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network subsystem is unavailable"},
    {10092, "Incompatible version of WINSOCK.DLL"},
    {10093, "Successful WSAStartup not yet performed"},
    {11001, "Host not found"},
    {11002, "Non-Authoritative Host not found"},
    {11003, "Non-Recoverable error: FORMERR, REFUSED, NOTIMP"},
    {11004, "Valid name, no data record of requested type"},
    {0, "Unrecognized error code"},
};

std::int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// inet_addr: a dotted IPv4 address in network order, or 0xFFFFFFFF (INADDR_NONE).
std::uint32_t dottedAddress(const std::string& host) {
    in_addr a{};
    if (host.empty() || ::inet_aton(host.c_str(), &a) == 0)
        return INADDR_NONE;
    return a.s_addr;
}

} // namespace

// --- SocketBuffer ------------------------------------------------------------------------------

void SocketBuffer::Append(const char* bytes, std::size_t count) {
    if (count == 0)
        return;
    std::memcpy(Reserve(count), bytes, count);
    Commit(count);
}

char* SocketBuffer::Reserve(std::size_t count) {
    if (capacity_ - end_ >= count)
        return data_.get() + end_;
    const std::size_t held = Size();
    if (held + count <= capacity_) {
        // The consumed front makes the room: the bytes held move down.
        std::memmove(data_.get(), Data(), held);
    } else {
        const std::size_t capacity = std::max(capacity_ * 2, held + count);
        auto grown = std::make_unique_for_overwrite<char[]>(capacity);
        if (held != 0)
            std::memcpy(grown.get(), Data(), held);
        data_ = std::move(grown);
        capacity_ = capacity;
    }
    start_ = 0;
    end_ = held;
    return data_.get() + end_;
}

void SocketBuffer::Consume(std::size_t count) {
    count = std::min(count, Size());
    start_ += count;
    scanned_ = scanned_ > count ? scanned_ - count : 0;
    if (start_ == end_)
        Clear();
}

void SocketBuffer::Clear() {
    // A single huge line should not pin its storage for the life of the component.
    if (capacity_ > 4 * 1024 * 1024) {
        data_.reset();
        capacity_ = 0;
    }
    start_ = 0;
    end_ = 0;
    scanned_ = 0;
}

std::size_t SocketBuffer::FindLF() {
    const std::size_t size = Size();
    if (scanned_ >= size)
        return npos;
    const char* from = Data() + scanned_;
    const void* hit = std::memchr(from, '\n', size - scanned_);
    if (!hit) {
        scanned_ = size;
        return npos;
    }
    const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(hit) - Data());
    scanned_ = at;
    return at;
}

// --- TThreadTimer -------------------------------------------------------------------------------

TThreadTimer::TThreadTimer(QObject* owner) : QObject(owner) {}

TThreadTimer::~TThreadTimer() {
    enabled_ = false;
    rearm();
}

void TThreadTimer::SetInterval(unsigned ms) {
    if (ms == interval_)
        return;
    interval_ = ms;
    rearm();
}

void TThreadTimer::SetEnabled(bool enabled) {
    if (enabled == enabled_)
        return;
    enabled_ = enabled;
    rearm();
}

void TThreadTimer::SetOnTimer(TNotifyEvent handler) {
    onTimer_ = std::move(handler);
    rearm();
}

void TThreadTimer::rearm() {
    if (timerId_ != 0) {
        killTimer(timerId_);
        timerId_ = 0;
    }
    if (interval_ != 0 && enabled_ && onTimer_) {
        timerId_ = startTimer(static_cast<int>(std::min<unsigned>(interval_, 0x7FFFFFFF)));
        if (timerId_ == 0)
            throw Exception("No Timer");
    }
}

void TThreadTimer::timerEvent(QTimerEvent* e) {
    if (e->timerId() != timerId_ || !onTimer_)
        return;
    try {
        onTimer_(this);
    } catch (const std::exception& ex) {
        showException(ex);
    }
}

// --- free functions -------------------------------------------------------------------------------

std::string WinsockErrorText(int code) {
    if (code == 0)
        return {};
    for (const auto& e : ErrorTable)
        if (e.code == code)
            return std::to_string(code) + ":" + e.text;
    return "Unknown Error No. " + std::to_string(code);
}

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

namespace {
// InHandler: ReadToStream and WriteFromStream do not nest. A notification turned away by the
// guard is re-posted once the outer handler is done, so its data is not left waiting for a
// notification that WinSock would not send again.
class HandlerGuard {
public:
    HandlerGuard(bool& flag) : flag_(flag) { flag_ = true; }
    ~HandlerGuard() { flag_ = false; }
    HandlerGuard(const HandlerGuard&) = delete;
    HandlerGuard& operator=(const HandlerGuard&) = delete;

private:
    bool& flag_;
};
} // namespace

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
        HandlerGuard guard(inHandler_);
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
        HandlerGuard guard(inHandler_);
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

} // namespace pb

namespace pb {

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

// --- TLS ----------------------------------------------------------------------------------------------

long TAsyncSocket::ReceiveChunk() {
    // Plain bytes are received straight into the buffer; TLS records go through `chunk` and
    // the session, whose plain text again lands in the buffer itself.
    char chunk[ChunkSize];
    const long n = socket_->recv(tls_ ? chunk : InBuffer.Reserve(ChunkSize), ChunkSize);
    if (n < 0) {
        lastSocketError_ = WSAGetLastError();
        return n;
    }
    if (n > 0)
        lastTraffic_ = nowMs();
    if (!tls_) {
        InBuffer.Commit(static_cast<std::size_t>(n));
        return n;
    }
    tls_->Feed(chunk, static_cast<std::size_t>(n));
    if (!tls_->Established() && tls_->Handshake() == TlsSession::Step::Failed)
        tlsFailed_ = true;
    if (tls_->Established()) {
        long m = 0;
        while ((m = tls_->Read(InBuffer.Reserve(ChunkSize), ChunkSize)) > 0)
            InBuffer.Commit(static_cast<std::size_t>(m));
    }
    // Handshake messages, renegotiation, key updates and alerts answer at once.
    tls_->TakeOutput(tlsOut_);
    FlushTls();
    if (std::exchange(tlsWriteWaits_, false))
        socketWindow_->post(ContinueSendMessage, 0, 0);
    return n;
}

long TAsyncSocket::SendChunk(const char* data, std::size_t count) {
    if (!tls_) {
        const long n = socket_->send(data, count);
        if (n > 0)
            lastTraffic_ = nowMs();
        return n;
    }
    if (!FlushTls()) {
        WSASetLastError(WSAEWOULDBLOCK);
        return SOCKET_ERROR;
    }
    const long n = tls_->Write(data, count);
    if (n == 0) {
        tlsWriteWaits_ = true;   // the next read notification brings what it needs
        WSASetLastError(WSAEWOULDBLOCK);
        return SOCKET_ERROR;
    }
    if (n < 0) {
        // A broken session cannot carry anything more: as a lost connection.
        connected_ = false;
        RequestCloseSocket();
        WSASetLastError(WSAECONNABORTED);
        return SOCKET_ERROR;
    }
    tls_->TakeOutput(tlsOut_);
    FlushTls();
    return n;
}

bool TAsyncSocket::FlushTls() {
    std::size_t sent = 0;
    while (sent < tlsOut_.size() && socket_) {
        const long n = socket_->send(tlsOut_.data() + sent, tlsOut_.size() - sent);
        if (n <= 0) {
            if (n < 0)
                lastSocketError_ = WSAGetLastError();
            break;   // a write notification follows when there is room again
        }
        sent += static_cast<std::size_t>(n);
        lastTraffic_ = nowMs();
    }
    tlsOut_.erase(0, sent);
    return tlsOut_.empty();
}

void TAsyncSocket::EndTls() {
    tls_.reset();
    tlsOut_.clear();
    tlsWriteWaits_ = false;
    tlsFailed_ = false;
}

bool TAsyncSocket::Secure() const {
    return tls_ && tls_->Established();
}

std::string TAsyncSocket::TlsDescription() const {
    if (!Secure())
        return {};
    const TlsPeer peer = tls_->Peer();
    return peer.Protocol + ", " + peer.Cipher + ", Zertifikat " + peer.Subject + " von " + peer.Issuer;
}

void TAsyncSocket::StartTls() {
    StatusMessage(8, "Start TLS");
    if (!connected_ || !socket_)
        throw Exception("Not Connected");
    auto fail = [this](const std::string& why) {
        DropConnection();
        throw ESockError(why);
    };
    // Whatever came with or after the server's go-ahead was sent before the protection began;
    // taken into the protected session it could pass for the server's protected answer.
    if (!InBuffer.Empty())
        fail("Data before TLS handshake");
    try {
        tls_ = std::make_unique<TlsSession>(Host);
    } catch (const ESockError& e) {
        fail(e.what());
    }
    tlsFailed_ = false;
    if (tls_->Handshake() == TlsSession::Step::Failed)
        tlsFailed_ = true;
    tls_->TakeOutput(tlsOut_);   // the ClientHello
    FlushTls();

    TimerOn();
    pumpUntil([this] {
        return !connected_ || !tls_ || tls_->Established() || tlsFailed_ || timedOut_ || canceled_;
    });
    TimerOff();
    if (!(connected_ && tls_ && tls_->Established() && !tlsFailed_)) {
        std::string why = timedOut_   ? "TLS Handshake Timed out"
                          : canceled_ ? "TLS Handshake Canceled"
                                      : "TLS Handshake Failed: ";
        if (!timedOut_ && !canceled_)
            why += tls_ && !tls_->Error().empty() ? tls_->Error() : std::string("Connection closed");
        fail(why);
    }

    const TlsPeer peer = tls_->Peer();
    if (!tls_->Verified() && (TrustedFingerprint.empty() || peer.Fingerprint != TrustedFingerprint)) {
        const std::string reason = tls_->VerifyFailure();
        DropConnection();
        throw ECertificateError(ansi("Zertifikat von ") + Host + ansi(" abgelehnt: ") + reason +
                                    ansi(". SHA-256-Fingerabdruck: ") + peer.Fingerprint,
                                Host, Port, reason, peer.Fingerprint, TrustedFingerprint);
    }
    lastTraffic_ = nowMs();
}

} // namespace pb
