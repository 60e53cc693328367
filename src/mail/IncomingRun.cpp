// The retrieval run and the POP3 component's handlers, methods of the main window.
//
// ReadMails connects, lists the mailbox, and fetches every listed mail that the read-message
// list does not know, converting and storing each one in the host's "EMAIL" area. The host
// and the server are kept in step so that no mail is lost and none is skipped:
//  - a mail counts as read only once the host has stored it; a mail whose retrieval, conversion
//    or store fails is fetched again by the next run;
//  - with "delete from server" on, a mail is deleted only after the host stored it. The server
//    carries the deletions out at the end of a session ended with QUIT, and then numbers the
//    remaining mails afresh: the list drops the deleted numbers and moves the later ones down.
//    When the session ends any other way, nothing was deleted and the numbers stay as they are;
//  - a run cut short (cancel, lost host) keeps the entries it did not get to look up;
//  - failures to open or close the host area, to save the list file or to end the session
//    are logged and end the run like a failed listing, never with an error box in the middle
//    of the buttons' states;
//  - a session that cannot go on (failed listing, cancel, lost host, attachment files that
//    cannot be written) is dropped without QUIT, so the next run can connect afresh.
#include "app/PB_main.h"
#include "mail/MailConversion.h"
#include "mail/PB_Liste.h"
#include "net/Streams.h"
#include "platform/AnsiText.h"
#include "platform/MessageBoxes.h"

#include <QLabel>
#include <QProgressBar>
#include <QToolButton>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

namespace pb {
namespace {

std::string str(long long n) { return std::to_string(n); }

std::int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// The bar is repainted at once when it moves; with thousands of small mails that would cost
// more than the mails themselves, so it moves at most this often.
constexpr std::int64_t ProgressIntervalMs = 40;

// Largest listed size of a mail that is asked for before the mail in hand is stored.
constexpr std::int32_t RequestAheadLimit = 256 * 1024;

// After the server has carried out the deletions of a session, every mail behind a deleted one
// has moved down by one number per deleted mail before it. The deleted numbers themselves are
// dropped: a later mail may take them.
void renumberAfterDeletion(TReadList& list, std::vector<std::int32_t> deleted) {
    std::sort(deleted.begin(), deleted.end());
    TReadList kept;
    kept.reserve(list.size());
    for (ReadListEntry e : list) {
        if (std::binary_search(deleted.begin(), deleted.end(), e.MsgNumber))
            continue;
        const auto below = std::lower_bound(deleted.begin(), deleted.end(), e.MsgNumber) - deleted.begin();
        e.MsgNumber -= static_cast<std::int32_t>(below);
        kept.push_back(e);
    }
    list = std::move(kept);
}

} // namespace

void Tmain::SetupPOP3Service() {
    TPop3Client& p = *POP3_Service;
    p.Port = 110;
    p.ReportLevel = 0;
    p.DeleteOnRead = false;
    p.OnInvalidHost = [this](bool& Handled) { POP3_ServiceInvalidHost(Handled); };
    p.OnPacketRecvd = [this](QObject*) { POP3_ServicePacketRecvd(); };
    p.OnRetrieveProgress = [this](QObject*) { POP3_ServicePacketRecvd(); };
    p.OnAuthenticationFailed = [this](bool& Handled) { POP3_ServiceAuthenticationFailed(Handled); };
    p.OnList = [this](int Msg, int Size) { POP3_ServiceList(Msg, Size); };
}

bool Tmain::TryConnection() {
    TPop3Client& p = *POP3_Service;
    SetRunButtons();

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
    LogEntry("POP3 Serverportnr.: " + str(Settings.POP3Port));
    p.UserID = Settings.POP3User;
    LogEntry("POP3 Login: " + Settings.POP3User);
    p.Password = Settings.POP3Password;
    return ConnectService("POP3", Settings.POP3Server, [&p] { p.Connect(); });
}

void Tmain::POP3_ServiceInvalidHost(bool&) {
    showMessage("Dieser Server konnte nicht gefunden werden: " + Settings.POP3Server);
    ShowConnectError = false;
}

void Tmain::POP3_ServiceAuthenticationFailed(bool&) {
    showMessage(ansi("Der Server hat Sie nicht autorisiert. Stellen Sie sicher, dass Sie in der "
                     "Konfiguration das richtige Passwort und den korrekten Login-Namen eingestellt haben."));
    LogEntry("POP3 Authentification failed");
    ShowConnectError = false;
}

void Tmain::POP3_ServiceList(std::int32_t Msg, std::int32_t Size) {
    ServerList.emplace_back(Msg, Size);
}

void Tmain::BerechneSummen() {
    TotalBytes = 0;
    const auto n = std::min<std::size_t>(static_cast<std::size_t>(std::max(MailsOnServer, 0)), ServerList.size());
    for (std::size_t i = 0; i < n; ++i)
        TotalBytes += ServerList[i].second;
}

void Tmain::POP3_ServicePacketRecvd() {
    const TPop3Client& p = *POP3_Service;
    std::int64_t percent = 0;
    if (p.SendSize() > 0 && p.SentCount() > 0)
        percent = p.SentCount() * 100 / p.SendSize();
    else if (CurrentMailSize > 0)
        percent = p.RetrievedBytes() * 100 / CurrentMailSize;
    percent = std::clamp<std::int64_t>(percent, 0, 100);
    if (percent == ProgressBar1->value())
        return;
    const std::int64_t now = nowMs();
    if (now - ProgressShownAt < ProgressIntervalMs)
        return;
    ProgressShownAt = now;
    ProgressBar1->setValue(static_cast<int>(percent));
}

void Tmain::SpeicherAktMail() {
    const TNewMsg rec = ConvertMail(POP3_Service->MailMessage, [this](const std::string& entry) { LogEntry(entry); });
    edapi1->StoreNewMsg(rec);
}

void Tmain::ReadMails() {
    TPop3Client& pop3 = *POP3_Service;
    RunState = TRunState::Receiving;
    ShowConnectError = true;

    ServerList.clear();
    TReadList ReadList;
    LoadReadList(ReadList);

    if (!TryConnection())
        return;

    // A session that cannot go on is dropped without QUIT: the server then carries out none
    // of its deletions, and the next run can connect afresh.
    auto dropConnection = [&] {
        if (pop3.Connected()) {
            pop3.TAsyncSocket::Disconnect();
            pop3.InBuffer.Clear();
        }
    };
    auto logFailure = [&](const std::string& tag, const char* what, const std::exception& e) {
        LogEntry(tag + ansi(what) + e.what());
    };

    try {
        MailsOnServer = pop3.MailCount;
        LogEntry("POP3 " + str(MailsOnServer) + " Mails auf dem Server");
        LogEntry("POP3 Hole Mailliste...");
        SetLabel(status, "Moment...");
        pop3.List();
    } catch (const std::exception&) {
        LogEntry(ansi("Übertragung bei Initialisierung abgebrochen"));
        dropConnection();
        RunState = TRunState::Idle;
        return;
    }

    BerechneSummen();
    LogEntry("POP3 " + str(TotalBytes) + " Bytes auf dem Server");
    SetLabel(details2, "Insgesamt " + str(TotalBytes) + " Bytes in " + str(MailsOnServer) + " Nachrichten");
    SetLabel(status, "Empfange Nachrichten von " + Settings.POP3Server);

    try {
        edapi1->OpenArea("EMAIL");
    } catch (const std::exception& e) {
        logFailure("ED95 ", "Area EMAIL konnte nicht geöffnet werden: ", e);
        LogEntry(ansi("Übertragung bei Initialisierung abgebrochen"));
        dropConnection();
        ClearLabels();
        RunState = TRunState::Idle;
        return;
    }

    const bool deleteStored = Settings.DeleteFromServer;
    std::vector<std::int32_t> deleted;   // numbers of this session marked for deletion
    bool unreadMet = false;
    // A server that lists fewer mails than it counted must not lead the loop past the listing.
    const int mails = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(std::max(MailsOnServer, 0)), ServerList.size()));
    // The first listed mail from `from` on that the list does not know (mails + 1 for none);
    // the ones passed over are marked as still listed.
    auto unreadFrom = [&](int from) {
        while (from <= mails && IsMessageRead(ReadList, ServerList[static_cast<std::size_t>(from - 1)].first))
            ++from;
        return from;
    };
    int i = unreadFrom(1);
    while (i <= mails && RunState == TRunState::Receiving) {
        const auto [Msg, Size] = ServerList[static_cast<std::size_t>(i - 1)];
        unreadMet = true;
        int next = 0;   // the next unread mail, once looked up
        LogEntry("POP3 Empfange Mail " + str(i) + " (" + str(Size) + " Bytes)");
        SetLabel(details1, "Nachricht " + str(i) + " mit " + str(Size) + " Bytes");
        CurrentMailSize = Size;
        ProgressShownAt = nowMs();
        try {
            try {
                pop3.GetMailMessage(i);
            } catch (const EStreamError&) {
                // The attachment files could not be written: the rest of the mail is still on
                // its way, so the session is out of step with the server.
                dropConnection();
                throw;
            } catch (const EInOutError&) {
                dropConnection();
                throw;
            }
            next = unreadFrom(i + 1);
            // The server prepares the next mail while the host stores this one. With deletion on
            // the DELE of this mail has to go out first, so the mails are then taken one by one.
            // What arrives of a mail requested ahead waits in memory until it is read, so only
            // mails listed as small are asked for ahead; a large one comes when its turn is due
            // and goes to disk as it arrives. A failure to send the request ahead does not keep
            // this mail from being stored: fetching the next one meets it.
            if (!deleteStored && next <= mails &&
                ServerList[static_cast<std::size_t>(next - 1)].second <= RequestAheadLimit) {
                try {
                    pop3.RequestMailMessage(next);
                } catch (const std::exception&) {
                }
            }
            LogEntry("ED95 Nachricht wird in EMAIL gespeichert...");
            SpeicherAktMail();
            AddReadMessage(ReadList, Msg);
            if (deleteStored) {
                pop3.DeleteMailMessage(i);
                deleted.push_back(Msg);
            }
        } catch (const EAbortError&) {
            LogEntry(ansi("POP3 Übetragung vom Benutzer abgebrochen"));
        } catch (const std::exception&) {
            LogEntry(ansi("POP3 Übetragungsfehler"));
        }
        CurrentMailSize = 0;
        ProgressBar1->setValue(0);
        i = next > 0 ? next : unreadFrom(i + 1);
    }
    // Cut short: the listed numbers the loop did not reach stay known, or their mails would be
    // fetched and stored a second time by the next run.
    for (int rest = i; rest <= mails; ++rest)
        IsMessageRead(ReadList, ServerList[static_cast<std::size_t>(rest - 1)].first);

    try {
        edapi1->CloseArea();
    } catch (const std::exception& e) {
        logFailure("ED95 ", "Area EMAIL konnte nicht geschlossen werden: ", e);
    }
    ServerList.clear();

    if (!unreadMet && RunState == TRunState::Receiving)
        LogEntry("POP3 Keine neuen Nachrichten vorhanden");
    ClearLabels();

    bool deletionsDone = false;
    if (RunState == TRunState::Receiving) {
        LogEntry("POP3 Trenne Verbindung zum Server...");
        const bool wasConnected = pop3.Connected();
        try {
            pop3.Disconnect();
            deletionsDone = wasConnected;
            LogEntry("POP3 Verbindung getrennt");
        } catch (const std::exception& e) {
            logFailure("POP3 ", "Fehler beim Trennen der Verbindung: ", e);
            dropConnection();
            // QUIT went out on a live connection: the server carries out the deletions when it
            // reads QUIT, whether or not its answer comes back. Taking them as done may fetch a
            // stored mail once more; taking them as not done would leave the old numbers in the
            // list, where they hide the mails that move down into them, and those never come in.
            deletionsDone = wasConnected;
        }
    } else {
        dropConnection();
    }

    if (deletionsDone && !deleted.empty())
        renumberAfterDeletion(ReadList, std::move(deleted));
    try {
        SaveReadList(ReadList);
    } catch (const std::exception& e) {
        logFailure("POP3 ", "Liste der gelesenen Nachrichten nicht gespeichert: ", e);
    }
    RunState = TRunState::Idle;
}

} // namespace pb
