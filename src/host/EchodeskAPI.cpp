#include "host/EchodeskAPI.h"

namespace pb {

TEchodeskAPI::TEchodeskAPI(QObject* owner) : QObject(owner) {}
TEchodeskAPI::~TEchodeskAPI() = default;

void TEchodeskAPI::Connect() {}
void TEchodeskAPI::Disconnect() {}
void TEchodeskAPI::GetAreaList(std::vector<std::string>& List) { List.clear(); }
void TEchodeskAPI::CreateArea(const std::string&, const std::string&, std::uint8_t) {}

} // namespace pb
