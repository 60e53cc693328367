#pragma once
// TEchodeskAPI: the plug-in's side of the host channel and the host operations.
//
// The component attaches to the host ("TEDMainWindow"), hands it the plug-in description,
// sends commands as thread messages with parameter blocks in shared memory, reads result
// blocks, and delivers the host's own commands on the GUI thread. Its worker thread only takes
// host messages off its queue and forwards them (as Qt events to this object, which holds them
// until the event loop runs, so nothing that arrives before the main window exists is lost).
//
// Only the host process whose window answered the attach is listened to: its replies must come
// from the host thread, for the command waited for (a sequence number travels with each command
// and its reply); anything else that reaches the queues is dropped.
//
// Host operations block the calling (GUI) thread until the host's reply arrives; no other
// message is dispatched meanwhile. The wait ends without a reply, as a failed command, when the
// host's queue disappears (its process died: noticed within 250 ms) or after ReplyTimeoutMs.
#include "host/EDAPICommon.h"
#include "platform/Exceptions.h"
#include "platform/ThreadMessages.h"

#include <QObject>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QTimer;

namespace pb {

// ---- Failures of host operations ------------------------------------------------------------
class EAPIError : public Exception {
public:
    using Exception::Exception;
};
#define PB_API_ERROR(Name)                                                                        \
    class Name : public EAPIError {                                                               \
    public:                                                                                       \
        using EAPIError::EAPIError;                                                               \
    };
PB_API_ERROR(EUnknownAPIError)
PB_API_ERROR(EWrongFormat)
PB_API_ERROR(ECmdFailed)
PB_API_ERROR(ENotConnected)
PB_API_ERROR(EAreaInUse)
PB_API_ERROR(EAreaNotOpen)
PB_API_ERROR(EAreaOpenFailed)
PB_API_ERROR(EAreaUnknown)
PB_API_ERROR(EAreaExists)
PB_API_ERROR(EMsgBadIndex)
PB_API_ERROR(EUplinkUnknown)
#undef PB_API_ERROR
// A store whose answer never came (the host vanished or stayed silent): whether the host has
// the record is not known. Its text is ECmdFailed's, as for any failed store.
class EStoreUnanswered : public ECmdFailed {
public:
    using ECmdFailed::ECmdFailed;
};

// ---- Records --------------------------------------------------------------------------------

// A host message record ready to store: the 238-byte header, the text and its NUL, in one
// zero-filled buffer whose Size field is already set.
class TNewMsg {
public:
    explicit TNewMsg(std::string_view text);
    // Takes over a record built in place: the header's bytes (zero), the text and its NUL.
    static TNewMsg Adopt(std::string record);
    TNewMsgHeader& Header() { return *reinterpret_cast<TNewMsgHeader*>(buf_.data()); }
    const TNewMsgHeader& Header() const {
        return *reinterpret_cast<const TNewMsgHeader*>(buf_.data());
    }
    const std::uint8_t* data() const { return reinterpret_cast<const std::uint8_t*>(buf_.data()); }
    std::size_t size() const { return buf_.size(); }

private:
    TNewMsg() = default;
    friend class TEchodeskAPI;
    std::string buf_;
};

// A message as GetMsg returns it: the host's 34 bytes, then the NUL-ended recipient, sender,
// subject and text. The accessors never read past the block: a missing NUL ends the field at
// the block's end, and fields after it are empty.
class TMsgBlock {
public:
    explicit TMsgBlock(std::vector<std::uint8_t> bytes);
    const std::vector<std::uint8_t>& bytes() const { return bytes_; }
    std::size_t size() const { return bytes_.size(); }
    const std::uint8_t* MsgHeader() const { return bytes_.data(); }   // 34 bytes when size() >= 34
    const std::string& ToUserName() const { return fields_[0]; }
    const std::string& FromUserName() const { return fields_[1]; }
    const std::string& Subject() const { return fields_[2]; }
    const std::string& Text() const { return fields_[3]; }

private:
    std::vector<std::uint8_t> bytes_;
    std::array<std::string, 4> fields_;
};

// One 256-byte message list entry, stored as it came.
using TMsgListEntry = std::array<std::uint8_t, 256>;

class TMessageList {
public:
    void Add(std::unique_ptr<TMsgListEntry> entry) { items_.push_back(std::move(entry)); }
    const TMsgListEntry& Items(int index) const { return *items_.at(static_cast<std::size_t>(index)); }
    int Count() const { return static_cast<int>(items_.size()); }
    void Clear() { items_.clear(); }

private:
    std::vector<std::unique_ptr<TMsgListEntry>> items_;
};

// A service the host may route its commands to. This program registers none; the class is the
// hook for one that does.
class TPluginService {
public:
    virtual ~TPluginService() = default;
    bool Active = false;
    std::uint8_t Kind = 0;
    std::string Text1;
    std::string Text2;
    std::int32_t Command = -1;   // the message number it handles
    std::int32_t Handle = 0;     // what the host returned at registration
    virtual void HandleCommand(const tagMSG& Msg) = 0;
};

// The component's services, in order (not owned).
class TServiceList {
public:
    void Add(TPluginService* s) { items_.push_back(s); }
    TPluginService* Items(int i) const { return items_.at(static_cast<std::size_t>(i)); }
    int Count() const { return static_cast<int>(items_.size()); }

private:
    std::vector<TPluginService*> items_;
};

// The worker thread: it takes the host's messages off its queue and forwards them. Its state
// is shared with the component (see EchodeskAPI.cpp).
struct TPluginAPI;

// ---- The component --------------------------------------------------------------------------
class TEchodeskAPI : public QObject {
    Q_OBJECT
public:
    // The worker thread starts here (it waits up to 1000 ms for it to be ready).
    explicit TEchodeskAPI(QObject* owner = nullptr);
    // Detaches (without firing the disconnect events), stops the worker.
    ~TEchodeskAPI() override;

    // Published properties (Windows-1252 texts; the description keeps at most 255 bytes each).
    bool AutoConnect = true;
    std::string PIName = "Custom Plugin";
    std::string PICopyright = "(c) the plug-in's author";
    std::string PIDescription = "Echodesk Plugin created by a lazy man!";
    std::int32_t PIVersion = 1;
    std::int32_t PIRevision = 0;
    std::int32_t PIAPIRequiered = 8;
    std::int32_t PIAPISupported = 8;

    // Events, all on the GUI thread.
    std::function<void(const tagMSG& Msg)> OnCommand;
    std::function<void()> OnConnected;
    std::function<void()> OnConnecting;
    std::function<void()> OnConnectFailed;
    std::function<void()> OnDisconnecting;
    std::function<void()> OnDisconnected;
    std::function<void()> OnServerDisconnected;
    std::function<void()> OnWrongVersion;

    TServiceList Services;

    // How long a command waits for the host's reply before it counts as failed (ms). A host
    // that died is noticed sooner, by its queue disappearing. New components start with
    // DefaultReplyTimeoutMs (a test of a window that attaches while it is made lowers it).
    static inline int DefaultReplyTimeoutMs = 30000;
    int ReplyTimeoutMs = DefaultReplyTimeoutMs;

    // Call once the properties are set (the form's loading step): connects when AutoConnect.
    void Loaded();

    bool Connected() const { return connected_; }
    // The attach completed (OnConnected fired) and the host has not gone since. A connect that
    // fails half-way (no version, an old one) is connected for a moment and detaches again
    // without ever being attached.
    bool Attached() const { return attached_; }
    // Attaches; does nothing when connected. Outcomes only through Connected() and the events.
    void Connect();
    // Detaches; does nothing when not connected. If the OnDisconnecting handler fails, the
    // detach still completes and the handler's exception is passed on afterwards.
    void Disconnect();

    // ---- Host operations: failures raise EAPIError descendants ----
    // Area names; the value byte of each entry goes into Values when asked for.
    void GetAreaList(std::vector<std::string>& List, std::vector<std::uint8_t>* Values = nullptr);
    void OpenArea(const std::string& Name);
    // With ServingEvents the window's events are dispatched while the host answers (it makes
    // the area's messages durable first, which takes long for a large run); a command made by
    // one of them waits for the close's answer first and keeps it.
    enum class TWait { Blocking, ServingEvents };
    void CloseArea(TWait Wait = TWait::Blocking);
    void GetMsgList(TMessageList& List);
    // The message, or nullptr when the host has none under that index.
    std::unique_ptr<TMsgBlock> GetMsg(int Index);
    std::int32_t RegisterService(const TServiceInfo& Info);
    void StoreNewMsg(const TNewMsg& Rec);
    // The same, using the record up while it is copied into the parameter block, so that a
    // large one is not held twice; Rec is empty afterwards.
    void StoreNewMsg(TNewMsg&& Rec);
    // Rec must head a buffer of Rec.Size bytes.
    void StoreNewMsg(const TNewMsgHeader& Rec);
    // The store in two halves, for a caller that has other work to do while the host writes.
    // The host sees the same command and block as for StoreNewMsg.
    // - PostStoreNewMsg uses the record up into the block (as the StoreNewMsg that takes it)
    //   and posts the command; what fails before the host has it raises here.
    // - CollectStore waits for the host's answer and raises what StoreNewMsg would raise for
    //   it; with nothing outstanding it does nothing. It works after the host is lost as well:
    //   an answer that came before is still taken.
    // One store may be outstanding at a time. Until it is collected, every other command first
    // waits for its answer and keeps it for CollectStore, so the block and the reply stay the
    // store's.
    // A large record takes a while to copy and the host a while to write: Between is called
    // between the steps of the copy, and with ServingEvents the window's events are dispatched
    // while the host writes, as for CloseArea. A store made by a handler meanwhile is refused.
    void PostStoreNewMsg(TNewMsg&& Rec, const std::function<void()>& Between = {});
    void CollectStore(TWait Wait = TWait::Blocking);
    bool StoreOutstanding() const { return store_.has_value(); }
    std::uint16_t GetMsgFlags(int Index);
    void SetMsgFlags(int Index, std::uint16_t Flags);
    void CreateArea(const std::string& Name, const std::string& AreaType, std::uint8_t AreaCode);

    // ---- Channel primitives ----
    // Posts a command and waits for its 1027 reply (see the file comment for the limits).
    bool PostAndWait(std::uint32_t Tid, std::uint32_t Msg, std::uintptr_t WParam,
                     std::intptr_t LParam, std::int32_t& Reply);
    // Sends Param plus a NUL in the block Prefix + own thread id; false when the block name is
    // taken or cannot be mapped (nothing is posted then).
    bool SendParamBlock(std::uint32_t Msg, std::string_view Prefix, const std::string& Param,
                        std::int32_t& Reply);
    void ReleaseResult();

    std::uint32_t HostThreadId() const { return hostTid_; }
    std::uint32_t WorkerThreadId() const;
    std::int32_t HostVersion() const { return hostVersion_; }

protected:
    virtual void DoServerDisconnected();
    virtual void DoDisconnected();
    virtual void DoDisconnecting();
    bool event(QEvent* e) override;

private:
    void startWorker();
    void stopWorker();
    void dispatch(const tagMSG& msg);
    void detach();
    void checkConnected(const char* text) const;
    void storeRecord(const std::uint8_t* rec, std::size_t size, bool consume = false);
    std::uint32_t postStore(const std::uint8_t* rec, std::size_t size, bool consume,
                            const std::function<void()>& between = {});
    // Posts a command once no earlier answer is left to take; its sequence number, 0 when it
    // cannot be posted.
    std::uint32_t post(std::uint32_t Tid, std::uint32_t Msg, std::uintptr_t WParam, std::intptr_t LParam);
    void settleStore();
    void storeDone(bool answered, std::int32_t reply);
    void hostGoneCheck();

    std::uint32_t hostTid_ = 0;
    pid_t hostPid_ = 0;   // the kernel's pid of the host we attached to
    std::shared_ptr<TPluginAPI> worker_;
    std::int32_t hostVersion_ = 0;
    bool connected_ = false;
    bool attached_ = false;
    bool destroying_ = false;
    QTimer* watch_ = nullptr;

    // A command posted whose answer is awaited later, and the answer once a wait has taken it:
    // the store not yet collected, and the command of a wait that serves the window.
    struct PendingReply {
        std::uint32_t tid = 0;
        pid_t pid = 0;
        std::uint32_t seq = 0;
        std::chrono::steady_clock::time_point deadline;
        bool settled = false;
        bool answered = false;
        std::int32_t reply = 0;
    };
    std::optional<PendingReply> store_;
    PendingReply* served_ = nullptr;
    bool filling_ = false;   // a record is being copied into the store block
    // Waits for `p` blocking, unless it has its answer already (then nothing).
    static void settle(PendingReply& p);
    // Posts a command and waits for its reply while the application's events are dispatched.
    bool postAndServe(std::uint32_t Msg, std::uintptr_t WParam, std::intptr_t LParam,
                      std::int32_t& Reply);
    // Dispatches the application's events until the reply `awaited` names has come, the host
    // is gone or the reply's time is up; also ends when it names none (a handler took it).
    void serve(const std::function<PendingReply*()>& awaited);
    // The block of a record too large to keep a block for, until the host has answered.
    std::unique_ptr<TSharedMem> oneOffStoreBlock_;
};

} // namespace pb
