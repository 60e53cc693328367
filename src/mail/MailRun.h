#pragma once
// What the retrieval run and the sending run share: the face, the host, the settings, and the
// connection step; and the host's areas both need. Each run works on the host and its mail
// component with the settings it is given, and reports only through the TRunFace of whoever
// started it.
#include "host/EchodeskAPI.h"
#include "mail/RunFace.h"
#include "mail/Settings.h"
#include "net/AsyncSocket.h"
#include "net/Sasl.h"

#include <functional>
#include <string>
#include <vector>

namespace pb {

// What both runs share: the face, the host, the settings, and the connection step.
class TMailRun {
public:
    TMailRun(const TMailRun&) = delete;
    TMailRun& operator=(const TMailRun&) = delete;

    // Mails or messages of the last run that failed on their own (not counting the ones the
    // user cancelled), and whether its connection, login or host work failed.
    int FailedItems = 0;
    bool RunFailed = false;

protected:
    TMailRun(TRunFace& face, TEchodeskAPI& host, const TSettings& settings)
        : Face(face), edapi1(host), Settings(settings) {}
    ~TMailRun() = default;

    void LogEntry(const std::string& Text) { Face.LogEntry(Text); }
    void SetLabel(TRunText which, const std::string& text) { Face.ShowRunText(which, text); }
    void ClearLabels();
    // "Abbrechen": while the run is in `running`, stops the component's wait and marks the
    // run cancelled; otherwise nothing.
    void CancelWhile(TRunState running, TAsyncSocket& component);
    // The connection step of a run for `service` ("POP3", "SMTP") through `component`: shows
    // and logs the attempt, runs `connect`; when that throws, shows the box that the connection
    // failed with the cause (unless a handler has shown a more precise one, or the user
    // cancelled), logs it and reports the failed attempt. With no server entered nothing is
    // tried. True when connected.
    bool ConnectService(const std::string& service, const std::string& server, TAsyncSocket& component,
                        const std::function<void()>& connect);
    // Connects `socket` with `connect`, trusting what the face trusts for its server; the log
    // gets what TLS negotiated, and why a secure connection (or any connection, when the server
    // stopped answering) failed. A plain connection logs as it always has.
    void ConnectSecurely(const std::string& service, TAsyncSocket& socket, TSecurity mode,
                         const std::function<void()>& connect);
    // How `client` logs in to the server of `service`: by password as always, or with a token
    // (OAuth 2.0 or the user's command) as `login` says; logs which.
    template <class Client> void UseLogin(Client& client, const TTokenLogin& login, const std::string& service) {
        client.OnBearerToken = LoginTokens(login, service);
        client.AuthMethod = client.OnBearerToken ? TAuthMethod::Bearer : TAuthMethod::Password;
    }
    TBearerTokenEvent LoginTokens(const TTokenLogin& login, const std::string& service);

    TRunFace& Face;
    TEchodeskAPI& edapi1;
    const TSettings& Settings;
};

// Fetches the host's area names into AreaNames and creates "EMAIL" when none of them is
// (in any case) "EMAIL", with a log entry. Host errors leave it.
void EnsureEmailArea(TEchodeskAPI& host, std::vector<std::string>& AreaNames,
                     const std::function<void(const std::string&)>& LogEntry);

// Stores the activity log (lines in order, Windows-1252) as one message in the host's "REPORT"
// area, as the plug-in does when it ends. Does nothing without a host attached; a host error
// leaves it.
void StoreLogMail(TEchodeskAPI& host, const std::vector<std::string>& lines);
// The log mail's text: every line with CR LF. A log longer than MaxText keeps its first and its
// last lines, each up to about half of it, with a note in between saying how many are left out.
std::string LogMailText(const std::vector<std::string>& lines, std::size_t MaxText);

} // namespace pb
