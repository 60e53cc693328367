#include "app/PlugIn.h"

#include "platform/AnsiText.h"

#include <cstdio>
#include <cstring>

namespace pb {

std::string NoticeLine() {
    return ansi("© Postbridge-Team · Internet-Mail für Echodesk 95");
}

void DescribePlugIn(TEchodeskAPI& api) {
    api.PIName = "Postbridge";
    api.PIDescription = "Plug In zur Versenden von e-Mails mit Echodesk";
    api.PICopyright = NoticeLine();
    api.PIVersion = 1;
    api.PIRevision = 0;
    api.PIAPIRequiered = 8;
    api.PIAPISupported = 8;
}

std::string ChannelRefusalReason(const ChannelDir& dir) {
    if (dir.error)
        return ansi("kann nicht angelegt werden: ") + ansi(std::strerror(dir.error));
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(dir.mode));
    return ansi("gehört ") + userName(dir.owner) + ansi(" (Rechte ") + mode +
           ansi(") und ist damit nicht Ihr privater Ordner");
}

std::string ChannelPassedBy(const ChannelDir& dir) {
    return ansi("ED95 Kanalordner ") + dir.passedBy + " " + ChannelRefusalReason(passedByAccount(dir)) +
           ansi("; verwendet wird ") + dir.path;
}

} // namespace pb
