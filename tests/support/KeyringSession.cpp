#include "support/KeyringSession.h"

#include <QProcessEnvironment>

#include <csignal>
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

// Prints the bus address and the daemon's pid once its Secret Service answers, then lives until
// its standard input closes (the test ends, or dies).
const char* const kWithKeyring =
    R"(printf %s test | gnome-keyring-daemon --unlock --components=secrets --foreground >/dev/null 2>&1 &
k=$!
for i in $(seq 100); do
  dbus-send --session --print-reply --dest=org.freedesktop.secrets /org/freedesktop/secrets \
    org.freedesktop.DBus.Peer.Ping >/dev/null 2>&1 && break
  sleep 0.1
done
echo "$DBUS_SESSION_BUS_ADDRESS"; echo $k
read _; kill -CONT $k; kill $k; wait)";
const char* const kWithoutKeyring = R"(echo "$DBUS_SESSION_BUS_ADDRESS"; echo 0; read _)";

QString dbusSend(const QString& address, const QStringList& args) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), address);
    p.setProcessEnvironment(env);
    p.start(QStringLiteral("dbus-send"),
            QStringList{QStringLiteral("--session"), QStringLiteral("--print-reply"), QStringLiteral("--reply-timeout=5000"),
                        QStringLiteral("--dest=org.freedesktop.secrets")} + args);
    p.waitForFinished(10000);
    return QString::fromUtf8(p.readAllStandardOutput());
}

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
    session_->setProcessChannelMode(QProcess::SeparateChannels);
    session_->start(QStringLiteral("dbus-run-session"),
                    {QStringLiteral("--config-file=") + QString::fromStdString(folder + "/bus.conf"), QStringLiteral("--"),
                     QStringLiteral("sh"), QStringLiteral("-c"),
                     QString::fromLatin1(service == Service::Keyring ? kWithKeyring : kWithoutKeyring)});
    QByteArray out;
    while (out.count('\n') < 2 && session_->waitForReadyRead(15000))
        out += session_->readAllStandardOutput();
    const QList<QByteArray> lines = out.split('\n');
    if (lines.size() >= 2 && lines[0].startsWith("unix:"))
        address_ = QString::fromUtf8(lines[0]);
    daemon_ = lines.size() >= 2 ? lines[1].toInt() : 0;
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

bool KeyringSession::lock() const {
    dbusSend(address_, {QStringLiteral("/org/freedesktop/secrets"), QStringLiteral("org.freedesktop.Secret.Service.Lock"),
                        QStringLiteral("array:objpath:/org/freedesktop/secrets/collection/login")});
    return dbusSend(address_, {QStringLiteral("/org/freedesktop/secrets/aliases/default"),
                               QStringLiteral("org.freedesktop.DBus.Properties.Get"),
                               QStringLiteral("string:org.freedesktop.Secret.Collection"), QStringLiteral("string:Locked")})
        .contains(QStringLiteral("boolean true"));
}

void KeyringSession::freeze() const {
    if (daemon_ > 0)
        ::kill(daemon_, SIGSTOP);
}

} // namespace pb::test
