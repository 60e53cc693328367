#pragma once
// The program's message boxes, drawn with QMessageBox: the application title as caption unless
// one is given, German button texts, "Nein" as the default button of a question.
#include "platform/MessageBoxes.h"

namespace pb {

class QtMessageBoxes final : public MessageBoxes {
public:
    MsgResult show(std::string_view text, MsgKind kind, MsgButtons buttons,
                   std::string_view caption) override;
};

} // namespace pb
