#pragma once
// Builders the dialogs share: captions written in UTF-8 in the code, labels sized to their
// text, push buttons of the dialogs' usual height.
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

} // namespace pb::ui
