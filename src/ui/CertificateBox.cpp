#include "ui/CertificateBox.h"

#include "mail/Config.h"
#include "platform/AnsiText.h"
#include "platform/MessageBoxes.h"

namespace pb {

bool AskToTrustCertificate(const ECertificateError& e) {
    const std::string server = e.Host + " (Port " + std::to_string(e.Port) + ")";
    std::string text;
    if (e.TrustedFingerprint.empty()) {
        text = ansi("Das Zertifikat des Servers ") + server + ansi(" ist nicht vertrauenswürdig: ") +
               e.Reason + ansi(".\n\nSHA-256-Fingerabdruck des Zertifikats:\n") + GroupedFingerprint(e.Fingerprint) +
               ansi("\n\nVertrauen Sie ihm nur, wenn Sie sicher sind, dass es das Zertifikat Ihres "
                    "Anbieters ist (zum Beispiel, weil er Ihnen diesen Fingerabdruck genannt hat). "
                    "Die Verbindung wird jetzt beendet; beim nächsten Versuch gilt Ihre Wahl.\n\n"
                    "Diesem Zertifikat für diesen Server vertrauen?");
    } else {
        text = ansi("Das Zertifikat des Servers ") + server +
               ansi(" hat sich geändert und ist nicht vertrauenswürdig: ") + e.Reason +
               ansi(".\n\nBisher vertrautes Zertifikat (SHA-256):\n") + GroupedFingerprint(e.TrustedFingerprint) +
               ansi("\nJetzt angebotenes Zertifikat (SHA-256):\n") + GroupedFingerprint(e.Fingerprint) +
               ansi("\n\nDas kann ein Angriff auf Ihre Verbindung sein. Vertrauen Sie dem neuen "
                    "Zertifikat nur, wenn Ihr Anbieter den Wechsel bestätigt hat. Die Verbindung "
                    "wird jetzt beendet.\n\nDem neuen Zertifikat für diesen Server vertrauen?");
    }
    if (messageDlg(text, MsgKind::Warning, MsgButtons::YesNo) != MsgResult::Yes)
        return false;
    TrustCertificate(e.Host, e.Port, e.Fingerprint);
    return true;
}

} // namespace pb
