#pragma once
// What the window and the poll without a window both say about the plug-in: its description
// for the host it attaches to, and why it refuses a channel folder.
#include "host/EchodeskAPI.h"
#include "platform/Session.h"

#include <string>

namespace pb {

// The notice line shown in details2 and handed to the host as the plug-in's copyright.
std::string NoticeLine();
// What the host is told about the plug-in when it attaches.
void DescribePlugIn(TEchodeskAPI& api);
// Why a channel folder is refused, in German (Windows-1252), to follow its name.
std::string ChannelRefusalReason(const ChannelDir& dir);
// The log line for a channel folder that was passed by (someone else's), naming the one used.
std::string ChannelPassedBy(const ChannelDir& dir);

} // namespace pb
