// The program body: application title, the main window and the three dialogs, created in
// this order, then the message loop until the main window closes.
#include "app/Fonts.h"
#include "app/PB_main.h"
#include "app/QtMessageBoxes.h"
#include "ui/PB_address.h"
#include "ui/PB_conf.h"
#include "ui/PB_quick.h"

#include <QApplication>
#include <QStyleFactory>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // The title of the task bar entry and of every message box. Not the display name: Qt
    // would append that to every window caption.
    QApplication::setApplicationName(QString::fromUtf8(pb::kAppTitle));
    if (QStyle* style = QStyleFactory::create(QStringLiteral("Windows")))
        QApplication::setStyle(style);
    QApplication::setFont(pb::uiFont());

    pb::QtMessageBoxes boxes;
    pb::setMessageBoxes(&boxes);

    pb::Tmain main;
    pb::TConfigForm configForm;
    pb::TAddressForm addressForm;
    pb::TQuickForm quickForm;
    main.ConfigForm = &configForm;
    main.AddressForm = &addressForm;
    main.QuickForm = &quickForm;

    main.show();
    const int rc = QApplication::exec();
    pb::setMessageBoxes(nullptr);
    return rc;
}
