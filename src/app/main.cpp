// The program body: application title, the main window and the three dialogs, created in
// this order, then the message loop until the main window closes.
#include "app/Fonts.h"
#include "app/PB_main.h"
#include "app/QtMessageBoxes.h"
#include "ui/PB_address.h"
#include "ui/PB_conf.h"
#include "ui/PB_quick.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QStyleFactory>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Ctrl-C or a kill ends the program the way "Beenden" does (detach from the host, log mail),
// not in the middle of nowhere: the signal only writes a byte, the event loop closes the window.
int g_signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(g_signalPipe[1], &byte, 1);
}

void closeOnSignals(QWidget& window) {
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &window);
    QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window] {
        char buf[16];
        while (::read(g_signalPipe[0], buf, sizeof buf) > 0) {
        }
        window.close();
    });
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGHUP, &sa, nullptr);
}

} // namespace

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

    closeOnSignals(main);
    main.show();
    const int rc = QApplication::exec();
    pb::setMessageBoxes(nullptr);
    return rc;
}
