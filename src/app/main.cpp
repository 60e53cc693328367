// The program body: application title, the main window and the three dialogs, created in
// this order, then the message loop until the main window closes. With --poll, --read or
// --send it does one run without a window instead.
#include "app/CommandLine.h"
#include "app/Headless.h"
#include "app/PB_main.h"
#include "app/QtMessageBoxes.h"
#include "app/Signals.h"
#include "app/UserHost.h"
#include "platform/AnsiText.h"
#include "platform/FolderLock.h"
#include "platform/MessageBoxes.h"
#include "platform/UserFolder.h"
#include "ui/Fonts.h"
#include "ui/PB_address.h"
#include "ui/PB_conf.h"
#include "ui/PB_quick.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QStyleFactory>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace {

// The help of "postbridge --help"; the manual page (dist/man/postbridge.1) says the same at length.
const char* const kHelp =
    "Aufruf: postbridge [--user-folder | --dir ORDNER] [Qt-Optionen]\n"
    "        postbridge --poll | --read | --send [--user-folder | --dir ORDNER]\n"
    "\n"
    "Postbridge holt die neuen Mails eines POP3-Postfachs in den Bereich \"EMAIL\" des\n"
    "Hostprogramms und verschickt die Nachrichten, die dort geschrieben wurden, über einen\n"
    "SMTP-Server. Das Hostprogramm muss laufen, bevor Postbridge startet, etwa mit\n"
    "  systemctl --user start edhost        (installiert)\n"
    "  edhost serve --base ORDNER           (von Hand; edhost --help)\n"
    "Das Fenster mit --user-folder (der Eintrag im Menü) startet es selbst, wenn keines läuft.\n"
    "\n"
    "Optionen:\n"
    "  --user-folder   im eigenen Ordner arbeiten: $XDG_DATA_HOME/postbridge, ohne\n"
    "                  XDG_DATA_HOME ~/.local/share/postbridge; fehlt er, wird er nur für\n"
    "                  Sie lesbar (0700) angelegt. So startet der Eintrag im Menü Postbridge.\n"
    "                  Bedient noch kein Hostprogramm die Basis dieses Ordners, startet das\n"
    "                  Fenster eines (mit systemctl --user start edhost, ohne Benutzer-systemd\n"
    "                  selbst: edhost serve --user-base, Ausgabe in edhost.log), wartet bis zu\n"
    "                  5 s auf seine Antwort und öffnet sich dann in jedem Fall. Das\n"
    "                  Hostprogramm läuft nach dem Fenster weiter. Ohne Fenster (--poll, --read,\n"
    "                  --send) wird keines gestartet.\n"
    "  --dir ORDNER    im angegebenen Ordner arbeiten\n"
    "  --poll          ohne Fenster einmal \"Internet-Poll\": neue Mails holen, dann senden\n"
    "  --read          ohne Fenster einmal \"nur lesen\"\n"
    "  --send          ohne Fenster einmal \"nur senden\"\n"
    "  -h, --help      diese Hilfe zeigen\n"
    "  --version       die Version zeigen\n"
    "Ohne --user-folder und --dir arbeitet Postbridge im aktuellen Ordner. In einem Ordner\n"
    "arbeitet immer nur ein Postbridge (mit oder ohne Fenster); ein zweites lehnt ab\n"
    "(Sperre: pbridge.lock).\n"
    "Qt-Optionen wie -platform offscreen oder -display :1 gelten wie bei jedem Qt-Programm.\n"
    "\n"
    "Dateien im Arbeitsordner:\n"
    "  pbridge.ini       die Einstellungen (nur für Sie lesbar), mit den Passwörtern, wenn\n"
    "                    sie nicht im Schlüsselbund der Desktop-Sitzung liegen; fehlt sie,\n"
    "                    öffnet sich beim Start zuerst \"Konfiguration\"\n"
    "  pbridge.crt       die Zertifikate, denen Sie für einen Server vertrauen\n"
    "  addressbook.lst   das Adressbuch (Namen und E-Mail-Adressen der Empfänger)\n"
    "  readmsg.lst, readmsg.uid\n"
    "                    die schon abgeholten Mails (ihre Nummern, ihre eindeutigen Kennungen);\n"
    "                    readmsg.uid ist zugleich das Protokoll des laufenden Abrufs, damit ein\n"
    "                    Absturz nichts verliert und nichts doppelt holt\n"
    "  nachricht.eml     eine Mail, bei der zwei Abrufe abgebrochen sind, unverändert\n"
    "  readmsg.pnd       Mails, deren Speichern der Host nicht mehr bestätigt hat; kommen sie\n"
    "                    wieder, wird zuerst in EMAIL nachgesehen\n"
    "  Anhänge           die Anhänge abgeholter Mails, unter ihrem Dateinamen; ein Name, der\n"
    "                    mit \".\" oder \"-\" beginnt oder einer dieser Dateien gleicht, bekommt\n"
    "                    ein \"_\" vorangestellt\n"
    "  edhost-base/      die Nachrichtenbasis des Hosts, den systemctl --user start edhost\n"
    "                    startet (nur im eigenen Ordner)\n"
    "  edhost.log        die Ausgabe eines Hosts, den das Fenster gestartet hat (höchstens 1 MiB;\n"
    "                    nur im eigenen Ordner)\n"
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
    "Beenden speichert das Aktivitätsprotokoll im Bereich \"REPORT\" des Hosts.\n"
    "\n"
    "Ohne Fenster (--poll, --read, --send; etwa aus cron, einem systemd-Timer oder der\n"
    "Ereignisliste von Mailer und Tosser) braucht Postbridge keine Anzeige. Es liest\n"
    "pbridge.ini, verbindet sich mit dem laufenden Hostprogramm, legt \"EMAIL\" an, wenn der\n"
    "Bereich fehlt, schreibt jede Protokollzeile auf die Standardausgabe und speichert am\n"
    "Ende das Protokoll in \"REPORT\". Was im Fenster ein Meldungsfenster wäre, steht auf der\n"
    "Standardfehlerausgabe; eine Frage wird mit \"Nein\" beantwortet. Eine Nachricht, für die\n"
    "im Fenster nach dem Empfänger gefragt würde, bleibt ungesendet (0x0840), mit einer\n"
    "Zeile im Protokoll. SIGINT und SIGTERM wirken wie \"Abbrechen\"; danach endet Postbridge\n"
    "wie mit \"Beenden\".\n"
    "Liegen die Passwörter im Schlüsselbund, muss er ohne Fenster erreichbar und entsperrt\n"
    "sein; aus cron, außerhalb der Desktop-Sitzung, ist er das nicht, und der Lauf endet mit 1.\n"
    "Rückgabewert:\n"
    "  0  erledigt (auch: keine neuen Mails)\n"
    "  1  eine Verbindung, eine Anmeldung, ein Zertifikat, das Hostprogramm oder eine\n"
    "     einzelne Mail oder Nachricht ist gescheitert, oder der Lauf wurde abgebrochen\n"
    "  2  falscher Aufruf, keine Anzeige für das Fenster, keine pbridge.ini, kein Hostprogramm\n"
    "     erreichbar, oder der Ordner ist in Benutzung oder wird abgelehnt\n"
    "Jeder Fall außer 0 meldet sich mit einer Zeile auf der Standardfehlerausgabe.\n";

int usage(const std::string& problem) {
    std::fprintf(stderr, "postbridge: %s (postbridge --help zeigt alle Optionen)\n", problem.c_str());
    return pb::kExitUsage;
}

// Changes into the working folder and takes its lock. Empty when done; otherwise the one-line
// message, and the exit status in `code`.
std::string enterWorkingFolder(const pb::TCommandLine& options, int& code) {
    code = pb::kExitUsage;
    std::string folder;
    try {
        if (options.UserFolder)
            folder = pb::ensureUserFolder().string();
        else
            folder = options.Dir;
    } catch (const std::exception& e) {
        code = pb::kExitFailed;
        return e.what();
    }
    // Everything the program writes, attachments included, goes by bare name into the current
    // folder, so this one change of folder keeps all of it where it belongs.
    if (!folder.empty() && ::chdir(folder.c_str()) != 0) {
        code = options.UserFolder ? pb::kExitFailed : pb::kExitUsage;
        return "In den Ordner " + folder + " kann nicht gewechselt werden: " + std::strerror(errno);
    }
    folder = QDir::currentPath().toStdString();
    int error = 0;
    switch (pb::lockWorkingFolder(error)) {
    case pb::FolderLock::Taken:
        return {};
    case pb::FolderLock::InUse:
        return "Im Ordner " + folder + " arbeitet schon ein anderes Postbridge; es arbeitet immer nur eines je Ordner.";
    case pb::FolderLock::Refused:
        break;
    }
    return "Der Ordner " + folder + " kann nicht gesperrt werden (" + pb::kFolderLockFile +
           "): " + std::strerror(error);
}

int headlessMain(int argc, char** argv, const pb::TCommandLine& options) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QString::fromUtf8(pb::kAppTitle));
    int code = 0;
    if (const std::string problem = enterWorkingFolder(options, code); !problem.empty()) {
        std::fprintf(stderr, "postbridge: %s\n", problem.c_str());
        return code;
    }
    return pb::RunHeadless(*options.Mode);
}

} // namespace

int main(int argc, char** argv) {
    // All of the line is read before the application: help needs no display, and neither does
    // being told about a typo.
    const pb::TCommandLine options = pb::ReadCommandLine(argc, argv);
    if (options.Help) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (options.Version) {
        std::printf("%s (%s)\n", pb::kAppTitle, PB_VERSION);
        return 0;
    }
    if (!options.Problem.empty())
        return usage(options.Problem);
    if (options.Mode)
        return headlessMain(argc, argv, options);
    const std::string noDisplay = pb::WindowDisplayProblem(options, std::getenv("QT_QPA_PLATFORM"),
                                                           std::getenv("DISPLAY"), std::getenv("WAYLAND_DISPLAY"));
    if (!noDisplay.empty()) {
        std::fprintf(stderr, "postbridge: %s\n", noDisplay.c_str());
        return pb::kExitUsage;
    }
    QApplication app(argc, argv);   // takes Qt's own options out of argv
    int code = 0;
    const std::string folderProblem = enterWorkingFolder(options, code);
    // The title of the task bar entry and of every message box. Not the display name: Qt
    // would append that to every window caption.
    QApplication::setApplicationName(QString::fromUtf8(pb::kAppTitle));
    QGuiApplication::setDesktopFileName(QStringLiteral("postbridge"));
    if (QStyle* style = QStyleFactory::create(QStringLiteral("Windows")))
        QApplication::setStyle(style);
    QApplication::setFont(pb::uiFont());

    pb::QtMessageBoxes boxes;
    pb::setMessageBoxes(&boxes);
    if (!folderProblem.empty()) {
        // Started from a menu, nobody reads standard error: the box says it as well.
        std::fprintf(stderr, "postbridge: %s\n", folderProblem.c_str());
        pb::messageDlg(pb::ansi(folderProblem), pb::MsgKind::Error, pb::MsgButtons::Ok);
        pb::setMessageBoxes(nullptr);
        return code;
    }

    if (options.UserFolder) {
        // Started from the desktop menu: the window attaches once, at its start, and nobody may
        // have started a host before. The folder's lock is held here, so a second window started
        // in the same moment is refused before it could start a second host. Without an answer
        // the window opens all the same and shows that it is not connected.
        const pb::UserHostResult host = pb::ensureUserHost(pb::findEdhost(), QDir::currentPath().toStdString());
        if (!host.problem.empty())
            std::fprintf(stderr, "postbridge: %s\n", host.problem.c_str());
    }

    pb::Tmain main;
    pb::TConfigForm configForm;
    pb::TAddressForm addressForm;
    pb::TQuickForm quickForm;
    main.ConfigForm = &configForm;
    main.AddressForm = &addressForm;
    main.QuickForm = &quickForm;

    // Ctrl-C or a kill ends the program the way "Beenden" does (detach, log mail), also from
    // inside a dialog. Nobody is there to answer a box any more: boxes go to standard error.
    pb::onTerminationSignals(&main, [&main] {
        pb::setMessageBoxes(nullptr);
        main.EndAsBeenden();
    });
    main.show();
    const int rc = QApplication::exec();
    pb::setMessageBoxes(nullptr);
    return rc;
}
