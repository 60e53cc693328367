// The windows are laid out in fixed pixels for one font, Liberation Sans (Arial's metrics),
// and the package depends on that font alone: a system with only a wider sans serif would cut
// the labels ("Konfi…ation"). Every label of every button in the main window and the three
// dialogs must fit with it.
#include "support/MainWindowFixture.h"
#include "ui/Fonts.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QFontInfo>
#include <QFontMetrics>
#include <QRadioButton>
#include <gtest/gtest.h>

namespace pb {
namespace {

class Fonts : public test::MainWindowFixture {};

TEST_F(Fonts, EveryButtonLabelFitsInTheFontThePackageBrings) {
    EXPECT_EQ(QFontInfo(uiFont()).family().toStdString(), "Liberation Sans")
        << "the package depends on fonts-liberation: the layout is made for Liberation Sans";
    EXPECT_EQ(QFontInfo(logFont()).family().toStdString(), "Liberation Mono");

    Tmain& w = createMain();
    int checked = 0;
    for (QWidget* window : std::initializer_list<QWidget*>{&w, &config(), w.AddressForm, w.QuickForm}) {
        for (QAbstractButton* b : window->findChildren<QAbstractButton*>()) {
            if (b->text().isEmpty())
                continue;
            SCOPED_TRACE(b->text().toStdString());
            QString text = b->text();
            text.remove(QLatin1Char('&'));
            const int advance = QFontMetrics(b->font()).horizontalAdvance(text);
            // A check box or radio button draws its indicator and a gap left of the label.
            const bool indicator = qobject_cast<QCheckBox*>(b) || qobject_cast<QRadioButton*>(b);
            EXPECT_LE(advance + (indicator ? 20 : 6), b->width())
                << window->metaObject()->className() << " " << b->width() << " px";
            ++checked;
        }
    }
    EXPECT_GT(checked, 7);
}

} // namespace
} // namespace pb
