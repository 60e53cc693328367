// The sending run and the SMTP component's handlers.
//
// SendMails connects to the SMTP server, walks the host's "EMAIL" area, sends every message the
// user wrote there and that is not sent yet (flag word exactly 0x0840), marks each sent message
// 0x0080, and disconnects. What it guarantees beyond that:
//  - every message the host lists is reached, whichever number the host gives its first one;
//  - a message is marked sent only when the server accepted it in this very send; one that
//    fails keeps 0x0840 and is tried again by the next run;
//  - a message that names no recipient the run can find, when there is nobody to ask, keeps
//    0x0840 and is not handed to the server;
//  - when the connection to the server is lost, the run stops instead of reporting every
//    remaining message as failed;
//  - an error that leaves the run (host, address book, disconnect) first closes what can still
//    be closed (the connection with QUIT, the area), so that the next run starts clean; the
//    button handler shows the error and brings the buttons back.
#include "mail/OutgoingRun.h"
#include "mail/FailureCause.h"
#include "mail/OutgoingText.h"
#include "mail/PB_addressbook.h"
#include "platform/AnsiText.h"


#include <optional>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

namespace pb {
namespace {

// Flag words of the host: a message written for sending, and one that was sent.
constexpr std::uint16_t FlagsOutgoing = 0x0840;
constexpr std::uint16_t FlagsSent = 0x0080;

constexpr const char* ProgramName = "Echodesk 95 using Postbridge Alpha 4";
// The component's single-part Content-Type line, and what goes in its place: host texts are
// Latin-1 text, not ASCII.
constexpr const char* PlainAscii = "Content-Type: text/plain;                        charset=us-ascii";
constexpr const char* PlainLatin1 = "Content-Type: text/plain; charset=iso-8859-1";

// The box text for a message that could not be sent: the command the server refused and its
// reply when the failure was its answer to this message, else what went wrong. The component's last reply may belong to
// an earlier command or message and is not shown then.
std::string SendFailureText(const std::exception& e, const std::string& server, const TAsyncSocket& smtp) {
    const std::string text = "Die Nachricht konnte nicht versendet werden.";
    if (const std::string refusal = RefusalLine("SMTP", e); !refusal.empty())
        return text + " " + refusal;
    const std::string what = e.what();
    if (what == "Incomplete Header")
        return text + ansi(" Die Nachricht hat keinen Empfänger.");
    return text + " " + FailureCause("SMTP", server, smtp, e);
}

bool addressBookExists() {
    struct stat st {};
    return ::stat(kAddressBookFile, &st) == 0;
}

} // namespace

TOutgoingRun::TOutgoingRun(TRunFace& face, TEchodeskAPI& host, TSmtpClient& smtp, const TSettings& settings)
    : TMailRun(face, host, settings), SMTP_Service(smtp) {
    TSmtpClient& s = SMTP_Service;
    s.Port = 25;
    s.ReportLevel = 0;
    s.EncodeType = UUMethods::uuMime;
    s.ClearParams = true;
    s.SubType = TSubType::mtPlain;
    s.OnSendStart = [this](QObject*) { SMTP_ServiceSendStart(); };
    s.OnSuccess = [this](QObject*) { SMTP_ServiceSuccess(); };
    s.OnFailure = [this](QObject*) { SMTP_ServiceFailure(); };
    s.OnAuthenticationFailed = [this](bool& Handled) { SMTP_ServiceAuthenticationFailed(Handled); };
}

bool TOutgoingRun::TrySMTPConnection() {
    TSmtpClient& smtp = SMTP_Service;
    Face.ConnectionStarting();

    smtp.ReportLevel = 2;
    smtp.TimeOut = 20000;
    smtp.Host = Settings.SMTPServer;
    LogEntry("SMTP Serveradresse: " + Settings.SMTPServer);
    smtp.Port = Settings.SMTPPort;
    LogEntry("SMTP Serverportnr.: " + std::to_string(Settings.SMTPPort));
    smtp.UserID = Settings.SMTPLogin;
    LogEntry("SMTP Login: " + Settings.SMTPLogin);
    smtp.Security = static_cast<TSecurity>(Settings.SMTPSecurity);
    if (smtp.Security != TSecurity::None)
        LogEntry(ansi("SMTP Verschlüsselung: ") + SecurityName(Settings.SMTPSecurity));
    UseLogin(smtp, Settings.SMTPTokenLogin, "SMTP");
    smtp.UseAuth = Settings.SMTPAuth || smtp.AuthMethod == TAuthMethod::Bearer;
    smtp.AuthUser = Settings.SMTPUser.empty() ? Settings.SMTPEmail : Settings.SMTPUser;
    // Most providers take one login for both servers: without a password of its own, SMTP
    // logs in with the POP3 one.
    smtp.AuthPassword = Settings.SMTPPassword.empty() ? Settings.POP3Password : Settings.SMTPPassword;
    if (smtp.UseAuth) {
        LogEntry("SMTP Anmeldung als " + smtp.AuthUser);
        if (smtp.Security == TSecurity::None) {
            // The password would cross the network readable by anyone on the way.
            Face.ShowBox(ansi("Die SMTP-Anmeldung ist eingeschaltet, die Verbindung zum SMTP-Server aber "
                             "nicht verschlüsselt. Das Passwort wird nie unverschlüsselt gesendet: "
                             "Wählen Sie auf der Seite \"Sicherheit\" der Konfiguration STARTTLS oder "
                             "SSL/TLS. Es wurde nichts gesendet."));
            LogEntry(ansi("SMTP Anmeldung ohne Verschlüsselung abgelehnt"));
            RunFailed = true;
            Face.ConnectionFailed();
            return false;
        }
    }
    return ConnectService("SMTP", Settings.SMTPServer, smtp,
                          [this, &smtp] { ConnectSecurely("SMTP", smtp, smtp.Security, [&smtp] { smtp.Connect(); }); });
}

void TOutgoingRun::SendMails() {
    TSmtpClient& smtp = SMTP_Service;
    Face.RunState = TRunState::Sending;
    Face.ShowConnectError = true;
    FailedItems = 0;
    RunFailed = false;

    if (!TrySMTPConnection())
        return;

    SetLabel(TRunText::Status, "Sende Nachrichten");
    TMessageList MsgList;
    TAddressBook AddressBook;
    bool areaOpen = false;

    try {
        if (addressBookExists())
            LoadAddressBook(AddressBook);
        edapi1.OpenArea("EMAIL");
        areaOpen = true;
        edapi1.GetMsgList(MsgList);

        // Hosts differ in whether their list counts from 0 or from 1 and whether it has an
        // entry for the area itself. Asking from 0 to one past the list reaches every message
        // either way; a number the host has no message for is answered with EMsgBadIndex.
        const int last = MsgList.Count();
        for (int i = 0; i <= last && Face.RunState == TRunState::Sending && smtp.Connected(); ++i) {
            std::uint16_t flags = 0;
            try {
                flags = edapi1.GetMsgFlags(i);
            } catch (const EMsgBadIndex&) {
                continue;
            }
            if (flags != FlagsOutgoing)
                continue;

            smtp.ClearParameters();
            TPostMessage& post = smtp.PostMessage;
            {
                const std::unique_ptr<TMsgBlock> msg = edapi1.GetMsg(i);
                if (!msg)
                    continue;
                post.FromName = msg->FromUserName() + " ";
                post.Subject = msg->Subject();
                const std::string& subject = post.Subject;
                bool nobodyToAsk = false;
                PrepareOutgoing(
                    msg->Text(), msg->ToUserName(), AddressBook, Settings.StripInitials, post.Body, post.ToAddress,
                    [this](const std::string& entry) { LogEntry(entry); },
                    [this, &subject, &nobodyToAsk] {
                        auto answer = Face.AskRecipients(subject);
                        nobodyToAsk = !answer;
                        return answer ? std::move(*answer) : std::vector<std::string>{};
                    });
                if (nobodyToAsk) {
                    LogEntry(ansi("SMTP Kein Empfänger für \"") + subject +
                             ansi("\" gefunden, die Nachricht bleibt ungesendet"));
                    continue;
                }
            }
            post.FromAddress = Settings.SMTPEmail;
            post.LocalProgram = ProgramName;

            // Cleared first: a send that returns without a word must not count as a success of
            // the message before.
            SendSucceeded = false;
            try {
                smtp.SendMail();
            } catch (const EAbortError&) {
                LogEntry("SMTP Senden vom Benutzer abgebrochen");
            } catch (const std::exception& e) {
                if (Face.RunState != TRunState::Cancelled)
                    Face.ShowBox(SendFailureText(e, Settings.SMTPServer, smtp));
                LogEntry("SMTP Senden der Nachricht gescheitert");
                // The server's refusal, a reply that is no SMTP, or a server gone silent: the log
                // says what happened.
                if (const std::string refusal = RefusalLine("SMTP", e); !refusal.empty())
                    LogEntry(refusal);
                else if (dynamic_cast<const EProtocolError*>(&e) || dynamic_cast<const ETimeoutError*>(&e))
                    LogEntry("SMTP " + std::string(e.what()));
            }
            if (SendSucceeded)
                edapi1.SetMsgFlags(i, FlagsSent);
            else if (Face.RunState != TRunState::Cancelled)
                ++FailedItems;
        }

        LogEntry("SMTP Verbindung wird getrennt...");
        smtp.Disconnect();
        LogEntry("SMTP Verbindung getrennt");

        areaOpen = false;
        // A lost host has released the area with the connection; there is nothing to close.
        if (edapi1.Connected())
            edapi1.CloseArea();
    } catch (...) {
        // Leave the server and the host as a later run expects to find them; the error itself
        // is what the user is told about, so failures while closing stay quiet.
        if (smtp.Connected()) {
            try {
                smtp.Disconnect();
            } catch (const std::exception&) {
            }
        }
        if (areaOpen && edapi1.Connected()) {
            try {
                edapi1.CloseArea();
            } catch (const std::exception&) {
            }
        }
        Face.RunState = TRunState::Idle;
        RunFailed = true;
        throw;
    }
    Face.RunState = TRunState::Idle;
}

void TOutgoingRun::Cancel() {
    CancelWhile(TRunState::Sending, SMTP_Service);
}

void TOutgoingRun::SMTP_ServiceSendStart() {
    TExStringList& header = SMTP_Service.FinalHeader;
    for (int i = 0; i < header.Count(); ++i) {
        if (header[i] == PlainAscii) {
            header.Put(i, PlainLatin1);
            return;
        }
    }
}

void TOutgoingRun::SMTP_ServiceSuccess() {
    LogEntry("SMTP Nachricht erfolgreich gesendet");
    SendSucceeded = true;
}

void TOutgoingRun::SMTP_ServiceFailure() {
    Face.ShowBox("Die Nachricht konnte nicht versendet werden. Medlung vom Server :" + SMTP_Service.Status());
    LogEntry("SMTP Senden der Nachricht gescheiterr");
    SendSucceeded = false;
    Face.ShowConnectError = false;
}

void TOutgoingRun::SMTP_ServiceAuthenticationFailed(bool&) {
    SMTP_ServiceFailure();
}

} // namespace pb
