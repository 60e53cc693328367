// The log mail: at shut-down, while the host is still attached, the whole activity log is
// stored as one message in the host's "REPORT" area.
//
// Nothing is caught here: a host error leaves it, and the host interface still completes the
// detach before passing the error on, so whoever ends the program reports it once and ends.
#include "mail/MailRun.h"

#include "host/EchodeskAPI.h"
#include "host/Fidoaddr.h"
#include "platform/AnsiText.h"
#include "platform/RecordLimit.h"

namespace pb {

std::string LogMailText(const std::vector<std::string>& lines, std::size_t MaxText) {
    std::size_t total = 0;
    for (const std::string& line : lines)
        total += line.size() + 2;
    std::string text;
    auto add = [&text](const std::string& line) {
        text += line;
        text += "\r\n";
    };
    if (total <= MaxText) {
        text.reserve(total);
        for (const std::string& line : lines)
            add(line);
        return text;
    }
    // A run that logged millions of lines (a hostile server's listing) would not be stored at
    // all: its start and its end are what tell how it went.
    const std::size_t noteRoom = 160;
    const std::size_t room = MaxText > noteRoom ? MaxText - noteRoom : 0;
    std::size_t first = 0, headBytes = 0;
    while (first < lines.size() && headBytes + lines[first].size() + 2 <= room / 2)
        headBytes += lines[first++].size() + 2;
    std::size_t last = lines.size(), tailBytes = 0;
    while (last > first && headBytes + tailBytes + lines[last - 1].size() + 2 <= room)
        tailBytes += lines[--last].size() + 2;
    text.reserve(headBytes + tailBytes + noteRoom);
    for (std::size_t i = 0; i < first; ++i)
        add(lines[i]);
    add(ansi("*** Das Protokoll war zu lang für die Nachrichtenbasis: ") + std::to_string(last - first) +
        ansi(" Zeilen sind hier ausgelassen. ***"));
    for (std::size_t i = last; i < lines.size(); ++i)
        add(lines[i]);
    return text;
}

void StoreLogMail(TEchodeskAPI& host, const std::vector<std::string>& lines) {
    // A connect that failed half-way detaches too: there was never a host to take the log.
    if (!host.Attached())
        return;
    host.OpenArea("REPORT");

    const std::string text = LogMailText(lines, kMaxRecordSize - sizeof(TNewMsgHeader) - 1);

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
