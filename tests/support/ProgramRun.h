#pragma once
// The program without a window, started as cron starts it: no display, from "/", in the folder
// given, with the environment given; waited for at most a minute: a run that hangs fails the test.
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

#include <string>

namespace pb::test {

struct ProgramOutcome {
    int code = -1;                    // -1: crashed, or still running at the bound
    std::string out, err;
};

inline ProgramOutcome runPostbridge(const QStringList& args, const QString& folder, QProcessEnvironment env) {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    QProcess p;
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(QStringLiteral("/"));
    p.start(QStringLiteral(PB_BIN_DIR "/postbridge"), args + QStringList{QStringLiteral("--dir"), folder});
    const bool ended = p.waitForFinished(60000);
    if (!ended)
        p.kill();
    ProgramOutcome o;
    o.code = ended && p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    o.out = p.readAllStandardOutput().toStdString();
    o.err = p.readAllStandardError().toStdString();
    return o;
}

} // namespace pb::test
