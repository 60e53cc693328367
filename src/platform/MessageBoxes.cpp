#include "platform/MessageBoxes.h"

#include "platform/AnsiText.h"

#include <cstdio>

namespace pb {
namespace {

class StderrBoxes final : public MessageBoxes {
public:
    MsgResult show(std::string_view text, MsgKind, MsgButtons buttons, std::string_view) override {
        std::fprintf(stderr, "[box] %s\n", toUtf8(text).c_str());
        return buttons == MsgButtons::YesNo ? MsgResult::No : MsgResult::Ok;
    }
};

MessageBoxes* g_installed = nullptr;

} // namespace

MessageBoxes& messageBoxes() {
    static StderrBoxes fallback;
    return g_installed ? *g_installed : fallback;
}

void setMessageBoxes(MessageBoxes* boxes) { g_installed = boxes; }

void showMessage(std::string_view text) {
    messageBoxes().show(text, MsgKind::Information, MsgButtons::Ok, {});
}

MsgResult messageDlg(std::string_view text, MsgKind kind, MsgButtons buttons) {
    return messageBoxes().show(text, kind, buttons, {});
}

void showException(const std::exception& e) {
    messageBoxes().show(e.what(), MsgKind::Error, MsgButtons::Ok, {});
}

} // namespace pb
