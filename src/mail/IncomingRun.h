#pragma once
// The retrieval run: the POP3 session that brings the mailbox's new mails into the host; what it
// knows and records of each mail is kept by its ledger (ReadLedger.h).
#include "mail/MailAssembler.h"
#include "mail/MailRun.h"
#include "mail/ReadLedger.h"
#include "mime/PartDecoder.h"
#include "net/Pop3Client.h"

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace pb {

// The retrieval run: fetches the new mails of the POP3 mailbox into the host's "EMAIL" area.
class TIncomingRun : public TMailRun {
public:
    // Wires the component's events to this run.
    TIncomingRun(TRunFace& face, TEchodeskAPI& host, TPop3Client& pop3, const TSettings& settings);
    ~TIncomingRun();

    void ReadMails();
    // "Abbrechen" during this run: stops the component's wait and marks the run cancelled.
    void Cancel();

    // Converts the mail just retrieved (number Position, listed as Msg) and hands it to the
    // host: the host's answer for the mail before is collected once this one is converted,
    // then this one's store is posted, so that the host writes while the next mail comes in.
    void SpeicherAktMail(int Position, std::int32_t Msg);
    // A mail in which two runs before ended abnormally, or whose conversion kept nothing of
    // its text: fetched again unparsed into a file of its own (named like an attached mail,
    // "nachricht.eml"), synced, and stored as a record with its sender and subject and a note
    // (Why, then the file's name) naming the file.
    void SpeicherRohMail(int Position, std::int32_t Msg, const std::string& Why);
    void BerechneSummen();                  // TotalBytes = sum of the listed sizes
    bool TryConnection();                   // POP3 connection step with log and face

    // Retrieval run state: the listing (Msg, Size) in server order, the mail count and total.
    std::vector<std::pair<std::int32_t, std::int32_t>> ServerList;
    std::int32_t MailsOnServer = 0;
    std::int64_t TotalBytes = 0;            // 64 bits: a mailbox may well exceed 2 GB

private:
    void POP3_ServiceList(std::int32_t Msg, std::int32_t Size);
    void POP3_ServiceAuthenticationFailed(bool& Handled);
    void POP3_ServiceInvalidHost(bool& Handled);
    void POP3_ServicePacketRecvd();
    void ShowProgress(int percent);

    // A mail whose store the host has not answered yet: its place in the listing, its number.
    struct TStoreInFlight {
        int Position = 0;
        std::int32_t Msg = 0;
        std::string Key;   // how the host's copy is recognised (see StoredMailKey)
        std::size_t Bytes = 0;   // the record's size
    };
    // Hands a record to the host as SpeicherAktMail describes; a mail whose store is in doubt
    // is first looked for in the host.
    void StoreRecord(TNewMsg&& rec, int Position, std::int32_t Msg);
    // The keys among Wanted of messages in the host's "EMAIL", looked for among its last
    // Depth messages. Raises the host's errors.
    std::set<std::string> KeysInHost(const std::set<std::string>& Wanted, int Depth);
    // Waits for the host's answer for the mail in flight: the mail when it is stored; a failed
    // store is logged as that mail's failure.
    std::optional<TStoreInFlight> CollectStore();
    // What the run does with a mail the host has stored (it counts as read; with deletion on it
    // is deleted on the server); a failure of it is logged here.
    void MailStored(const TStoreInFlight& mail);
    // True when the host's "EMAIL" has a message of this key among its last ones.
    bool HostHasMail(const std::string& Key);
    std::optional<TStoreInFlight> Storing;
    // What is known and recorded of the mailbox's mails: the lists, the journal, the stores in
    // doubt.
    TReadLedger Ledger;

    // The steps of ReadMails, in their order. Each that can fail logs (and where the user must
    // know, shows) why, and returns false when the run cannot go on.
    bool LoadLists();                  // the read list, the journal, the stores in doubt
    bool ListMailbox();                // LIST and UIDL; the listed mails by position and id
    bool OpenMailArea();               // "EMAIL", with the stores of a run before looked up
    bool RecheckUndurableStores();
    void StartJournal();               // the lists written, the journal opened
    void DeleteDueMails();             // deletions a session before did not commit
    void FetchMails();                 // every unread mail, in the listing's order
    int FetchMail(int Position);       // one mail; returns the next unread position
    void RequestAhead(int From);       // asks for the mails from there on before their turn
    void POP3_ServiceDeletionAnswered(std::int32_t Msg, const ERefused* Refusal);
    void EndSession();                 // the area closed, the journal synced, QUIT, lists saved
    // QUIT when the run may commit its deletions (the stores durable, or none made), else the
    // connection dropped; true when the server carries out this session's deletions.
    bool Quit(bool StoresDurable);
    // What the run does with a mail the host has confirmed: counted as read, journalled, and
    // with deletion on deleted on the server.
    void RecordStored(const TStoreInFlight& mail);
    // DELE for the mail at Position; its answer, read in its turn, is what records it.
    void DeleteMail(int Position);
    bool SaveLists(const char* Consequence);
    // The journal cannot take a line any more: logged and shown once; nothing more is fetched.
    void JournalBroken(const std::exception& e);
    // A list file could not be read or written: logged, and shown in a box with the consequence.
    void ListFailure(const char* Verb, const std::exception& e, const char* Consequence);
    void LogFailure(const std::string& Tag, const char* What, const std::exception& e);
    // A mail's failure (or its deletion's): counted, logged, with the server's refusal if any.
    void MailFailed(const std::exception& e);
    // A session that cannot go on is dropped without QUIT: the server then carries out none of
    // its deletions, and the next run can connect afresh.
    void DropConnection();

    // The state of one ReadMails.
    struct TFetch {
        bool Active = false;               // stores the host confirms are recorded
        bool DeleteStored = false;         // "delete from server" as the run started
        bool UnreadMet = false;
        int AheadTo = 0;                   // the last position asked for ahead
        bool DeletionAsked = false;        // a DELE went out in this session
        std::map<std::int32_t, int> DeletionsDue;   // DELEs not yet answered: number -> position
    };
    TFetch Run;

    TPop3Client& POP3_Service;
    // Builds the component's MailMessage: body, files and their names.
    TMailAssembler Assembler;
    // The window's turns between mails and while a long mail is converted and handed to the
    // host, every few milliseconds: one clock for all, so that the pause between two steps does
    // not add to a turn's wait.
    TTurns Turns{[this] { Face.KeepResponsive(); }};
    // Progress of the mail being retrieved: its size from the listing, the bar's position, and
    // when the bar was last moved (ms on the steady clock; it is repainted at most every few ms).
    std::int32_t CurrentMailSize = 0;
    int ProgressShown = 0;
    std::int64_t ProgressShownAt = 0;
};

} // namespace pb
