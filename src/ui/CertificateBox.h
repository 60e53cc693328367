#pragma once
// The question put to the user when a server's certificate fails the check: why it failed,
// its SHA-256 fingerprint (and the one trusted before, when the certificate has changed), and
// whether to trust exactly this certificate for this server from now on. The current attempt
// ends either way; the next connection uses the new trust. Without a window to ask in, the
// answer is "no".
#include "net/AsyncSocket.h"

namespace pb {

// Asks and, on "Ja", records the trust in "pbridge.crt" beside the settings. Returns whether
// the certificate is trusted now. A trust file that cannot be written raises EInOutError.
bool AskToTrustCertificate(const ECertificateError& refusal);

} // namespace pb
