// The retrieval run and the POP3 component's handlers, methods of the main window.
// Not built yet: every method is an empty step, so "nur lesen" returns at once.
#include "app/PB_main.h"

namespace pb {

void Tmain::SetupPOP3Service() {}
void Tmain::ReadMails() {}
void Tmain::SpeicherAktMail() {}
void Tmain::BerechneSummen() {}
bool Tmain::TryConnection() { return false; }
void Tmain::POP3_ServiceList(std::int32_t, std::int32_t) {}
void Tmain::POP3_ServiceAuthenticationFailed(bool&) {}
void Tmain::POP3_ServiceInvalidHost(bool&) {}
void Tmain::POP3_ServicePacketRecvd() {}

} // namespace pb
