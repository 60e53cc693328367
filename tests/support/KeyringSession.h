#pragma once
// A D-Bus session of a test's own (dbus-run-session on a bus that starts nothing by itself),
// with gnome-keyring-daemon as its Secret Service, its default keyring made and open, locked or
// stopped (SIGSTOP: on the bus, answering nothing); or with no Secret Service at all. The
// keyring's files live in a folder of the session's own. The session ends with the object, and
// with the test process if that dies first.
//
//   test::KeyringSession keyring;              // gnome-keyring, open
//   keyring.enter();                           // this process's session bus from now on
//   env.insert("DBUS_SESSION_BUS_ADDRESS", keyring.address());   // or a child's
//
// Every test program's main points the process at a bus that is not there, so no test reaches
// the user's own keyring; enter() must come before the process first speaks D-Bus.
#include "support/TempRoot.h"

#include <QProcess>
#include <QString>

#include <memory>

namespace pb::test {

class KeyringSession {
public:
    enum class Service { Open, Locked, Stopped, None };
    explicit KeyringSession(Service service = Service::Open);
    ~KeyringSession();
    KeyringSession(const KeyringSession&) = delete;
    KeyringSession& operator=(const KeyringSession&) = delete;

    // The bus's address; empty when the session could not be started.
    const QString& address() const { return address_; }
    void enter() const;

private:
    TempDir dir_{"pbtest-keyring"};
    std::unique_ptr<QProcess> session_;
    QString address_;
};

// The bus address every test program starts with: nothing listens there.
inline constexpr const char* kNoSessionBus = "unix:path=/nonexistent/pbtest-no-session-bus";

} // namespace pb::test
