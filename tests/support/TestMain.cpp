// One main for every test program: a QApplication on the offscreen platform (GUI tests need
// widgets, socket tests need the event loop) and scripted message boxes.
#include "support/ScriptedBoxes.h"

#include "platform/AnsiText.h"

#include <QApplication>
#include <gtest/gtest.h>

#include <cstdlib>

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

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    pb::setMessageBoxes(&pb::test::boxes());
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
