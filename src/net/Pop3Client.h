#pragma once
// Placeholder of the POP3 component: only what the main window uses until the POP3 work lands.
#include <QObject>

namespace pb {

class TPop3Client : public QObject {
    Q_OBJECT
public:
    explicit TPop3Client(QObject* owner = nullptr) : QObject(owner) {}
    // Ends the current network wait; the waiting call fails with EAbortError.
    void Abort() {}
};

} // namespace pb
