// The log mail: at shut-down, while the host is still attached, the whole activity log is
// stored as one message in the host's "REPORT" area.
//
// Nothing is caught here: a host error leaves it, and the host interface still completes the
// detach before passing the error on, so whoever ends the program reports it once and ends.
#include "mail/MailRuns.h"

#include "host/EchodeskAPI.h"
#include "host/Fidoaddr.h"

namespace pb {

void StoreLogMail(TEchodeskAPI& host, const std::vector<std::string>& lines) {
    // A connect that failed half-way detaches too: there was never a host to take the log.
    if (!host.Attached())
        return;
    host.OpenArea("REPORT");

    std::string text;
    for (const std::string& line : lines)
        text += line + "\r\n";

    TNewMsg rec(text);   // zero-filled; Size = 238 + text length + 1
    TNewMsgHeader& h = rec.Header();
    h.ToUserName.assign("Sysop");
    h.FromUserName.assign("Postbridge");
    h.Subject.assign("Postbridge Logmail");
    h.AuxText.assign("Postbridge Alpha 4");
    TFidoAddr addr;
    ParseFidoAddr("0:0/0", addr);
    h.Addr1 = addr;
    h.Addr2 = addr;
    h.Flags = 0;

    host.StoreNewMsg(rec);
    host.CloseArea();
}

} // namespace pb
