// The log mail: at shut-down, while the host is still attached, the whole activity log is
// stored as one message in the host's "REPORT" area.
//
// The handler catches nothing: a host error leaves it, and the host interface still completes
// the detach before passing the error on, so the window's closing reports it once and closes.
#include "app/PB_main.h"

#include "host/EchodeskAPI.h"
#include "host/Fidoaddr.h"

namespace pb {

void Tmain::edapi1Disconnecting() {
    // A connect that failed half-way (no version, an old one) detaches too: there was never a
    // host to take the log, and trying would throw out of the attach.
    if (!edapi1->Connected() || !hostAttached_)
        return;
    edapi1->OpenArea("REPORT");

    std::string text;
    for (const std::string& line : LogLines())
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

    edapi1->StoreNewMsg(rec);
    edapi1->CloseArea();
}

} // namespace pb
