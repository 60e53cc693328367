#include "app/QtMessageBoxes.h"

#include "platform/AnsiText.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

namespace pb {

MsgResult QtMessageBoxes::show(std::string_view text, MsgKind kind, MsgButtons buttons,
                               std::string_view caption) {
    QMessageBox box(QApplication::activeWindow());
    box.setWindowTitle(caption.empty() ? QApplication::applicationName() : toUnicode(caption));
    box.setText(toUnicode(text));
    switch (kind) {
    case MsgKind::Information: box.setIcon(QMessageBox::Information); break;
    case MsgKind::Warning: box.setIcon(QMessageBox::Warning); break;
    case MsgKind::Error: box.setIcon(QMessageBox::Critical); break;
    case MsgKind::Confirmation: box.setIcon(QMessageBox::Question); break;
    }
    if (buttons == MsgButtons::YesNo) {
        QPushButton* yes = box.addButton(QStringLiteral("&Ja"), QMessageBox::YesRole);
        QPushButton* no = box.addButton(QStringLiteral("&Nein"), QMessageBox::NoRole);
        // Every question the program asks guards a step that cannot be taken back (trusting a
        // certificate, deleting a mail on the server): Return must not take it.
        box.setDefaultButton(no);
        box.setEscapeButton(no);
        box.exec();
        return box.clickedButton() == yes ? MsgResult::Yes : MsgResult::No;
    }
    QPushButton* ok = box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    box.setDefaultButton(ok);
    box.setEscapeButton(ok);
    box.exec();
    return MsgResult::Ok;
}

} // namespace pb
