#pragma once
// The face a mail run shows to whoever started it: the main window, or the poll without a
// window. A run reports through this and nothing else, so it never needs to know which one
// drives it. Texts are Windows-1252 bytes.
#include "mail/Settings.h"
#include "platform/MessageLoop.h"

#include <optional>
#include <string>
#include <vector>

namespace pb {

class ECertificateError;

// The three text lines above the progress bar.
enum class TRunText { Status, Details1, Details2 };

class TRunFace {
public:
    virtual ~TRunFace() = default;

    // Appends one entry to the activity log.
    virtual void LogEntry(const std::string& Text) = 0;
    // Shows `text` on one of the text lines; an empty text clears it.
    virtual void ShowRunText(TRunText which, const std::string& text) = 0;
    // Moves the progress bar of the mail in hand (0..100).
    virtual void ShowProgress(int percent) = 0;
    // Tells the user something that needs their attention (a message box in the window).
    virtual void ShowBox(const std::string& text) = 0;
    // A long piece of work (decoding a large attachment) lets the face handle what waits for
    // it meanwhile: its timers, its "Abbrechen". Called every few milliseconds.
    virtual void KeepResponsive() { processMessages(); }
    // Asks the user for the recipients of a message that names none the run can find; the
    // entries in order, possibly none. std::nullopt when there is nobody to ask: the message
    // then stays unsent.
    virtual std::optional<std::vector<std::string>> AskRecipients(const std::string& Subject) = 0;
    // The certificate the user trusts for a server although it fails the CA or name check
    // (SHA-256, lower-case hex), or empty.
    virtual std::string TrustedFingerprint(const std::string& Host, int Port) {
        (void)Host;
        (void)Port;
        return {};
    }
    // A server's certificate was refused: may the user trust exactly it for that server from
    // now on? True when the trust was recorded. Without anybody to ask, the answer is no.
    virtual bool AskToTrust(const ECertificateError& Refusal) {
        (void)Refusal;
        return false;
    }
    // A run starts its connection attempt (only "Abbrechen" is of use now), or the attempt failed.
    virtual void ConnectionStarting() = 0;
    virtual void ConnectionFailed() = 0;

    // What the runs are doing; the cancel of the face sets Cancelled through the runs' Cancel().
    TRunState RunState = TRunState::Idle;
    // One box per failed connection attempt: a handler that has shown the precise box clears
    // it, so the connection step does not show its general one as well.
    bool ShowConnectError = true;
};

} // namespace pb
