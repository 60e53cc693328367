#include "platform/UserFolder.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace pb {

std::filesystem::path userFolderPath() {
    // A relative XDG_DATA_HOME would make the folder depend on where the program was started.
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && data[0] == '/')
        return std::filesystem::path(data) / "postbridge";
    std::string home;
    if (const char* h = std::getenv("HOME"); h && h[0] == '/')
        home = h;
    else if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir && pw->pw_dir[0] == '/')
        home = pw->pw_dir;
    if (home.empty())
        return {};
    return std::filesystem::path(home) / ".local" / "share" / "postbridge";
}

std::filesystem::path ensureUserFolder() {
    const std::filesystem::path folder = userFolderPath();
    if (folder.empty())
        throw std::runtime_error("Kein Benutzerordner: weder XDG_DATA_HOME noch HOME ist gesetzt.");
    // Walk down from the root, making what is missing; mkdir keeps an existing folder as it is.
    std::filesystem::path step;
    for (const auto& part : folder) {
        step /= part;
        if (::mkdir(step.c_str(), 0700) != 0 && errno != EEXIST)
            throw std::runtime_error("Der Ordner " + step.string() +
                                     " kann nicht angelegt werden: " + std::strerror(errno));
    }
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw std::runtime_error(folder.string() + " ist kein Ordner.");
    return folder;
}

} // namespace pb
