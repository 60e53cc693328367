#include "support/ScriptedBoxes.h"

#include "platform/AnsiText.h"

namespace pb::test {

MsgResult ScriptedBoxes::show(std::string_view text, MsgKind kind, MsgButtons buttons,
                              std::string_view caption) {
    shown.push_back({std::string(text), kind, buttons, std::string(caption)});
    if (!answers.empty()) {
        MsgResult r = answers.front();
        answers.pop_front();
        return r;
    }
    return buttons == MsgButtons::YesNo ? questionDefault : MsgResult::Ok;
}

std::vector<std::string> ScriptedBoxes::texts() const {
    std::vector<std::string> out;
    for (const auto& b : shown)
        out.push_back(toUtf8(b.text));
    return out;
}

ScriptedBoxes& boxes() {
    static ScriptedBoxes instance;
    return instance;
}

} // namespace pb::test
