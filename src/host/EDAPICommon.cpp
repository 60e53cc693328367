#include "host/EDAPICommon.h"

#include "platform/Session.h"

namespace pb::edapi {

std::string blockName(std::string_view prefix, std::uint32_t tid) {
    return std::string(prefix) + threadIdHex(tid);
}

} // namespace pb::edapi
