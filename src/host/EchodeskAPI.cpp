#include "host/EchodeskAPI.h"

#include "platform/FlagScope.h"
#include "platform/HostWindow.h"
#include "platform/MessageLoop.h"
#include "platform/PageRelease.h"
#include "platform/Session.h"

#include <QCoreApplication>
#include <QEvent>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace pb {

// ---- Worker state -----------------------------------------------------------------------------

// The worker thread's state, shared by the component and the worker. The worker holds it for its
// whole life, so the component may abandon a worker (one that did not start in time, or will
// not stop) without leaving it a dangling pointer: the worker reaches the component only
// through `owner`, under the lock, and the component clears `owner` before it goes.
struct TPluginAPI {
    std::mutex lock;
    std::condition_variable ready;
    bool started = false;
    TEchodeskAPI* owner = nullptr;
    TPluginInfo info{};                  // the description as of the last Connect
    std::atomic<std::uint32_t> tid{0};
    std::atomic<bool> stop{false};       // asked to end (in case its 1040 cannot be posted)
    std::atomic<bool> finished{false};
    // The host's process (the kernel's pid of its window): the worker takes messages from it
    // and from its own process only. 0 while no host is known.
    std::atomic<pid_t> hostPid{0};
    int replyTimeoutMs = 30000;
};

namespace {

constexpr int kWorkerStartMs = 1000;
constexpr int kWorkerStopMs = 3000;
constexpr int kHostCheckMs = 250;     // how often a reply wait looks whether the host is alive
constexpr int kHostWatchMs = 1000;    // how often a connected component looks at the host
constexpr int kWorkerSliceMs = 100;   // how often an idle worker looks whether it must end

// The host ended the connection (1029 forwarded from the worker).
const QEvent::Type kServerDisconnectEvent = static_cast<QEvent::Type>(QEvent::User + 1029);
// A host command forwarded from the worker (1048); owns its copy of the message.
const QEvent::Type kForwardEvent = static_cast<QEvent::Type>(QEvent::User + 1048);

struct ForwardEvent : QEvent {
    explicit ForwardEvent(const tagMSG& m) : QEvent(kForwardEvent), msg(m) {}
    tagMSG msg;
};

// Posts a command with a fresh sequence number, which its reply will carry; 0 when the
// command cannot be posted.
std::uint32_t postCommand(std::uint32_t tid, std::uint32_t message, std::uintptr_t wParam,
                          std::intptr_t lParam) {
    const std::uint32_t seq = nextSequence();
    return postThreadMessage(tid, message, wParam, lParam, seq) ? seq : 0;
}

// The wait for a command's reply, shared by the GUI thread and the worker. Only the reply of the
// thread the command went to, from the host's process, carrying the command's sequence number,
// answers it; any other 1027 (a late answer to a command that gave up, or one that is not the
// host's at all) is thrown away. A reply that came while the thread was busy elsewhere is
// waiting in the queue and is taken first.
bool awaitReply(std::uint32_t tid, pid_t hostPid, std::uint32_t seq, std::int32_t& reply,
                std::chrono::steady_clock::time_point deadline,
                const std::atomic<bool>* cancel = nullptr) {
    for (;;) {
        tagMSG msg;
        MessageOrigin from;
        switch (waitMessage(msg, edapi::Reply, edapi::Reply, kHostCheckMs, true, &from)) {
        case WaitResult::Message:
            if (from.tid != tid || from.pid != hostPid || from.seq != seq)
                break;
            reply = static_cast<std::int32_t>(msg.lParam);
            return true;
        case WaitResult::Timeout:
            if (!threadHasQueue(tid) || std::chrono::steady_clock::now() >= deadline ||
                (cancel && *cancel))
                return false;
            break;
        case WaitResult::Quit:
        case WaitResult::Error:
            return false;
        }
    }
}

std::chrono::steady_clock::time_point deadlineIn(int limitMs) {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
}

bool postAndWait(std::uint32_t tid, pid_t hostPid, std::uint32_t message, std::uintptr_t wParam,
                 std::intptr_t lParam, std::int32_t& reply, int limitMs,
                 const std::atomic<bool>* cancel = nullptr) {
    discardMessages(edapi::Reply);
    const std::uint32_t seq = postCommand(tid, message, wParam, lParam);
    return seq != 0 && awaitReply(tid, hostPid, seq, reply, deadlineIn(limitMs), cancel);
}

// The store block a thread keeps between its stores. Making, sizing, mapping and removing a
// block for every mail cost about as much as converting the mail, so a thread keeps the block
// it made and fills it again; only a record larger than KeptStoreBlockMax gets a block of its
// own, removed once the host has answered, so that one huge mail does not stay in memory.
// A failed store removes the block (the next one starts afresh), and a block whose name no
// longer leads to it is let go: then the name is someone else's and the store fails.
constexpr std::size_t KeptStoreBlockMin = 16 * 1024;
constexpr std::size_t KeptStoreBlockMax = 1024 * 1024;

struct KeptStoreBlock {
    std::unique_ptr<TSharedMem> block;
    void drop() { block.reset(); }
};
thread_local KeptStoreBlock t_storeBlock;

// The block to store a record of `size` bytes in: the kept one when it fits, else a new one
// (kept when small enough, else in `oneOff`); null when no block of our own can be made.
TSharedMem* storeBlock(std::size_t size, std::unique_ptr<TSharedMem>& oneOff) {
    std::unique_ptr<TSharedMem>& kept = t_storeBlock.block;
    if (kept && !kept->stillNamed()) {
        kept->forgetName();
        kept.reset();
    }
    if (kept && size <= kept->Size())
        return kept.get();
    kept.reset();
    const std::string name = edapi::blockName(edapi::BlkStoreNew, currentThreadId());
    std::size_t capacity = KeptStoreBlockMin;
    while (capacity < size && capacity < KeptStoreBlockMax)
        capacity *= 2;
    std::unique_ptr<TSharedMem>& slot = size <= capacity ? kept : oneOff;
    slot = std::make_unique<TSharedMem>(name, std::max(size, capacity));
    if (!slot->acceptableParameter() && capacity > size) {
        slot.reset();   // room for growth refused (a file size limit): the record's own size
        slot = std::make_unique<TSharedMem>(name, size);
    }
    if (!slot->acceptableParameter()) {
        slot.reset();
        return nullptr;
    }
    return slot.get();
}

// Posts an event to the component if it is still there.
void postToOwner(TPluginAPI& s, QEvent* e) {
    std::lock_guard<std::mutex> g(s.lock);
    if (s.owner)
        QCoreApplication::postEvent(s.owner, e);
    else
        delete e;
}

// The description request: hand the host the 784-byte block under our own thread id.
void answerDescription(TPluginAPI& s, std::uint32_t hostTid, pid_t hostPid) {
    TSharedMem block(edapi::blockName(edapi::BlkPluginInfo, s.tid), sizeof(TPluginInfo));
    if (!block.acceptableParameter())
        return;
    int limit;
    {
        std::lock_guard<std::mutex> g(s.lock);
        std::memcpy(block.Data(), &s.info, sizeof s.info);
        limit = s.replyTimeoutMs;
    }
    std::int32_t reply = 0;
    postAndWait(hostTid, hostPid, edapi::Reply, 0, 0, reply, limit, &s.stop);
}

void runWorker(std::shared_ptr<TPluginAPI> s) {
    bool ok = ensureMessageQueue();
    s->tid = currentThreadId();
    {
        std::lock_guard<std::mutex> g(s->lock);
        s->started = ok;
    }
    s->ready.notify_all();
    while (ok && !s->stop) {
        {
            std::lock_guard<std::mutex> g(s->lock);
            if (!s->owner)
                break;   // abandoned by the component
        }
        tagMSG msg;
        MessageOrigin from;
        WaitResult r =
            waitMessage(msg, edapi::FirstMessage, edapi::LastMessage, kWorkerSliceMs, false, &from);
        if (r == WaitResult::Timeout)
            continue;
        if (r != WaitResult::Message)
            break;
        const pid_t host = s->hostPid;
        if (msg.message == edapi::StopWorker && from.pid == ::getpid())
            break;
        if (host == 0 || from.pid != host)
            continue;   // not the host we attached to: it has nothing to say to us
        if (msg.message == edapi::Detach)
            postToOwner(*s, new QEvent(kServerDisconnectEvent));
        else if (msg.message == edapi::DescriptionReq)
            answerDescription(*s, static_cast<std::uint32_t>(msg.lParam), host);
        else
            postToOwner(*s, new ForwardEvent(msg));
    }
    s->finished = true;
}

void copyInfo(TPluginInfo& info, const TEchodeskAPI& c) {
    info = TPluginInfo{};
    info.PIName.assign(c.PIName);
    info.PICopyright.assign(c.PICopyright);
    info.PIDescription.assign(c.PIDescription);
    info.PIVersion = c.PIVersion;
    info.PIRevision = c.PIRevision;
    info.PIAPIRequiered = c.PIAPIRequiered;
    info.PIAPISupported = c.PIAPISupported;
}

// A record into the parameter block, a step at a time; with `consume`, the pieces copied go
// back to the system on the way (the source is not read again). That pays only for a record
// larger than one step: for a smaller one, the system call and the page faults when the heap
// reuses the memory cost more than holding it until it is freed. `between` is called after each
// step but the last: a record near the limit takes a tenth of a second to copy.
void copyRecord(std::uint8_t* to, const std::uint8_t* from, std::size_t size, bool consume,
                const std::function<void()>& between) {
    consume = consume && size > ReleaseStep;
    for (std::size_t done = 0; done < size;) {
        const std::size_t n = std::min(ReleaseStep, size - done);
        std::memcpy(to + done, from + done, n);
        if (consume)
            ReleasePages(const_cast<std::uint8_t*>(from) + done, n);
        done += n;
        if (between && done < size)
            between();
    }
}

} // namespace

// ---- Records ----------------------------------------------------------------------------------

TNewMsg::TNewMsg(std::string_view text) : buf_(sizeof(TNewMsgHeader) + text.size() + 1, '\0') {
    Header().Size = static_cast<std::int32_t>(buf_.size());
    std::memcpy(buf_.data() + sizeof(TNewMsgHeader), text.data(), text.size());
}

TNewMsg TNewMsg::Adopt(std::string record) {
    if (record.size() <= sizeof(TNewMsgHeader))
        record.resize(sizeof(TNewMsgHeader) + 1, '\0');
    TNewMsg rec;
    rec.buf_ = std::move(record);
    rec.Header().Size = static_cast<std::int32_t>(rec.buf_.size());
    return rec;
}

TMsgBlock::TMsgBlock(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {
    std::size_t pos = sizeof(HostMsgBlockHeader);
    for (auto& field : fields_) {
        if (pos >= bytes_.size())
            break;
        const auto* start = bytes_.data() + pos;
        const void* nul = std::memchr(start, 0, bytes_.size() - pos);
        std::size_t len = nul ? static_cast<const std::uint8_t*>(nul) - start : bytes_.size() - pos;
        field.assign(reinterpret_cast<const char*>(start), len);
        pos += len + 1;
    }
}

// ---- Component --------------------------------------------------------------------------------

TEchodeskAPI::TEchodeskAPI(QObject* owner) : QObject(owner) {
    ensureMessageQueue();   // replies to the GUI thread's commands arrive here
    startWorker();
    watch_ = new QTimer(this);
    watch_->setInterval(kHostWatchMs);
    connect(watch_, &QTimer::timeout, this, [this] { hostGoneCheck(); });
}

TEchodeskAPI::~TEchodeskAPI() {
    destroying_ = true;
    Disconnect();
    stopWorker();
}

void TEchodeskAPI::startWorker() {
    auto s = std::make_shared<TPluginAPI>();
    s->owner = this;
    s->replyTimeoutMs = ReplyTimeoutMs;
    copyInfo(s->info, *this);
    std::thread(runWorker, s).detach();
    std::unique_lock<std::mutex> g(s->lock);
    bool up = s->ready.wait_for(g, std::chrono::milliseconds(kWorkerStartMs),
                                [&] { return s->started || s->finished.load(); });
    if (up && s->started) {
        worker_ = std::move(s);
        return;
    }
    // Not ready in time: let it go. When it runs at last it finds no owner and ends; Connect
    // tries again with a new worker.
    s->owner = nullptr;
}

void TEchodeskAPI::stopWorker() {
    if (!worker_)
        return;
    std::shared_ptr<TPluginAPI> s = std::move(worker_);
    postThreadMessage(s->tid, edapi::StopWorker, 0, 0);
    s->stop = true;   // ends it even when the 1040 cannot reach it
    for (int waited = 0; !s->finished && waited < kWorkerStopMs; waited += 50)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::lock_guard<std::mutex> g(s->lock);
    s->owner = nullptr;
}

std::uint32_t TEchodeskAPI::WorkerThreadId() const { return worker_ ? worker_->tid.load() : 0; }

void TEchodeskAPI::Loaded() {
    if (AutoConnect)
        Connect();
}

void TEchodeskAPI::Connect() {
    if (connected_)
        return;
    if (OnConnecting)
        OnConnecting();
    if (worker_ && worker_->finished)
        worker_.reset();
    if (!worker_)
        startWorker();
    if (worker_) {
        {
            std::lock_guard<std::mutex> g(worker_->lock);
            copyInfo(worker_->info, *this);
            worker_->replyTimeoutMs = ReplyTimeoutMs;
        }
        std::string cls(edapi::HostWindowClass);
        std::intptr_t hostTid = 0;
        pid_t windowPid = 0, answeredPid = 0;
        // The worker must know the host before the attach: the host asks it for the
        // description while the attach is still being answered.
        bool found = findWindow(cls, &windowPid);
        worker_->hostPid = windowPid;
        if (found &&
            sendWindowMessage(cls, edapi::Attach, worker_->tid, currentThreadId(), hostTid, 10000,
                              &answeredPid) &&
            answeredPid == windowPid && hostTid != 0 &&
            threadOfProcess(windowPid, static_cast<std::uint32_t>(hostTid))) {
            hostTid_ = static_cast<std::uint32_t>(hostTid);
            hostPid_ = windowPid;
            connected_ = true;
            std::int32_t version = 0;
            if (!PostAndWait(hostTid_, edapi::Version, 0, 0, version)) {
                Disconnect();
            } else {
                hostVersion_ = version;
                if (hostVersion_ < PIAPIRequiered) {
                    Disconnect();
                    if (OnWrongVersion)
                        OnWrongVersion();
                } else {
                    for (int i = 0; i < Services.Count(); ++i) {
                        TPluginService* svc = Services.Items(i);
                        if (!connected_ || !svc->Active)
                            continue;
                        TServiceInfo info;
                        info.Kind = svc->Kind;
                        info.Text1.assign(svc->Text1);
                        info.Text2.assign(svc->Text2);
                        info.Command = svc->Command;
                        svc->Handle = RegisterService(info);
                    }
                    watch_->start();
                    attached_ = true;
                    if (OnConnected)
                        OnConnected();
                }
            }
        }
    }
    if (!connected_ && OnConnectFailed)
        OnConnectFailed();
}

void TEchodeskAPI::detach() {
    postThreadMessage(hostTid_, edapi::Detach, 0, 0);
    connected_ = false;
    attached_ = false;
    watch_->stop();
    if (!destroying_)
        DoDisconnected();
}

void TEchodeskAPI::Disconnect() {
    if (!connected_)
        return;
    try {
        if (!destroying_)
            DoDisconnecting();
    } catch (...) {
        // The host must still learn that the plug-in left, or it would keep its area open.
        detach();
        throw;
    }
    detach();
}

void TEchodeskAPI::DoDisconnecting() {
    if (OnDisconnecting)
        OnDisconnecting();
}

void TEchodeskAPI::DoDisconnected() {
    if (OnDisconnected)
        OnDisconnected();
}

void TEchodeskAPI::DoServerDisconnected() {
    if (!connected_)
        return;
    connected_ = false;
    attached_ = false;
    watch_->stop();
    if (!destroying_ && OnServerDisconnected)
        OnServerDisconnected();
}

void TEchodeskAPI::hostGoneCheck() {
    if (connected_ && !threadHasQueue(hostTid_))
        DoServerDisconnected();
}

bool TEchodeskAPI::event(QEvent* e) {
    if (e->type() == kServerDisconnectEvent) {
        DoServerDisconnected();
        return true;
    }
    if (e->type() == kForwardEvent) {
        dispatch(static_cast<ForwardEvent*>(e)->msg);
        return true;
    }
    return QObject::event(e);
}

void TEchodeskAPI::dispatch(const tagMSG& msg) {
    for (int i = 0; i < Services.Count(); ++i) {
        TPluginService* svc = Services.Items(i);
        if (svc->Active && svc->Command >= 0 &&
            static_cast<std::uint32_t>(svc->Command) == msg.message) {
            svc->HandleCommand(msg);
            return;
        }
    }
    if (OnCommand)
        OnCommand(msg);
}

bool TEchodeskAPI::PostAndWait(std::uint32_t Tid, std::uint32_t Msg, std::uintptr_t WParam,
                               std::intptr_t LParam, std::int32_t& Reply) {
    const std::uint32_t seq = post(Tid, Msg, WParam, LParam);
    return seq != 0 && awaitReply(Tid, hostPid_, seq, Reply, deadlineIn(ReplyTimeoutMs));
}

bool TEchodeskAPI::SendParamBlock(std::uint32_t Msg, std::string_view Prefix,
                                  const std::string& Param, std::int32_t& Reply) {
    std::size_t size = Param.size() + 1;
    TSharedMem block(edapi::blockName(Prefix, currentThreadId()), size);
    if (!block.acceptableParameter())
        return false;
    std::memcpy(block.Data(), Param.data(), Param.size());
    block.Bytes()[Param.size()] = 0;
    return PostAndWait(hostTid_, Msg, 0, static_cast<std::intptr_t>(size), Reply);
}

void TEchodeskAPI::ReleaseResult() {
    if (connected_)
        postThreadMessage(hostTid_, edapi::Release, 0, 0);
}

void TEchodeskAPI::checkConnected(const char* text) const {
    if (!connected_)
        throw ENotConnected(text);
}

// ---- Host operations --------------------------------------------------------------------------

namespace {
constexpr const char* kNotConnected = "Not connected to Echodesk";
constexpr const char* kNotConnectedX = "Not connected to Echodesk!";
} // namespace

void TEchodeskAPI::GetAreaList(std::vector<std::string>& List, std::vector<std::uint8_t>* Values) {
    checkConnected(kNotConnected);
    List.clear();
    if (Values)
        Values->clear();
    std::int32_t reply = 0;
    if (!PostAndWait(hostTid_, edapi::AreaList, 0, 0, reply) || reply < 0)
        throw ECmdFailed("Could not send command!");
    std::vector<std::string> names;
    std::vector<std::uint8_t> values;
    bool ok = false;
    {
        TSharedMem block(edapi::blockName(edapi::BlkAreaList, hostTid_),
                         static_cast<std::size_t>(reply));
        if (block.acceptableResult() && reply >= 4) {
            const std::uint8_t* p = block.Bytes();
            std::size_t size = static_cast<std::size_t>(reply);
            std::int32_t count;
            std::memcpy(&count, p, 4);
            std::size_t pos = 4;
            ok = count >= 0;
            for (std::int32_t i = 0; ok && i < count; ++i) {
                const void* nul = pos < size ? std::memchr(p + pos, 0, size - pos) : nullptr;
                std::size_t len = nul ? static_cast<const std::uint8_t*>(nul) - (p + pos) : 0;
                // The name, its NUL and the value byte must all lie inside the block.
                if (!nul || pos + len + 2 > size) {
                    ok = false;
                    break;
                }
                names.emplace_back(reinterpret_cast<const char*>(p + pos), len);
                values.push_back(p[pos + len + 1]);
                pos += len + 2;
            }
        }
    }
    if (!ok) {
        ReleaseResult();
        throw ECmdFailed("Could not get result");
    }
    ReleaseResult();
    List = std::move(names);
    if (Values)
        *Values = std::move(values);
}

void TEchodeskAPI::OpenArea(const std::string& Name) {
    checkConnected(kNotConnectedX);
    std::int32_t reply = 0;
    if (!SendParamBlock(edapi::OpenArea, edapi::BlkOpenArea, Name, reply))
        throw ECmdFailed("Could not send command!");
    switch (reply) {
    case 0: return;
    case edapi::ParamFailed: throw ECmdFailed("Could not send parameter!");
    case edapi::AreaOpenFailed: throw EAreaOpenFailed("Could not open area!");
    case edapi::AreaUnknown: throw EAreaUnknown("Area not found!");
    case edapi::AreaInUse: throw EAreaInUse("Area in use!");
    default: throw EUnknownAPIError("Unknown Error");
    }
}

void TEchodeskAPI::CloseArea(TWait Wait) {
    checkConnected(kNotConnectedX);
    std::int32_t reply = 0;
    const bool answered = Wait == TWait::ServingEvents ? postAndServe(edapi::CloseArea, 0, 0, reply)
                                                       : PostAndWait(hostTid_, edapi::CloseArea, 0, 0, reply);
    if (!answered)
        throw ECmdFailed("Could not send command!");
    switch (reply) {
    case 0: return;
    case edapi::NoAreaOpen: throw EAreaNotOpen("No area open to close");
    default: throw EUnknownAPIError("Unknown Error");
    }
}

void TEchodeskAPI::CreateArea(const std::string& Name, const std::string& AreaType,
                              std::uint8_t AreaCode) {
    checkConnected(kNotConnected);
    std::int32_t reply = 0;
    {
        TSharedMem block(edapi::blockName(edapi::BlkCreateArea, currentThreadId()),
                         sizeof(TCreateAreaParams));
        if (!block.acceptableParameter())
            throw ECmdFailed("Parameter passing failed!");
        TCreateAreaParams params;
        params.Name.assign(Name);
        params.AreaType.assign(AreaType);
        params.AreaCode = AreaCode;
        std::memcpy(block.Data(), &params, sizeof params);
        if (!PostAndWait(hostTid_, edapi::CreateArea, 0, sizeof params, reply))
            throw ECmdFailed("Parameter passing failed!");
    }
    switch (reply) {
    case 0: return;
    case edapi::ParamFailed: throw ECmdFailed("Parameter passing failed!");
    case edapi::WrongFormat: throw EWrongFormat("Wrong data format!");
    case edapi::AreaExists: throw EAreaExists("Area already exists!");
    case edapi::UplinkUnknown: throw EUplinkUnknown("Unknown Uplink!");
    default: throw EUnknownAPIError("Unexpected API Error!");
    }
}

void TEchodeskAPI::GetMsgList(TMessageList& List) {
    checkConnected(kNotConnected);
    List.Clear();
    std::int32_t reply = 0;
    if (!PostAndWait(hostTid_, edapi::MsgList, 0, 0, reply))
        throw ECmdFailed("Parameter passing failed!");
    // Whatever happens from here on, the host is told that the result is done with.
    struct Release {
        TEchodeskAPI* api;
        ~Release() { api->ReleaseResult(); }
    } release{this};
    if (reply < 0) {
        switch (reply) {
        case edapi::ParamFailed: throw ECmdFailed("Parameter passing failed!");
        case edapi::NoAreaOpen: throw EAreaNotOpen("No Area open!");
        default: throw EUnknownAPIError("Unexpected API Error!");
        }
    }
    TSharedMem block(edapi::blockName(edapi::BlkMsgList, hostTid_), static_cast<std::size_t>(reply));
    if (!block.acceptableResult() || reply < 4)
        throw ECmdFailed("Parameter passing failed!");
    std::int32_t count;
    std::memcpy(&count, block.Bytes(), 4);
    std::size_t entry = sizeof(TMsgListEntry);
    if (count < 0 || static_cast<std::size_t>(count) > (static_cast<std::size_t>(reply) - 4) / entry)
        throw ECmdFailed("Parameter passing failed!");
    for (std::int32_t i = 0; i < count; ++i) {
        auto e = std::make_unique<TMsgListEntry>();
        std::memcpy(e->data(), block.Bytes() + 4 + static_cast<std::size_t>(i) * entry, entry);
        List.Add(std::move(e));
    }
}

std::unique_ptr<TMsgBlock> TEchodeskAPI::GetMsg(int Index) {
    checkConnected(kNotConnected);
    std::int32_t reply = 0;
    if (!PostAndWait(hostTid_, edapi::GetMsg, 0, Index, reply))
        throw ECmdFailed("Command failed");
    if (reply == 0)
        return nullptr;
    switch (reply) {
    case edapi::NoAreaOpen: throw EAreaNotOpen("No Area open!");
    case edapi::BadIndex: throw EMsgBadIndex("Message Index out of range!");
    default:
        if (reply < 0)
            throw EUnknownAPIError("Unexpected Error!");
    }
    std::vector<std::uint8_t> bytes;
    {
        TSharedMem block(edapi::blockName(edapi::BlkMsg, hostTid_), static_cast<std::size_t>(reply));
        if (!block.acceptableResult())
            throw ECmdFailed("Command failed");
        bytes.assign(block.Bytes(), block.Bytes() + reply);
    }
    ReleaseResult();
    return std::make_unique<TMsgBlock>(std::move(bytes));
}

std::uint16_t TEchodeskAPI::GetMsgFlags(int Index) {
    checkConnected(kNotConnected);
    std::int32_t reply = 0;
    if (!PostAndWait(hostTid_, edapi::GetMsgFlags, 0, Index, reply))
        throw ECmdFailed("Command failed");
    if (reply >= 0)
        return static_cast<std::uint16_t>(reply & 0xFFFF);
    switch (reply) {
    case edapi::NoAreaOpen: throw EAreaNotOpen("No Area open!");
    case edapi::BadIndex: throw EMsgBadIndex("Messageindex out of Range");
    default: throw EUnknownAPIError("Unknown Error");
    }
}

void TEchodeskAPI::SetMsgFlags(int Index, std::uint16_t Flags) {
    checkConnected(kNotConnected);
    std::int32_t reply = 0;
    if (!PostAndWait(hostTid_, edapi::SetMsgFlags, Flags, Index, reply))
        throw ECmdFailed("Command failed");
    switch (reply) {
    case 0: return;
    case edapi::NoAreaOpen: throw EAreaNotOpen("No Area open!");
    case edapi::BadIndex: throw EMsgBadIndex("Messageindex out of Range");
    default: throw EUnknownAPIError("Unknown Error");
    }
}

std::int32_t TEchodeskAPI::RegisterService(const TServiceInfo& Info) {
    checkConnected(kNotConnectedX);
    TServiceInfo copy = Info;
    copy.WorkerThread = static_cast<std::int32_t>(WorkerThreadId());
    std::string param(reinterpret_cast<const char*>(&copy), sizeof copy);
    std::int32_t reply = 0;
    if (!SendParamBlock(edapi::RegisterService, edapi::BlkRegisterService, param, reply))
        throw ECmdFailed("Could not transmit command");
    return reply;
}

namespace {
// The record's own Size decides what is sent; it may not claim more than the buffer holds.
std::size_t recordSize(const TNewMsg& Rec) {
    const std::int32_t size = Rec.Header().Size;
    if (size < 0 || static_cast<std::size_t>(size) > Rec.size())
        throw EWrongFormat("Wrong data format!");
    return static_cast<std::size_t>(size);
}
} // namespace

void TEchodeskAPI::StoreNewMsg(const TNewMsg& Rec) {
    checkConnected(kNotConnected);
    storeRecord(Rec.data(), recordSize(Rec));
}

void TEchodeskAPI::StoreNewMsg(TNewMsg&& Rec) {
    checkConnected(kNotConnected);
    const std::size_t size = recordSize(Rec);
    std::string used = std::move(Rec.buf_);
    Rec.buf_.clear();
    storeRecord(reinterpret_cast<const std::uint8_t*>(used.data()), size, true);
}

void TEchodeskAPI::StoreNewMsg(const TNewMsgHeader& Rec) {
    checkConnected(kNotConnected);
    if (Rec.Size < 0)
        throw EWrongFormat("Wrong data format!");
    storeRecord(reinterpret_cast<const std::uint8_t*>(&Rec), static_cast<std::size_t>(Rec.Size));
}

void TEchodeskAPI::PostStoreNewMsg(TNewMsg&& Rec, const std::function<void()>& Between) {
    checkConnected(kNotConnected);
    if (store_)
        throw std::logic_error("PostStoreNewMsg: the store before has not been collected");
    const std::size_t size = recordSize(Rec);
    std::string used = std::move(Rec.buf_);
    Rec.buf_.clear();
    const std::uint32_t seq = postStore(reinterpret_cast<const std::uint8_t*>(used.data()), size, true, Between);
    store_ = PendingReply{hostTid_, hostPid_, seq, deadlineIn(ReplyTimeoutMs)};
}

void TEchodeskAPI::CollectStore(TWait Wait) {
    if (!store_)
        return;
    if (Wait == TWait::ServingEvents) {
        serve([this] { return store_ ? &*store_ : nullptr; });
        if (!store_)
            return;   // collected by a handler of an event served meanwhile
        oneOffStoreBlock_.reset();   // answered or given up: the block is no longer the host's
    }
    settleStore();
    const PendingReply s = *store_;
    store_.reset();
    storeDone(s.answered, s.reply);
}

void TEchodeskAPI::storeRecord(const std::uint8_t* rec, std::size_t size, bool consume) {
    const std::uint32_t seq = postStore(rec, size, consume);
    std::int32_t reply = 0;
    const bool answered = awaitReply(hostTid_, hostPid_, seq, reply, deadlineIn(ReplyTimeoutMs));
    oneOffStoreBlock_.reset();
    storeDone(answered, reply);
}

// Fills the store block and posts the command; the sequence number of the command.
std::uint32_t TEchodeskAPI::postStore(const std::uint8_t* rec, std::size_t size, bool consume,
                                      const std::function<void()>& between) {
    // A store made by a handler of an event served while the block is filled would take the
    // block over.
    if (filling_)
        throw std::logic_error("StoreNewMsg: a record is being copied for the host");
    settleStore();   // the block is the outstanding store's until the host has answered
    TSharedMem* block = storeBlock(size, oneOffStoreBlock_);
    if (!block)
        throw ECmdFailed("Parameter passing failed!");
    TFlagScope filling(filling_);
    copyRecord(block->Bytes(), rec, size, consume, between);
    const std::uint32_t seq = post(hostTid_, edapi::StoreNewMsg, 0, static_cast<std::intptr_t>(size));
    if (seq == 0) {
        oneOffStoreBlock_.reset();
        t_storeBlock.drop();
        throw ECmdFailed("Parameter passing failed!");
    }
    return seq;
}

// Every command goes out this way: the answers still awaited are taken first (the store's, and
// that of a wait serving the window, whose event handlers may have led here), so that clearing
// the queue of stray replies cannot throw one of them away.
std::uint32_t TEchodeskAPI::post(std::uint32_t Tid, std::uint32_t Msg, std::uintptr_t WParam,
                                 std::intptr_t LParam) {
    settleStore();
    if (served_)
        settle(*served_);
    discardMessages(edapi::Reply);
    return postCommand(Tid, Msg, WParam, LParam);
}

void TEchodeskAPI::settle(PendingReply& p) {
    if (p.settled)
        return;
    p.answered = awaitReply(p.tid, p.pid, p.seq, p.reply, p.deadline);
    p.settled = true;
}

void TEchodeskAPI::settleStore() {
    if (!store_ || store_->settled)
        return;
    settle(*store_);
    oneOffStoreBlock_.reset();
}

bool TEchodeskAPI::postAndServe(std::uint32_t Msg, std::uintptr_t WParam, std::intptr_t LParam,
                                std::int32_t& Reply) {
    PendingReply p{hostTid_, hostPid_, post(hostTid_, Msg, WParam, LParam), deadlineIn(ReplyTimeoutMs)};
    if (p.seq == 0)
        return false;
    PendingReply* outer = served_;
    served_ = &p;
    struct Restore {
        PendingReply*& slot;
        PendingReply* outer;
        ~Restore() { slot = outer; }
    } restore{served_, outer};
    serve([&p] { return &p; });
    Reply = p.reply;
    return p.answered;
}

void TEchodeskAPI::serve(const std::function<PendingReply*()>& awaited) {
    auto lookAgain = std::chrono::steady_clock::now();
    pumpUntil([&] {
        PendingReply* p = awaited();
        if (!p)
            return true;
        tagMSG msg;
        MessageOrigin from;
        while (!p->settled && peekMessage(msg, edapi::Reply, edapi::Reply, &from)) {
            if (from.tid == p->tid && from.pid == p->pid && from.seq == p->seq) {
                p->reply = static_cast<std::int32_t>(msg.lParam);
                p->answered = p->settled = true;
            }
        }
        const auto now = std::chrono::steady_clock::now();
        if (!p->settled && now >= lookAgain) {
            if (!threadHasQueue(p->tid) || now >= p->deadline)
                p->settled = true;
            lookAgain = now + std::chrono::milliseconds(kHostCheckMs);
        }
        return p->settled;
    });
}

// The outcome of a store the host has answered (or not, `answered` false).
void TEchodeskAPI::storeDone(bool answered, std::int32_t reply) {
    if (!answered || reply != 0)
        t_storeBlock.drop();   // a failed store leaves no block behind
    if (!answered)
        throw EStoreUnanswered("Parameter passing failed!");
    switch (reply) {
    case 0: return;
    case edapi::ParamFailed: throw ECmdFailed("Parameter passing failed!");
    case edapi::NoAreaOpen: throw EAreaNotOpen("No Area open!");
    case edapi::WrongFormat: throw EWrongFormat("Wrong data format!");
    default: throw EUnknownAPIError("Unexpected API Error!");
    }
}

} // namespace pb
