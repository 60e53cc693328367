#pragma once
// Message boxes for tests: every box is recorded, and answered from a script (default: Ok,
// and Yes for a question). Installed by the test main, so no test waits on a modal box.
#include "platform/MessageBoxes.h"

#include <deque>
#include <string>
#include <vector>

namespace pb::test {

struct RecordedBox {
    std::string text;     // Windows-1252 bytes as the program passed them
    MsgKind kind;
    MsgButtons buttons;
    std::string caption;
};

class ScriptedBoxes final : public MessageBoxes {
public:
    MsgResult show(std::string_view text, MsgKind kind, MsgButtons buttons,
                   std::string_view caption) override;

    std::vector<RecordedBox> shown;
    std::deque<MsgResult> answers;          // taken front first; empty -> default answer
    MsgResult questionDefault = MsgResult::Yes;

    void reset() { shown.clear(); answers.clear(); questionDefault = MsgResult::Yes; }
    // The recorded texts turned into UTF-8, for readable assertions.
    std::vector<std::string> texts() const;
};

// The instance the test main installed.
ScriptedBoxes& boxes();

} // namespace pb::test
