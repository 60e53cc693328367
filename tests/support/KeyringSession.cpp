#include "support/KeyringSession.h"

#include <QProcessEnvironment>

#include <cstdlib>
#include <fstream>
#include <sys/stat.h>

namespace pb::test {
namespace {

// A session bus that only lets its clients talk: no service is started on demand, so neither
// the user's keyring nor a prompter window comes up by itself.
const char* const kBusConfig = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:tmpdir=/tmp</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

// Starts the keyring and waits until its Secret Service answers; then the session's line.
const char* const kStartKeyring =
    R"(printf %s test | gnome-keyring-daemon --unlock --components=secrets --foreground >/dev/null 2>&1 &
k=$!
ask() { dbus-send --session --print-reply --reply-timeout=5000 --dest=org.freedesktop.secrets "$@"; }
for i in $(seq 100); do ask /org/freedesktop/secrets org.freedesktop.DBus.Peer.Ping >/dev/null 2>&1 && break; sleep 0.1; done
)";
const char* const kLock = R"(ask /org/freedesktop/secrets org.freedesktop.Secret.Service.Lock \
  array:objpath:/org/freedesktop/secrets/collection/login >/dev/null
)";
// Prints the bus address, then lives until its standard input closes (the test ends, or dies).
const char* const kAnnounce = R"(echo "$DBUS_SESSION_BUS_ADDRESS"; read _)";
const char* const kEndKeyring = R"(; kill -CONT $k; kill $k; wait)";

} // namespace

KeyringSession::KeyringSession(Service service) : session_(std::make_unique<QProcess>()) {
    const std::string folder = dir_.path();
    std::ofstream(folder + "/bus.conf") << kBusConfig;
    ::mkdir((folder + "/run").c_str(), 0700);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), QString::fromStdString(folder));
    env.insert(QStringLiteral("XDG_DATA_HOME"), QString::fromStdString(folder + "/data"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), QString::fromStdString(folder + "/run"));
    env.remove(QStringLiteral("DISPLAY"));
    session_->setProcessEnvironment(env);
    std::string script = kAnnounce;
    if (service != Service::None)
        script = kStartKeyring + std::string(service == Service::Locked ? kLock : "") +
                 (service == Service::Stopped ? "kill -STOP $k\n" : "") + script + kEndKeyring;
    session_->start(QStringLiteral("dbus-run-session"),
                    {QStringLiteral("--config-file=") + QString::fromStdString(folder + "/bus.conf"), QStringLiteral("--"),
                     QStringLiteral("sh"), QStringLiteral("-c"), QString::fromStdString(script)});
    QByteArray out;
    while (!out.contains('\n') && session_->waitForReadyRead(15000))
        out += session_->readAllStandardOutput();
    if (out.startsWith("unix:"))
        address_ = QString::fromUtf8(out.left(out.indexOf('\n')));
}

KeyringSession::~KeyringSession() {
    session_->closeWriteChannel();
    if (!session_->waitForFinished(10000)) {
        session_->kill();
        session_->waitForFinished(5000);
    }
}

void KeyringSession::enter() const {
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address_.toUtf8().constData(), 1);
}

} // namespace pb::test
