#pragma once
// Placeholder of the host interface component: only the members the main window uses.
// The host-channel work replaces this with the real component; the names below stay.
#include <QObject>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace pb {

class TEchodeskAPI : public QObject {
    Q_OBJECT
public:
    explicit TEchodeskAPI(QObject* owner = nullptr);
    ~TEchodeskAPI() override;

    // Published properties (Windows-1252 texts of at most 255 bytes).
    bool AutoConnect = true;
    std::string PIName;
    std::string PICopyright;
    std::string PIDescription;
    std::int32_t PIVersion = 0;
    std::int32_t PIRevision = 0;
    std::int32_t PIAPIRequiered = 0;
    std::int32_t PIAPISupported = 0;

    // Events, delivered on the GUI thread.
    std::function<void()> OnConnected;
    std::function<void()> OnConnecting;
    std::function<void()> OnConnectFailed;
    std::function<void()> OnDisconnecting;
    std::function<void()> OnDisconnected;
    std::function<void()> OnServerDisconnected;
    std::function<void()> OnWrongVersion;

    bool Connected() const { return connected_; }
    // Failure leaves Connected() false; never throws.
    void Connect();
    void Disconnect();

    // Host operations; failures raise EAPIError descendants.
    void GetAreaList(std::vector<std::string>& List);
    void CreateArea(const std::string& Name, const std::string& AreaType, std::uint8_t AreaCode);

private:
    bool connected_ = false;
};

} // namespace pb
