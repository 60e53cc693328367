// The program body: application title, the main window and the three dialogs, created in
// this order, then the message loop until the main window closes.
#include "app/Fonts.h"
#include "app/PB_main.h"
#include "app/QtMessageBoxes.h"
#include "platform/UserFolder.h"
#include "ui/PB_address.h"
#include "ui/PB_conf.h"
#include "ui/PB_quick.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QStyleFactory>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace {

// Stands in for a manual page: an installed program is found through its --help.
const char* const kHelp =
    "Aufruf: postbridge [--user-folder] [Qt-Optionen]\n"
    "\n"
    "Postbridge holt die neuen Mails eines POP3-Postfachs in den Bereich \"EMAIL\" des\n"
    "Hostprogramms und verschickt die Nachrichten, die dort geschrieben wurden, über einen\n"
    "SMTP-Server. Das Hostprogramm muss laufen, bevor Postbridge startet, etwa mit\n"
    "  systemctl --user start edhost        (installiert)\n"
    "  edhost serve --base ORDNER           (von Hand; edhost --help)\n"
    "\n"
    "Optionen:\n"
    "  --user-folder   im eigenen Ordner arbeiten: $XDG_DATA_HOME/postbridge, ohne\n"
    "                  XDG_DATA_HOME ~/.local/share/postbridge; fehlt er, wird er nur für\n"
    "                  Sie lesbar (0700) angelegt. So startet der Eintrag im Menü Postbridge.\n"
    "  -h, --help      diese Hilfe zeigen\n"
    "  --version       die Version zeigen\n"
    "Ohne --user-folder arbeitet Postbridge im aktuellen Ordner.\n"
    "Qt-Optionen wie -platform offscreen oder -display :1 gelten wie bei jedem Qt-Programm.\n"
    "\n"
    "Dateien im Arbeitsordner:\n"
    "  pbridge.ini       die Einstellungen, mit dem POP3-Kennwort (nur für Sie lesbar);\n"
    "                    fehlt sie, öffnet sich beim Start zuerst \"Konfiguration\"\n"
    "  pbridge.crt       die Zertifikate, denen Sie für einen Server vertrauen\n"
    "  addressbook.lst   das Adressbuch (Namen und E-Mail-Adressen der Empfänger)\n"
    "  readmsg.lst, readmsg.uid\n"
    "                    die schon abgeholten Mails (ihre Nummern, ihre eindeutigen Kennungen)\n"
    "  Anhänge           die Anhänge abgeholter Mails, unter ihrem Dateinamen; ein Name, der\n"
    "                    mit \".\" oder \"-\" beginnt oder einer dieser Dateien gleicht, bekommt\n"
    "                    ein \"_\" vorangestellt\n"
    "  edhost-base/      die Nachrichtenbasis des Hosts, den systemctl --user start edhost\n"
    "                    startet (nur im eigenen Ordner)\n"
    "Alle Dateien sind nur für Sie lesbar (0600); einen Arbeitsordner, in den andere\n"
    "schreiben dürfen, lehnt Postbridge beim Start ab.\n"
    "\n"
    "Umgebung:\n"
    "  EDAPI_SESSION     der Kanal zum Hostprogramm; Postbridge und edhost müssen denselben\n"
    "                    Wert sehen (ohne ihn: einer je Benutzer)\n"
    "  XDG_RUNTIME_DIR   der Kanal liegt in $XDG_RUNTIME_DIR/edapi, ohne die Variable in\n"
    "                    /run/user/UID/edapi, /dev/shm/edapi-UID oder /tmp/edapi-UID;\n"
    "                    gehört der Ordner nicht Ihnen allein, verbindet sich Postbridge nicht\n"
    "  XDG_DATA_HOME     siehe --user-folder\n"
    "\n"
    "Beenden speichert das Aktivitätsprotokoll im Bereich \"REPORT\" des Hosts.\n";

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
    // Before the application: help needs no display.
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            std::fputs(kHelp, stdout);
            return 0;
        }
        if (!std::strcmp(argv[i], "--version")) {
            std::printf("%s (%s)\n", pb::kAppTitle, PB_VERSION);
            return 0;
        }
    }
    QApplication app(argc, argv);   // takes Qt's own options out of argv
    bool userFolder = false;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--user-folder")) {
            userFolder = true;
        } else {
            std::fprintf(stderr, "postbridge: unbekannte Option %s (postbridge --help zeigt alle)\n", argv[i]);
            return 2;
        }
    }
    if (userFolder) {
        // Everything the window writes, attachments included, goes by bare name into the
        // current folder, so this one change of folder keeps all of it out of the home folder.
        try {
            const auto folder = pb::ensureUserFolder();
            if (::chdir(folder.c_str()) != 0)
                throw std::runtime_error("In den Ordner " + folder.string() + " kann nicht gewechselt werden: " +
                                         std::strerror(errno));
        } catch (const std::exception& e) {
            std::fprintf(stderr, "postbridge: %s\n", e.what());
            return 1;
        }
    }
    // The title of the task bar entry and of every message box. Not the display name: Qt
    // would append that to every window caption.
    QApplication::setApplicationName(QString::fromUtf8(pb::kAppTitle));
    QGuiApplication::setDesktopFileName(QStringLiteral("postbridge"));
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
