#include "app/CommandLine.h"

#include <string_view>

namespace pb {
namespace {

struct QtOption {
    std::string_view name;
    bool value;   // takes the next argument (or "=value") as its value
};

// The options QGuiApplication, QApplication and the X11 platform take out of argv themselves.
constexpr QtOption kQtOptions[] = {
    {"platform", true}, {"platformpluginpath", true}, {"platformtheme", true}, {"plugin", true},
    {"qwindowgeometry", true}, {"qwindowicon", true}, {"qwindowtitle", true}, {"session", true},
    {"display", true}, {"geometry", true}, {"title", true}, {"icon", true}, {"name", true},
    {"visual", true}, {"style", true}, {"stylesheet", true}, {"qmljsdebugger", true},
    {"reverse", false}, {"widgetcount", false}, {"nograb", false}, {"dograb", false}, {"sync", false},
};

std::optional<THeadlessMode> headlessMode(std::string_view arg) {
    if (arg == "--poll")
        return THeadlessMode::Poll;
    if (arg == "--read")
        return THeadlessMode::Read;
    if (arg == "--send")
        return THeadlessMode::Send;
    return std::nullopt;
}

// Qt reads "--style" like "-style"; the value may follow as "-style=Fusion".
const QtOption* qtOption(std::string_view arg, std::string_view& attached) {
    if (arg.size() < 2 || arg[0] != '-')
        return nullptr;
    arg.remove_prefix(arg[1] == '-' ? 2 : 1);
    const size_t eq = arg.find('=');
    const std::string_view name = arg.substr(0, eq);
    for (const QtOption& o : kQtOptions) {
        if (o.name != name || (eq != std::string_view::npos && !o.value))
            continue;
        attached = eq == std::string_view::npos ? std::string_view() : arg.substr(eq + 1);
        return &o;
    }
    return nullptr;
}

} // namespace

TCommandLine ReadCommandLine(int argc, const char* const* argv) {
    TCommandLine line;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        std::string_view value;
        if (arg == "--help" || arg == "-h") {
            line.Help = true;
        } else if (arg == "--version") {
            line.Version = true;
        } else if (const auto mode = headlessMode(arg)) {
            if (line.Mode)
                line.Refuse("nur eine von --poll, --read und --send");
            line.Mode = mode;
        } else if (arg == "--user-folder") {
            line.UserFolder = true;
        } else if (arg == "--dir") {
            if (i + 1 >= argc)
                line.Refuse("--dir braucht einen Ordner");
            else
                line.Dir = argv[++i];
        } else if (const QtOption* o = qtOption(arg, value)) {
            if (o->value && value.empty() && i + 1 < argc && arg.find('=') == std::string_view::npos)
                value = argv[++i];
            if (o->name == "platform")
                line.Platform = value;
            line.Display |= o->name == "display";
        } else {
            line.Refuse("unbekannte Option " + std::string(arg));
        }
    }
    if (line.UserFolder && !line.Dir.empty())
        line.Refuse("--user-folder und --dir schließen einander aus");
    return line;
}

std::string WindowDisplayProblem(const TCommandLine& line, const char* qpaPlatform, const char* display,
                                 const char* waylandDisplay) {
    const auto set = [](const char* v) { return v && *v; };
    const bool x11 = set(display) || line.Display;
    const bool wayland = set(waylandDisplay);
    std::string_view platforms = !line.Platform.empty() ? std::string_view(line.Platform)
                                 : set(qpaPlatform)     ? std::string_view(qpaPlatform)
                                                        : std::string_view();
    bool found = platforms.empty() && (x11 || wayland);
    // Qt tries the platforms of a list ("wayland;xcb") in turn, each with its options after ":".
    while (!platforms.empty() && !found) {
        const size_t end = platforms.find(';');
        std::string_view name = platforms.substr(0, end);
        name = name.substr(0, name.find(':'));
        if (name == "xcb")
            found = x11;
        else if (name.starts_with("wayland"))
            found = wayland;
        else
            found = !name.empty();   // offscreen, minimal, eglfs, linuxfb, vnc: no display needed
        platforms = end == std::string_view::npos ? std::string_view() : platforms.substr(end + 1);
    }
    if (found)
        return {};
    return "Das Fenster braucht eine Anzeige, aber weder DISPLAY noch WAYLAND_DISPLAY ist gesetzt. "
           "Ohne Fenster holt und sendet postbridge --poll die Mails.";
}

} // namespace pb
