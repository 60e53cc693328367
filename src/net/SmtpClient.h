#pragma once
// Placeholder of the SMTP component: only what the main window uses until the SMTP work lands.
#include <QObject>

namespace pb {

class TSmtpClient : public QObject {
    Q_OBJECT
public:
    explicit TSmtpClient(QObject* owner = nullptr) : QObject(owner) {}
    // Ends the current network wait; the waiting call fails with EAbortError.
    void Abort() {}
};

} // namespace pb
