#pragma once
// The sending run: the SMTP session that sends what the user wrote in the host.
#include "mail/MailRun.h"
#include "net/SmtpClient.h"

namespace pb {

// The sending run: sends the messages the user wrote in the host's "EMAIL" area.
class TOutgoingRun : public TMailRun {
public:
    // Wires the component's events to this run.
    TOutgoingRun(TRunFace& face, TEchodeskAPI& host, TSmtpClient& smtp, const TSettings& settings);

    void SendMails();
    // "Abbrechen" during this run: stops the component's wait and marks the run cancelled.
    void Cancel();

    bool TrySMTPConnection();               // SMTP connection step with log and face

private:
    void SMTP_ServiceSendStart();
    void SMTP_ServiceSuccess();
    void SMTP_ServiceFailure();
    void SMTP_ServiceAuthenticationFailed(bool& Handled);

    TSmtpClient& SMTP_Service;
    bool SendSucceeded = false;             // result of the last SendMail
};

} // namespace pb
