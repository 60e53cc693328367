// The retrieval run and the POP3 component's handlers.
//
// ReadMails connects, lists the mailbox, and fetches every listed mail that the read-message
// list does not know, converting and storing each one in the host's "EMAIL" area. The host
// and the server are kept in step so that no mail is lost and none is skipped:
//  - where the server offers UIDL, a mail is known by its unique id, so mails deleted or added
//    by another client between runs cannot hide a new mail or bring an old one again; the
//    number list is kept beside it for a run without UIDL;
//  - the list files are written before the first mail is fetched, and a list that cannot be
//    read or written ends the run with a box: nothing is fetched that could not be recorded;
//  - a mail counts as read only once the host has stored it; a mail whose retrieval, conversion
//    or store fails is fetched again by the next run. With ids, the id list is the run's
//    journal (its lines in PB_Liste.h, its rules in ReadLedger.h): every store the host
//    confirms is appended at once, so a kill of this program or of the host loses nothing and
//    stores nothing twice; a mail in which two runs ended abnormally is kept unparsed in a
//    file instead of being parsed a third time;
//  - mails go by the number the server listed them under, never by their place in the
//    listing, which a line of the listing passed by would shift;
//  - with "delete from server" on, a mail is deleted only after the host stored it and the
//    journal has it; a deletion that a session did not commit is made by a later one, by the
//    number the mail's id has then. The server
//    carries the deletions out at the end of a session ended with QUIT, and then numbers the
//    remaining mails afresh: the list drops the deleted numbers and moves the later ones down.
//    When the session ends any other way, nothing was deleted and the numbers stay as they are;
//  - a run cut short (cancel, lost host) keeps the entries it did not get to look up;
//  - failures to open or close the host area, to save the list file or to end the session
//    are logged and end the run like a failed listing, never with an error box in the middle
//    of the buttons' states;
//  - a session that cannot go on (failed listing, cancel, lost host, attachment files that
//    cannot be written) is dropped without QUIT, so the next run can connect afresh.
#include "host/Fidoaddr.h"
#include "mail/FailureCause.h"
#include "mail/MailConversion.h"
#include "mail/IncomingRun.h"
#include "mail/RecordFile.h"
#include "platform/AnsiText.h"
#include "platform/Clock.h"
#include "platform/Exceptions.h"
#include "platform/PrivateFiles.h"
#include "platform/Streams.h"


#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace pb {
namespace {

// The bar is repainted at once when it moves; with thousands of small mails that would cost
// more than the mails themselves, so it moves at most this often.
constexpr std::int64_t ProgressIntervalMs = 40;

// Largest listed size of a mail that is asked for before the mail in hand is stored.
constexpr std::int32_t RequestAheadLimit = 256 * 1024;

// Where the server offers PIPELINING, the mails asked for ahead: at most this many, and beyond
// the first at most this many bytes by their listed sizes. What the server sends of them waits
// in the socket until its turn, so the bytes bound the memory it takes. (Measured with 2,000 and
// 10,000 small mails: 16 mails or 256 KB gained less; 256 mails or 4 MB no more, with longer
// gaps in the window's message loop.)
constexpr int PipelineDepth = 64;
constexpr std::int64_t PipelineBytes = 1 << 20;

// A record larger than this is stored alone: the next mail is parsed only once the host has
// answered for it, so a huge record is never held beside another one.
constexpr std::size_t StoreAloneAbove = 8 * 1024 * 1024;

// The host writes a record of this size in about a message loop's turn; while it writes a
// larger one, the window's events are handled.
constexpr std::size_t ServeStoreAbove = 1024 * 1024;

// How far back in "EMAIL" a mail whose store is in doubt is looked for.
constexpr int DoubtSearchDepth = 64;

// For the tests of what a kill leaves behind: PB_TEST_KILL="stored:N" makes the program kill
// itself the Nth time the host has confirmed a store whose journal line is not yet written,
// "deleted:N" the Nth time a DELE was answered (before QUIT), and "convert:TEXT" before a
// mail whose subject holds TEXT is converted.
void TestKillPoint(const char* point, std::string_view subject = {}) {
    static const char* plan = std::getenv("PB_TEST_KILL");
    static int passed = 0;
    if (!plan)
        return;
    const std::string_view p(plan);
    const std::size_t colon = p.find(':');
    if (colon == std::string_view::npos || p.substr(0, colon) != point)
        return;
    const std::string_view arg = p.substr(colon + 1);
    const bool now = std::string_view(point) == "convert" ? subject.find(arg) != std::string_view::npos
                                                          : std::to_string(++passed) == arg;
    if (now)
        ::kill(::getpid(), SIGKILL);
}

} // namespace

TIncomingRun::TIncomingRun(TRunFace& face, TEchodeskAPI& host, TPop3Client& pop3, const TSettings& settings)
    : TMailRun(face, host, settings), POP3_Service(pop3) {
    TPop3Client& p = POP3_Service;
    p.Port = 110;
    p.ReportLevel = 0;
    p.DeleteOnRead = false;
    p.OnInvalidHost = [this](bool& Handled) { POP3_ServiceInvalidHost(Handled); };
    p.OnPacketRecvd = [this](QObject*) { POP3_ServicePacketRecvd(); };
    p.OnRetrieveProgress = [this](QObject*) { POP3_ServicePacketRecvd(); };
    p.OnAuthenticationFailed = [this](bool& Handled) { POP3_ServiceAuthenticationFailed(Handled); };
    p.OnList = [this](int Msg, int Size) { POP3_ServiceList(Msg, Size); };
    p.OnDeletionAnswered = [this](int Msg, const ERefused* Refusal) { POP3_ServiceDeletionAnswered(Msg, Refusal); };
    p.Assembly = &Assembler;
    p.OnDecodeTurn = [this] { Face.KeepResponsive(); };
    // What the coder finds wrong with an attachment (" No end line.") is told as a box.
    p.UUProcessor.OnWarning = [this](const std::string& text) { Face.ShowBox(text); };
    Ledger.OnJournalBroken = [this](const std::exception& e) { JournalBroken(e); };
}

TIncomingRun::~TIncomingRun() {
    if (POP3_Service.Assembly == &Assembler)
        POP3_Service.Assembly = nullptr;
}

bool TIncomingRun::TryConnection() {
    TPop3Client& p = POP3_Service;
    Face.ConnectionStarting();

    p.AttachFilePath.clear();
    // The run deletes a mail itself, once the host has stored it; the component's own
    // delete-on-read would delete it before that.
    p.DeleteOnRead = false;
    LogEntry(ansi("POP3 Nachrichten vom Server löschen: ") + (Settings.DeleteFromServer ? "ja" : "nein"));
    p.ReportLevel = 2;
    p.TimeOut = 20000;
    p.Host = Settings.POP3Server;
    LogEntry("POP3 Serveradresse: " + Settings.POP3Server);
    p.Port = Settings.POP3Port;
    LogEntry("POP3 Serverportnr.: " + std::to_string(Settings.POP3Port));
    p.UserID = Settings.POP3User;
    LogEntry("POP3 Login: " + Settings.POP3User);
    p.Password = Settings.POP3Password;
    UseLogin(p, Settings.POP3TokenLogin, "POP3");
    p.Security = static_cast<TSecurity>(Settings.POP3Security);
    if (p.Security != TSecurity::None)
        LogEntry(ansi("POP3 Verschlüsselung: ") + SecurityName(Settings.POP3Security));
    const bool connected = ConnectService("POP3", Settings.POP3Server, p,
                                          [this, &p] { ConnectSecurely("POP3", p, p.Security, [&p] { p.Connect(); }); });
    // USER and PASS went over the line as they are: the user should know.
    if (connected && !p.Secure() && p.AuthMethod == TAuthMethod::Password)
        LogEntry(ansi("POP3 Warnung: Das Passwort wurde unverschlüsselt gesendet (Verschlüsselung \"keine\")"));
    return connected;
}

// The box below comes from the component's handler, before it raises; the sentence that names
// the service and the server is the one its failure will carry.
void TIncomingRun::POP3_ServiceInvalidHost(bool&) {
    Face.ShowBox("Dieser Server konnte nicht gefunden werden: " + Settings.POP3Server + ". " +
                 FailureCause("POP3", Settings.POP3Server, POP3_Service, Exception("Null Remote Address")));
    Face.ShowConnectError = false;
}

// The login box follows from the connection step, which has the command the server refused
// and its reply.
void TIncomingRun::POP3_ServiceAuthenticationFailed(bool&) {
    LogEntry("POP3 Authentification failed");
}

void TIncomingRun::POP3_ServiceList(std::int32_t Msg, std::int32_t Size) {
    ServerList.emplace_back(Msg, Size);
}

void TIncomingRun::BerechneSummen() {
    TotalBytes = 0;
    const auto n = std::min<std::size_t>(static_cast<std::size_t>(std::max(MailsOnServer, 0)), ServerList.size());
    for (std::size_t i = 0; i < n; ++i)
        TotalBytes += ServerList[i].second;
}

void TIncomingRun::POP3_ServicePacketRecvd() {
    const TPop3Client& p = POP3_Service;
    std::int64_t percent = 0;
    if (p.SendSize() > 0 && p.SentCount() > 0)
        percent = p.SentCount() * 100 / p.SendSize();
    else if (CurrentMailSize > 0)
        percent = p.RetrievedBytes() * 100 / CurrentMailSize;
    percent = std::clamp<std::int64_t>(percent, 0, 100);
    if (percent == ProgressShown)
        return;
    const std::int64_t now = nowMs();
    if (now - ProgressShownAt < ProgressIntervalMs)
        return;
    ProgressShownAt = now;
    ShowProgress(static_cast<int>(percent));
}

void TIncomingRun::ShowProgress(int percent) {
    ProgressShown = percent;
    Face.ShowProgress(percent);
}

void TIncomingRun::Cancel() {
    CancelWhile(TRunState::Receiving, POP3_Service);
}

void TIncomingRun::SpeicherAktMail(int Position, std::int32_t Msg) {
    TestKillPoint("convert", POP3_Service.MailMessage.Subject);
    if (POP3_Service.MailMessage.TextLost()) {
        // Its structure hid what it holds (parts no reader finds): kept as it came.
        LogEntry(ansi("POP3 Mail ") + std::to_string(Position) + ansi(" ergab weder Text noch Datei"));
        SpeicherRohMail(Position, Msg,
                        ansi("Diese Mail ergab beim Umwandeln weder Text noch Dateien. Sie steht unverändert "
                             "in der Datei "));
        return;
    }
    // Converted into memory of its own while the host still writes the mail before. The
    // mail's text, the record and the parameter block are each used up as the next is
    // filled, so a mail near the record limit is held about once.
    StoreRecord(ConvertMail(
                    std::move(POP3_Service.MailMessage), [this](const std::string& entry) { LogEntry(entry); },
                    [this] { Turns(); }),
                Position, Msg);
}

void TIncomingRun::SpeicherRohMail(int Position, std::int32_t Msg, const std::string& Why) {
    // The file is named as an attached mail would be, and never made through a name that is
    // there in any form.
    std::string name = "nachricht.eml";
    int fd = -1;
    for (int n = 1; (fd = createPrivateFile(POP3_Service.AttachFilePath + name)) < 0; ++n) {
        if (errno != EEXIST || n > 100000)
            throw EInOutError(std::string("nachricht.eml: ") + std::strerror(errno));
        name = "nachricht_" + std::to_string(n) + ".eml";
    }
    std::string from, to, subject;
    try {
        POP3_Service.GetRawMessage(Msg, fd, from, to, subject);
        ::close(fd);
        fd = -1;
        const std::string folder = POP3_Service.AttachFilePath.empty() ? "." : POP3_Service.AttachFilePath;
        if (const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
    } catch (...) {
        if (fd >= 0)
            ::close(fd);
        ::unlink((POP3_Service.AttachFilePath + name).c_str());
        try {
            throw;
        } catch (const EInOutError&) {
            DropConnection();   // the file could not be written: the rest of the mail is still on its way
            throw;
        }
    }
    LogEntry(ansi("POP3 Mail ") + std::to_string(Position) + ansi(" unverändert in ") + name + " gespeichert");
    TNewMsg rec(Why + name + ".\r\n");
    TNewMsgHeader& h = rec.Header();
    h.FromUserName.assign(NameField(from));
    h.ToUserName.assign(NameField(to));
    h.Subject.assign(SubjectField(subject));
    TFidoAddr addr{};
    ParseFidoAddr("0:0/0", addr);
    h.Addr1 = addr;
    h.Addr2 = addr;
    h.Flags = kIncomingMailFlags;
    StoreRecord(std::move(rec), Position, Msg);
}

void TIncomingRun::StoreRecord(TNewMsg&& recIn, int Position, std::int32_t Msg) {
    std::optional<TStoreInFlight> before;
    bool alone = false;
    {
        TNewMsg rec = std::move(recIn);
        std::string key = StoredMailKey(rec);
        const std::size_t bytes = rec.size();
        alone = bytes > StoreAloneAbove;
        before = CollectStore();
        // In doubt: a store never answered, or a mail an earlier run ended in.
        if (Ledger.InDoubt(Position, key) && HostHasMail(key)) {
            LogEntry(ansi("ED95 Nachricht ist schon in EMAIL gespeichert"));
            if (before)
                MailStored(*before);
            MailStored(TStoreInFlight{Position, Msg, std::move(key), bytes});
            return;
        }
        try {
            edapi1.PostStoreNewMsg(std::move(rec), [this] { Turns(); });
        } catch (...) {
            if (before)
                MailStored(*before);
            throw;
        }
        Storing = TStoreInFlight{Position, Msg, std::move(key), bytes};
    }
    if (before)
        MailStored(*before);
    if (alone) {
        if (const auto stored = CollectStore())
            MailStored(*stored);
    }
}

std::optional<TIncomingRun::TStoreInFlight> TIncomingRun::CollectStore() {
    if (!Storing)
        return std::nullopt;
    TStoreInFlight mail = std::move(*Storing);
    Storing.reset();
    try {
        edapi1.CollectStore(mail.Bytes > ServeStoreAbove ? TEchodeskAPI::TWait::ServingEvents
                                                         : TEchodeskAPI::TWait::Blocking);
        return mail;
    } catch (const std::exception& e) {
        // Never answered: the host may have it. The mail comes again with the next run, and
        // then the host is asked before it is stored.
        if (dynamic_cast<const EStoreUnanswered*>(&e))
            Ledger.StoreUnanswered(mail.Position, mail.Key);
        else
            Ledger.EndedUnstored(mail.Position);
        ++FailedItems;
        LogEntry(ansi("POP3 Übetragungsfehler"));
        return std::nullopt;
    }
}

void TIncomingRun::JournalBroken(const std::exception& e) {
    RunFailed = true;
    LogEntry(ansi("POP3 Liste der gelesenen Nachrichten nicht gespeichert: ") + kUidListFile + ": " + e.what());
    Face.ShowBox(ansi("Die Liste der abgeholten Nachrichten ") + kUidListFile + " konnte nicht gespeichert werden: " +
                 e.what() + ansi(". Der Abruf wurde angehalten; die übrigen Mails holt der nächste Abruf."));
}

std::set<std::string> TIncomingRun::KeysInHost(const std::set<std::string>& Wanted, int Depth) {
    std::set<std::string> found;
    TMessageList list;
    edapi1.GetMsgList(list);
    // Numbered as HostHasMail walks them.
    const int last = list.Count();
    for (int n = last; n >= 0 && n > last - Depth && found.size() < Wanted.size(); --n) {
        std::unique_ptr<TMsgBlock> m;
        try {
            m = edapi1.GetMsg(n);
        } catch (const EMsgBadIndex&) {
            continue;
        }
        if (!m)
            continue;
        std::string key = StoredMailKey(m->ToUserName(), m->FromUserName(), m->Subject(), m->Text());
        if (Wanted.count(key))
            found.insert(std::move(key));
    }
    return found;
}

bool TIncomingRun::HostHasMail(const std::string& Key) {
    try {
        TMessageList list;
        edapi1.GetMsgList(list);
        // The list may count from 0 or from 1 and may hold an entry for the area itself (see
        // the sending run): from one past its end down, a number without a message is skipped.
        const int last = list.Count();
        for (int n = last; n >= 0 && n > last - DoubtSearchDepth; --n) {
            std::unique_ptr<TMsgBlock> m;
            try {
                m = edapi1.GetMsg(n);
            } catch (const EMsgBadIndex&) {
                continue;
            }
            if (m && StoredMailKey(m->ToUserName(), m->FromUserName(), m->Subject(), m->Text()) == Key)
                return true;
        }
    } catch (const std::exception&) {
        // Not known: stored once more rather than lost.
    }
    return false;
}

void TIncomingRun::MailFailed(const std::exception& e) {
    ++FailedItems;
    LogEntry(ansi("POP3 Übetragungsfehler"));
    if (const std::string refusal = RefusalLine("POP3", e); !refusal.empty())
        LogEntry(refusal);
}

void TIncomingRun::MailStored(const TStoreInFlight& mail) {
    try {
        if (Run.Active)
            RecordStored(mail);
    } catch (const EAbortError&) {
        LogEntry(ansi("POP3 Übetragung vom Benutzer abgebrochen"));
    } catch (const std::exception& e) {
        MailFailed(e);
    }
}

void TIncomingRun::ReadMails() {
    Face.RunState = TRunState::Receiving;
    Face.ShowConnectError = true;
    FailedItems = 0;
    RunFailed = false;
    ServerList.clear();
    Ledger.Reset();
    Run = TFetch{};
    Run.DeleteStored = Settings.DeleteFromServer;

    if (!LoadLists()) {
        Face.RunState = TRunState::Idle;
        return;
    }
    if (!TryConnection())
        return;
    if (!ListMailbox()) {
        DropConnection();
        Face.RunState = TRunState::Idle;
        return;
    }
    if (!OpenMailArea()) {
        Face.RunState = TRunState::Idle;
        return;
    }
    Ledger.SortOutKnown();
    StartJournal();

    BerechneSummen();
    LogEntry("POP3 " + std::to_string(TotalBytes) + " Bytes auf dem Server");
    SetLabel(TRunText::Details2, "Insgesamt " + std::to_string(TotalBytes) + " Bytes in " + std::to_string(MailsOnServer) + " Nachrichten");
    SetLabel(TRunText::Status, "Empfange Nachrichten von " + Settings.POP3Server);

    // From here on every store the host confirms is recorded (RecordStored).
    Run.Active = true;
    DeleteDueMails();
    FetchMails();
    EndSession();
    Run = TFetch{};
    Face.RunState = TRunState::Idle;
}

void TIncomingRun::ListFailure(const char* verb, const std::exception& e, const char* consequence) {
    RunFailed = true;
    LogEntry(ansi("POP3 Liste der gelesenen Nachrichten nicht ") + verb + ": " + Ledger.ListFile() + ": " + e.what());
    Face.ShowBox(ansi("Die Liste der abgeholten Nachrichten ") + Ledger.ListFile() + " konnte nicht " + verb +
                 " werden: " + e.what() + ". " + ansi(consequence));
}

void TIncomingRun::LogFailure(const std::string& tag, const char* what, const std::exception& e) {
    RunFailed = true;
    LogEntry(tag + ansi(what) + e.what());
}

void TIncomingRun::DropConnection() { POP3_Service.DropConnection(); }

bool TIncomingRun::LoadLists() {
    // A list file that cannot be read or written is reported with a box: the log alone would
    // let every later run store the same mails again without the user knowing why.
    try {
        Ledger.Load();
    } catch (const std::exception& e) {
        ListFailure("gelesen", e, "Es wurden keine Nachrichten abgeholt.");
        return false;
    }
    return true;
}

bool TIncomingRun::ListMailbox() {
    TPop3Client& pop3 = POP3_Service;
    std::map<int, std::string> uids;
    bool byUid = false;
    try {
        MailsOnServer = pop3.MailCount;
        LogEntry("POP3 " + std::to_string(MailsOnServer) + " Mails auf dem Server");
        LogEntry("POP3 Hole Mailliste...");
        SetLabel(TRunText::Status, "Moment...");
        pop3.List();
        for (const std::string& entry : pop3.ListingLog)
            LogEntry(entry);
        byUid = pop3.ListUniqueIds(uids);
        for (const std::string& entry : pop3.ListingLog)
            LogEntry(entry);
    } catch (const std::exception& e) {
        RunFailed = Face.RunState != TRunState::Cancelled;
        LogEntry(ansi("Übertragung bei Initialisierung abgebrochen"));
        if (const std::string refusal = RefusalLine("POP3", e); !refusal.empty())
            LogEntry(refusal);
        return false;
    }
    // The listing is what the run works through; a count from STAT that is out of range or
    // disagrees with it must neither hide listed mails nor lead past them.
    if (MailsOnServer < 0 || static_cast<std::size_t>(MailsOnServer) != ServerList.size())
        MailsOnServer = static_cast<std::int32_t>(ServerList.size());
    std::vector<std::int32_t> numbers;
    numbers.reserve(ServerList.size());
    for (const auto& listed : ServerList)
        numbers.push_back(listed.first);
    for (const std::int32_t Msg : Ledger.TakeListing(numbers, byUid, uids))
        LogEntry("POP3 Mail " + std::to_string(Msg) + ansi(" hat keine Kennung und wird übergangen"));
    if (!byUid)
        LogEntry(ansi("POP3 Der Server nennt keine Kennungen (UIDL): abgeholte Mails werden erst am Ende des "
                      "Abrufs vermerkt"));
    return true;
}

bool TIncomingRun::OpenMailArea() {
    try {
        edapi1.OpenArea("EMAIL");
    } catch (const std::exception& e) {
        LogFailure("ED95 ", "Area EMAIL konnte nicht geöffnet werden: ", e);
        LogEntry(ansi("Übertragung bei Initialisierung abgebrochen"));
        DropConnection();
        ClearLabels();
        return false;
    }
    if (RecheckUndurableStores())
        return true;
    try {
        edapi1.CloseArea(TEchodeskAPI::TWait::ServingEvents);
    } catch (const std::exception&) {
    }
    DropConnection();
    ClearLabels();
    return false;
}

bool TIncomingRun::RecheckUndurableStores() {
    // Stores not yet known durable (the run before ended without closing the area, or a
    // power cut may have come since): the listed ones are looked for in the host, and those
    // it does not have come again.
    if (!Ledger.ByUid())
        return true;
    const std::set<std::string> wanted = Ledger.UndurableKeys();
    if (wanted.empty())
        return true;
    std::set<std::string> found;
    try {
        found = KeysInHost(wanted, static_cast<int>(wanted.size()) + DoubtSearchDepth);
    } catch (const std::exception& e) {
        LogFailure("ED95 ", "Area EMAIL konnte nicht gelesen werden: ", e);
        LogEntry(ansi("Übertragung bei Initialisierung abgebrochen"));
        return false;
    }
    const int again = Ledger.ForgetMissing(found);
    if (again > 0)
        LogEntry("POP3 " + std::to_string(again) + ansi(" als abgeholt vermerkte Mails fehlen in EMAIL und werden neu geholt"));
    return true;
}

bool TIncomingRun::SaveLists(const char* consequence) {
    try {
        Ledger.Save();
        return true;
    } catch (const std::exception& e) {
        ListFailure("gespeichert", e, consequence);
        return false;
    }
}

void TIncomingRun::StartJournal() {
    try {
        Ledger.Start();
    } catch (const std::exception& e) {
        ListFailure("gespeichert", e, "Es wurden keine Nachrichten abgeholt.");
    }
}

void TIncomingRun::DeleteMail(int position) {
    const std::int32_t Msg = ServerList[static_cast<std::size_t>(position - 1)].first;
    Run.DeletionAsked = true;
    Run.DeletionsDue[Msg] = position;
    POP3_Service.RequestDeletion(Msg);
}

// The server's answer to a DELE, read in its turn: only a deletion it took counts.
void TIncomingRun::POP3_ServiceDeletionAnswered(std::int32_t Msg, const ERefused* Refusal) {
    const auto due = Run.DeletionsDue.find(Msg);
    if (due == Run.DeletionsDue.end())
        return;
    const int position = due->second;
    Run.DeletionsDue.erase(due);
    if (Refusal) {
        MailFailed(*Refusal);
        return;
    }
    Ledger.DeletionTaken(position, Msg);
    TestKillPoint("deleted");
}

void TIncomingRun::DeleteDueMails() {
    for (int position : Ledger.DueNow()) {
        if (Face.RunState != TRunState::Receiving || !Ledger.Writable() || !POP3_Service.Connected())
            break;
        try {
            DeleteMail(position);
        } catch (const EAbortError&) {
            LogEntry(ansi("POP3 Übetragung vom Benutzer abgebrochen"));
        } catch (const std::exception& e) {
            MailFailed(e);
        }
    }
}

// A mail counts as read, and is deleted on the server, only once the host has confirmed its
// store and the journal has it; the host answers for one mail while the next is fetched and
// converted. After a cancel or a lost host the session ends without QUIT, which deletes
// nothing anyway.
void TIncomingRun::RecordStored(const TStoreInFlight& mail) {
    if (Ledger.ByUid())
        TestKillPoint("stored");
    const bool recorded = Ledger.Stored(mail.Position, mail.Msg, mail.Key, Run.DeleteStored);
    if (recorded && Run.DeleteStored && Face.RunState == TRunState::Receiving && POP3_Service.Connected())
        DeleteMail(mail.Position);
}

void TIncomingRun::FetchMails() {
    int i = Ledger.Writable() ? Ledger.UnreadFrom(1) : Ledger.Mails() + 1;
    while (i <= Ledger.Mails() && Face.RunState == TRunState::Receiving && !Ledger.Broken()) {
        Run.UnreadMet = true;
        i = FetchMail(i);
    }
    // The last store is answered before the area is closed, whatever ended the loop.
    if (const auto stored = CollectStore())
        MailStored(*stored);
}

int TIncomingRun::FetchMail(int i) {
    TPop3Client& pop3 = POP3_Service;
    const auto [Msg, Size] = ServerList[static_cast<std::size_t>(i - 1)];
    int next = 0;   // the next unread mail, once looked up
    LogEntry("POP3 Empfange Mail " + std::to_string(i) + " (" + std::to_string(Size) + " Bytes)");
    SetLabel(TRunText::Details1, "Nachricht " + std::to_string(i) + " mit " + std::to_string(Size) + " Bytes");
    CurrentMailSize = Size;
    ProgressShownAt = nowMs();
    // The answers to DELEs sent before come first: a run that ends in them has not ended in
    // this mail.
    try {
        pop3.TakeDeletionAnswers();
    } catch (const std::exception&) {
        // The connection is gone; fetching the mail meets it.
    }
    const bool poison = Ledger.Poisoned(i);
    if (!Ledger.Begins(i))
        return Ledger.Mails() + 1;
    bool settled = false;
    try {
        if (poison) {
            LogEntry(ansi("POP3 Mail ") + std::to_string(i) + ansi(" wird nicht umgewandelt: zwei Abrufe vorher endeten in ihr"));
            // Its store settles it; a failure leaves it counted, so it is not parsed again.
            settled = true;
            SpeicherRohMail(i, Msg,
                            ansi("Diese Mail wurde nicht umgewandelt: Postbridge ist zweimal beim Verarbeiten "
                                 "dieser Mail abgebrochen. Sie steht unverändert in der Datei "));
        } else {
            try {
                // With PIPELINING this mail, when small, goes out with those asked for ahead.
                if (pop3.Capabilities.Pipelining)
                    RequestAhead(i);
                pop3.GetMailMessage(Msg);
            } catch (const EStreamError&) {
                // The attachment files could not be written: the rest of the mail is still on
                // its way, so the session is out of step with the server.
                DropConnection();
                throw;
            } catch (const EInOutError&) {
                DropConnection();
                throw;
            }
            next = Ledger.UnreadFrom(i + 1);
            RequestAhead(next);
            LogEntry("ED95 Nachricht wird in EMAIL gespeichert...");
            SpeicherAktMail(i, Msg);
            settled = true;   // from here on its store settles it
        }
    } catch (const EAbortError&) {
        LogEntry(ansi("POP3 Übetragung vom Benutzer abgebrochen"));
    } catch (const std::exception& e) {
        MailFailed(e);
    }
    // Ended without a store of its own (a failure, a cancel): not an abnormal end.
    if (!settled)
        Ledger.EndedUnstored(i);
    CurrentMailSize = 0;
    ShowProgress(0);
    // Mails asked for ahead are often there before their turn, and reading them turns the
    // message loop no more: the window gets a turn between mails too.
    Turns();
    return next > 0 ? next : Ledger.UnreadFrom(i + 1);
}

void TIncomingRun::RequestAhead(int from) {
    // The server prepares the next mails while this one is converted and stored. Without
    // PIPELINING one mail at most is asked for ahead, and none with deletion on: the DELE of the
    // mail before has to go out first, so the mails are then taken one by one. With it the
    // mails from `from` on are asked for in the listing's order, up to the depth and the bytes
    // above; the DELEs go out between them. A mail listed as large, or one that two runs ended
    // in, ends the row: it is asked for when its turn is due (a large one goes to disk as it
    // arrives, the other is read unparsed), and every answer is taken in the order asked. A
    // failure to send a request does not keep the mail in hand from being stored: fetching the
    // next one meets it.
    TPop3Client& pop3 = POP3_Service;
    const bool pipelined = pop3.Capabilities.Pipelining;
    if (!pipelined && Run.DeleteStored)
        return;
    const int depth = pipelined ? PipelineDepth : 1;
    int position = pop3.RequestedCount() > 0 ? Ledger.UnreadFrom(std::max(from, Run.AheadTo + 1)) : from;
    while (position <= Ledger.Mails() && pop3.RequestedCount() < depth) {
        const auto [Msg, Size] = ServerList[static_cast<std::size_t>(position - 1)];
        if (Size > RequestAheadLimit || Ledger.Poisoned(position))
            return;
        if (pop3.RequestedCount() > 0 && pop3.RequestedBytes() + Size > PipelineBytes)
            return;
        const int asked = pop3.RequestedCount();
        try {
            pop3.RequestMailMessage(Msg);
        } catch (const std::exception&) {
            return;
        }
        if (pop3.RequestedCount() == asked)
            return;
        Run.AheadTo = position;
        position = Ledger.UnreadFrom(position + 1);
    }
}

void TIncomingRun::EndSession() {
    // The host makes the stored mails durable before it answers the close. Until it has, the
    // deletions of this session must not be committed.
    bool areaClosed = false;
    try {
        edapi1.CloseArea(TEchodeskAPI::TWait::ServingEvents);
        areaClosed = true;
    } catch (const std::exception& e) {
        LogFailure("ED95 ", "Area EMAIL konnte nicht geschlossen werden: ", e);
    }
    ServerList.clear();

    if (!Run.UnreadMet && Face.RunState == TRunState::Receiving && Ledger.Writable())
        LogEntry("POP3 Keine neuen Nachrichten vorhanden");
    ClearLabels();

    // The journal goes to disk before QUIT commits the deletions it names.
    bool journalDurable = !Ledger.Broken();
    try {
        Ledger.Sync();
    } catch (const std::exception& e) {
        journalDurable = false;
        ListFailure("gespeichert", e, "Beim nächsten Abruf können Nachrichten doppelt ankommen.");
    }

    const bool deletionsDone = Quit(areaClosed && journalDurable);
    Ledger.SessionEnded(areaClosed, deletionsDone);
    if (Ledger.Writable())
        SaveLists("Beim nächsten Abruf können Nachrichten doppelt ankommen.");
    Ledger.Close();
}

bool TIncomingRun::Quit(bool storesDurable) {
    if (Face.RunState != TRunState::Receiving || (!storesDurable && Run.DeletionAsked)) {
        DropConnection();
        return false;
    }
    LogEntry("POP3 Trenne Verbindung zum Server...");
    TPop3Client& pop3 = POP3_Service;
    try {
        // The answers still due first (DELEs, mails asked for ahead): QUIT goes out only on a
        // session in step, and every deletion it commits is known.
        pop3.TakeAnswers();
    } catch (const std::exception& e) {
        LogFailure("POP3 ", "Fehler beim Trennen der Verbindung: ", e);
        DropConnection();
        return false;
    }
    const bool wasConnected = pop3.Connected();
    try {
        pop3.Disconnect();
        LogEntry("POP3 Verbindung getrennt");
    } catch (const std::exception& e) {
        LogFailure("POP3 ", "Fehler beim Trennen der Verbindung: ", e);
        DropConnection();
        // QUIT went out on a live connection: the server carries out the deletions when it
        // reads QUIT, whether or not its answer comes back. Taking them as done may fetch a
        // stored mail once more; taking them as not done would leave the old numbers in the
        // list, where they hide the mails that move down into them, and those never come in.
        // (The ids of deleted mails stay in their list either way: a mail that is still
        // there is known by its id, one that is gone drops out with the next run.)
    }
    return wasConnected;
}

} // namespace pb
