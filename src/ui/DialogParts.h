#pragma once
// Builders the dialogs share: captions written in UTF-8 in the code, labels sized to their
// text, push buttons of the dialogs' usual height; and the Escape key they all refuse.
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QString>
#include <QWidget>

namespace pb::ui {

inline QString u(const char* utf8) {
    return QString::fromUtf8(utf8);
}

inline QLabel* label(QWidget* parent, const char* text, int left, int top) {
    auto* l = new QLabel(u(text), parent);
    l->move(left, top);
    l->adjustSize();
    return l;
}

inline QPushButton* button(QWidget* parent, const char* text, int left, int top, int width) {
    auto* b = new QPushButton(u(text), parent);
    b->setGeometry(left, top, width, 25);
    // Like the dialogs of the host's era: no button is pressed by Enter in an edit.
    b->setAutoDefault(false);
    return b;
}

// Ignores the event when its key is Escape, which would leave a dialog in a way the user may
// not mean (each dialog says why); true when it did.
inline bool ignoreEscape(QKeyEvent* e) {
    if (e->key() != Qt::Key_Escape)
        return false;
    e->ignore();
    return true;
}

} // namespace pb::ui
