// The sending run and the SMTP component's handlers, methods of the main window.
// Not built yet: every method is an empty step, so "nur senden" returns at once.
#include "app/PB_main.h"

namespace pb {

void Tmain::SetupSMTPService() {}
void Tmain::SendMails() {}
bool Tmain::TrySMTPConnection() { return false; }
void Tmain::SMTP_ServiceSendStart() {}
void Tmain::SMTP_ServiceSuccess() {}
void Tmain::SMTP_ServiceFailure() {}
void Tmain::SMTP_ServiceAuthenticationFailed(bool&) {}

} // namespace pb
