#pragma once
// The user's own Postbridge folder, where an installed Postbridge keeps its files (settings,
// address book, read list, the attachments of fetched mails) and where the host started for
// that user keeps its message base: $XDG_DATA_HOME/postbridge, or ~/.local/share/postbridge
// when XDG_DATA_HOME is unset, empty or not an absolute path. Never the home folder itself.
#include <filesystem>
#include <string>

namespace pb {

// The folder's path; nothing is created. Empty when neither XDG_DATA_HOME nor a home folder
// (HOME, else the password entry) is known.
std::filesystem::path userFolderPath();

// Creates the user folder when it is missing (0700, like every missing folder on its way, since
// the settings in it hold a password) and returns its path. An existing folder keeps its mode.
// Throws std::runtime_error with a German text naming the folder when that fails.
std::filesystem::path ensureUserFolder();

} // namespace pb
