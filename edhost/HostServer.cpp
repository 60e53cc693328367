#include "HostServer.h"

#include "platform/AnsiText.h"
#include "platform/Session.h"

#include <csignal>
#include <cstdio>
#include <cstring>

namespace pb::edhost {
namespace {

constexpr auto kMaxRecord = static_cast<std::intptr_t>(kMaxRecordSize);

template <typename T>
void put(std::string& out, const T& v) {
    out.append(reinterpret_cast<const char*>(&v), sizeof v);
}

bool isCommand(std::uint32_t m) {
    // 1026 (release), 1027 (a reply) and 1029 (detach) expect no answer; everything else that
    // a plug-in posts is a command and gets exactly one.
    return m != edapi::Release && m != edapi::Reply && m != edapi::Detach;
}

} // namespace

HostServer::HostServer(MessageStore& store, ServeOptions opts) : options(opts), store_(store) {}

HostServer::~HostServer() { disconnectAll(); }

bool HostServer::start(std::string& error) {
    if (ChannelDir dir = channelDirectory(); !dir.ok) {
        error = "refusing the channel folder: " + channelProblem(dir);
        return false;
    }
    if (!ensureMessageQueue()) {
        error = "cannot make the host thread's message queue";
        return false;
    }
    tid_ = currentThreadId();
    if (!window_.create(std::string(edapi::HostWindowClass))) {
        error = "another host already serves session " + sessionName();
        return false;
    }
    return true;
}

int HostServer::queueFd() const { return messageQueueFd(); }

void HostServer::onWindow() {
    window_.serve([this](const WindowEndpoint::Request& r) -> std::intptr_t {
        if (r.message != edapi::Attach)
            return 0;
        return attach(r);
    });
}

std::intptr_t HostServer::attach(const WindowEndpoint::Request& req) {
    if (options.refuseAttach)
        return 0;
    auto workerTid = static_cast<std::uint32_t>(req.wParam);
    auto mainTid = static_cast<std::uint32_t>(req.lParam);
    // Both threads must be threads of the process that asks (the kernel's pid): nobody
    // attaches on behalf of another process.
    if (!threadOfProcess(req.senderPid, workerTid) || !threadOfProcess(req.senderPid, mainTid))
        return 0;
    drop(mainTid);   // a plug-in that attaches again starts afresh
    Connection& c = conns_[mainTid];
    c.pid = req.senderPid;
    c.pidStart = processStartTime(req.senderPid);
    c.mainTid = mainTid;
    c.workerTid = workerTid;
    // Ask for the description; the worker answers with a block and a 1027.
    postThreadMessage(workerTid, edapi::DescriptionReq, 0, static_cast<std::intptr_t>(tid_));
    return static_cast<std::intptr_t>(tid_);
}

void HostServer::onQueue() {
    tagMSG msg;
    MessageOrigin from;
    while (peekMessage(msg, 0, 0xFFFFFFFFu, &from))
        handle(msg, from);
}

void HostServer::handle(const tagMSG& msg, const MessageOrigin& from) {
    // Only processes that attached are answered; the rest get no word at all.
    if (!attachedProcess(from.pid))
        return;
    if (msg.message == edapi::Reply) {
        // The worker has filled the description block.
        // It is answered in any case: the worker waits for the answer.
        Connection* c = byWorker(from.tid);
        if (c && c->pid != from.pid)
            c = nullptr;
        TSharedMem block(edapi::blockName(edapi::BlkPluginInfo, from.tid), sizeof(TPluginInfo));
        if (c && block.acceptableResult()) {
            TPluginInfo info;
            std::memcpy(&info, block.Data(), sizeof info);
            c->description = info;
        }
        postThreadMessage(from.tid, edapi::Reply, 0, 0, from.seq);
        return;
    }
    Connection* c = byMain(from.tid);
    if (c && c->pid != from.pid)
        c = nullptr;   // a thread id of another attached process: not this connection
    if (msg.message == edapi::Release) {
        if (c)
            c->result.reset();
        return;
    }
    if (msg.message == edapi::Detach) {
        if (c)
            drop(c->mainTid);
        return;
    }
    if (!isCommand(msg.message) || stopAnswering)
        return;
    std::int32_t status;
    if (auto it = answerOnce.find(msg.message); it != answerOnce.end()) {
        status = it->second;
        answerOnce.erase(it);
    } else if (!c) {
        status = edapi::ParamFailed;   // not attached: nothing to work on
    } else {
        status = command(*c, msg);
        if (dieAfter != 0 && dieAfter == msg.message)
            ::raise(SIGKILL);
    }
    if (!postThreadMessage(from.tid, edapi::Reply, 0, status, from.seq) && c)
        drop(c->mainTid);   // the plug-in is gone: free what it held
}

std::unique_ptr<TSharedMem> HostServer::parameter(Connection& c, std::string_view prefix,
                                                  std::intptr_t size) {
    if (size <= 0 || size > kMaxRecord)
        return nullptr;
    auto block = std::make_unique<TSharedMem>(edapi::blockName(prefix, c.mainTid),
                                              static_cast<std::size_t>(size));
    if (!block->acceptableResult())
        return nullptr;
    return block;
}

std::int32_t HostServer::publish(Connection& c, std::string_view prefix, const std::string& bytes) {
    c.result.reset();   // the plug-in has read its last result before asking anew
    auto block = std::make_unique<TSharedMem>(edapi::blockName(prefix, tid_), bytes.size());
    if (!block->acceptableParameter())
        return edapi::ParamFailed;   // the name is held for another plug-in's result
    std::memcpy(block->Data(), bytes.data(), bytes.size());
    c.result = std::move(block);
    return static_cast<std::int32_t>(bytes.size());
}

bool HostServer::alive(const Connection& c) {
    return processAlive(c.pid, c.pidStart) && threadHasQueue(c.mainTid);
}

bool HostServer::areaTaken(std::size_t area, const Connection& except) {
    // The holder may have died since the last housekeeping (a plug-in killed and started again
    // at once): a dead one loses its area now instead of blocking the new run.
    std::vector<std::uint32_t> dead;
    bool taken = false;
    for (const auto& [tid, c] : conns_) {
        if (&c == &except || c.openArea != area)
            continue;
        if (alive(c))
            taken = true;
        else
            dead.push_back(tid);
    }
    for (auto tid : dead)
        drop(tid);
    return taken;
}

std::int32_t HostServer::command(Connection& c, const tagMSG& msg) {
    const std::intptr_t l = msg.lParam;
    switch (msg.message) {
    case edapi::Version:
        return options.apiVersion;
    case edapi::AreaList:
        return areaList(c);
    case edapi::OpenArea:
        return openArea(c, l);
    case edapi::CloseArea:
        return closeArea(c);
    case edapi::MsgList:
        return msgList(c);
    case edapi::GetMsg:
    case edapi::GetMsgFlags:
    case edapi::SetMsgFlags:
        return oneMessage(c, msg);
    case edapi::RegisterService:
        return registerService(c, l);
    case edapi::StoreNewMsg:
        return storeNewMsg(c, l);
    case edapi::CreateArea:
        return createArea(c, l);
    default:
        return edapi::ParamFailed;   // not a command this host knows
    }
}

std::int32_t HostServer::storeFailed(const StoreError& e) {
    // The base could not be written: the plug-in hears a failure, the host's log hears why.
    std::fprintf(stderr, "edhost: %s\n", e.what());
    return edapi::ParamFailed;
}

std::int32_t HostServer::areaList(Connection& c) {
    std::string out;
    auto areas = store_.areas();
    put(out, static_cast<std::int32_t>(areas.size()));
    for (const auto& a : areas) {
        out += a.Name;
        out.push_back('\0');
        out.push_back(static_cast<char>(a.Code));
    }
    return publish(c, edapi::BlkAreaList, out);
}

std::int32_t HostServer::openArea(Connection& c, std::intptr_t size) {
    auto block = parameter(c, edapi::BlkOpenArea, size);
    if (!block)
        return edapi::ParamFailed;
    const void* nul = std::memchr(block->Data(), 0, static_cast<std::size_t>(size));
    if (!nul)
        return edapi::WrongFormat;
    std::string name(static_cast<const char*>(block->Data()),
                     static_cast<const char*>(nul) - static_cast<const char*>(block->Data()));
    auto area = store_.findArea(name);
    if (!area)
        return edapi::AreaUnknown;
    if (areaTaken(*area, c))
        return edapi::AreaInUse;
    c.openArea = area;
    return 0;
}

std::int32_t HostServer::closeArea(Connection& c) {
    if (!c.openArea)
        return edapi::NoAreaOpen;
    // The stored messages are on disk before the answer: a plug-in that deletes its mails
    // on the server once the area is closed must not lose them to a crash.
    try {
        store_.makeDurable(*c.openArea);
    } catch (const StoreError& e) {
        return storeFailed(e);
    }
    c.openArea.reset();
    return 0;
}

std::int32_t HostServer::msgList(Connection& c) {
    if (!c.openArea)
        return edapi::NoAreaOpen;
    std::size_t area = *c.openArea;
    std::uint32_t n = store_.messageCount(area);
    std::string out;
    put(out, static_cast<std::int32_t>(n + 1));
    // Entry 0 stands for the area itself; messages follow under their numbers 1..n, so a
    // plug-in that walks the indices 1 .. count-1 reaches every message.
    HostMsgListEntry head;
    head.Size = static_cast<std::int32_t>(n);
    head.Subject.assign(store_.areas()[area].Name);
    put(out, head);
    for (std::uint32_t i = 1; i <= n; ++i) {
        const MessageInfo* m = store_.info(area, i);
        HostMsgListEntry e;
        e.Number = static_cast<std::int32_t>(i);
        e.Flags = m->Flags;
        e.Written = m->Written;
        e.Size = m->Header.Size;
        e.FromUserName = m->Header.FromUserName;
        e.ToUserName = m->Header.ToUserName;
        e.Subject = m->Header.Subject;
        put(out, e);
    }
    return publish(c, edapi::BlkMsgList, out);
}

std::int32_t HostServer::oneMessage(Connection& c, const tagMSG& msg) {
    if (!c.openArea)
        return edapi::NoAreaOpen;
    const std::intptr_t l = msg.lParam;
    std::size_t area = *c.openArea;
    std::uint32_t n = store_.messageCount(area);
    if (l == 0 && msg.message != edapi::SetMsgFlags)
        return 0;   // the area's own entry: no message, no flags
    if (l < 1 || l > static_cast<std::intptr_t>(n))
        return edapi::BadIndex;
    auto number = static_cast<std::uint32_t>(l);
    if (msg.message == edapi::GetMsgFlags)
        return store_.info(area, number)->Flags;
    if (msg.message == edapi::SetMsgFlags) {
        try {
            store_.setFlags(area, number, static_cast<std::uint16_t>(msg.wParam & 0xFFFF));
        } catch (const StoreError& e) {
            return storeFailed(e);
        }
        return 0;
    }
    const std::optional<StoredMessage> m = store_.message(area, number);
    if (!m)
        return edapi::ParamFailed;   // the disk did not give it back; the host's log says why
    HostMsgBlockHeader h;
    h.Number = static_cast<std::int32_t>(number);
    h.Flags = m->Flags;
    h.Addr1 = m->Header().Addr1;
    h.Addr2 = m->Header().Addr2;
    h.Written = m->Written;
    std::string text = m->Text();
    h.TextLength = static_cast<std::int32_t>(text.size());
    std::string out;
    put(out, h);
    for (const std::string& s : {m->Header().ToUserName.str(), m->Header().FromUserName.str(),
                                 m->Header().Subject.str(), text}) {
        out += s;
        out.push_back('\0');
    }
    return publish(c, edapi::BlkMsg, out);
}

std::int32_t HostServer::registerService(Connection& c, std::intptr_t size) {
    if (size != static_cast<std::intptr_t>(sizeof(TServiceInfo) + 1))
        return edapi::WrongFormat;
    auto block = parameter(c, edapi::BlkRegisterService, size);
    if (!block)
        return edapi::ParamFailed;
    return nextServiceHandle_++;
}

std::int32_t HostServer::storeNewMsg(Connection& c, std::intptr_t size) {
    if (!c.openArea)
        return edapi::NoAreaOpen;
    if (size < static_cast<std::intptr_t>(sizeof(TNewMsgHeader) + 1) || size > kMaxRecord)
        return edapi::WrongFormat;
    auto block = parameter(c, edapi::BlkStoreNew, size);
    if (!block)
        return edapi::ParamFailed;
    std::string record(static_cast<const char*>(block->Data()), static_cast<std::size_t>(size));
    if (!recordProblem(record).empty())
        return edapi::WrongFormat;
    try {
        store_.addMessage(*c.openArea, std::move(record));
    } catch (const StoreError& e) {
        return storeFailed(e);
    }
    return 0;
}

std::int32_t HostServer::createArea(Connection& c, std::intptr_t size) {
    if (size != static_cast<std::intptr_t>(sizeof(TCreateAreaParams)))
        return edapi::WrongFormat;
    auto block = parameter(c, edapi::BlkCreateArea, size);
    if (!block)
        return edapi::ParamFailed;
    TCreateAreaParams p;
    std::memcpy(&p, block->Data(), sizeof p);
    std::string name = p.Name.str();
    if (name.empty())
        return edapi::WrongFormat;
    for (unsigned char ch : name)
        if (ch < 0x20)
            return edapi::WrongFormat;
    if (store_.findArea(name))
        return edapi::AreaExists;
    try {
        store_.createArea({name, p.AreaType.str(), p.AreaCode});
    } catch (const StoreError& e) {
        return storeFailed(e);
    }
    return 0;
}

void HostServer::drop(std::uint32_t mainTid) { conns_.erase(mainTid); }

bool HostServer::attachedProcess(pid_t pid) const {
    for (const auto& [tid, c] : conns_)
        if (c.pid == pid)
            return true;
    return false;
}

HostServer::Connection* HostServer::byMain(std::uint32_t tid) {
    auto it = conns_.find(tid);
    return it == conns_.end() ? nullptr : &it->second;
}

HostServer::Connection* HostServer::byWorker(std::uint32_t tid) {
    for (auto& [main, c] : conns_)
        if (c.workerTid == tid)
            return &c;
    return nullptr;
}

void HostServer::housekeeping() {
    std::vector<std::uint32_t> dead;
    for (const auto& [tid, c] : conns_)
        if (!alive(c))
            dead.push_back(tid);
    for (auto tid : dead)
        drop(tid);
}

void HostServer::disconnectAll() {
    for (const auto& [tid, c] : conns_)
        postThreadMessage(c.workerTid, edapi::Detach, 0, 0);
    conns_.clear();
}

void HostServer::postToWorkers(std::uint32_t message, std::intptr_t lParam) {
    for (const auto& [tid, c] : conns_)
        postThreadMessage(c.workerTid, message, 0, lParam);
}

std::string HostServer::statusText() const {
    std::string out = "serving session " + sessionName() + ", host thread " + threadIdHex(tid_) +
                      ", interface version " + std::to_string(options.apiVersion) +
                      (options.refuseAttach ? ", refusing attach" : "") +
                      (stopAnswering ? ", not answering" : "") + "\n";
    out += std::to_string(conns_.size()) + " plug-in(s) attached\n";
    auto areas = store_.areas();
    for (const auto& [tid, c] : conns_) {
        out += "plug-in: pid " + std::to_string(c.pid) + ", main thread " + threadIdHex(c.mainTid) +
               ", worker thread " + threadIdHex(c.workerTid) + "\n";
        if (c.description) {
            const TPluginInfo& d = *c.description;
            out += "  name: " + toUtf8(d.PIName.str()) + "\n";
            out += "  copyright: " + toUtf8(d.PICopyright.str()) + "\n";
            out += "  description: " + toUtf8(d.PIDescription.str()) + "\n";
            out += "  version: " + std::to_string(d.PIVersion) + "." + std::to_string(d.PIRevision) +
                   ", interface required " + std::to_string(d.PIAPIRequiered) + ", supported " +
                   std::to_string(d.PIAPISupported) + "\n";
        } else {
            out += "  (no description received)\n";
        }
        if (c.openArea)
            out += "  open area: " + toUtf8(areas[*c.openArea].Name) + "\n";
    }
    return out;
}

} // namespace pb::edhost
