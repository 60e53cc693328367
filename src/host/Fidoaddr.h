#pragma once
// FidoNet addresses: the record that host messages carry as Addr1/Addr2, and the parser of
// the text form zone:net/node[.point].
#include <cstdint>
#include <string_view>

namespace pb {

// 8 bytes, four little-endian 16-bit numbers, laid out as the host's message record has them.
struct TFidoAddr {
    std::uint16_t zone = 0;
    std::uint16_t net = 0;
    std::uint16_t node = 0;
    std::uint16_t point = 0;

    friend bool operator==(const TFidoAddr&, const TFidoAddr&) = default;
};
static_assert(sizeof(TFidoAddr) == 8, "TFidoAddr is part of the host's message record");

// Fills Addr from Text when Text starts with zone:net/node or zone:net/node.point (decimal digit
// runs); anything after the node, or after the point's digits, is ignored. A text of any other
// form leaves Addr exactly as it was and reports nothing, so a caller that needs a defined value
// initialises Addr first.
// Each number keeps its low 16 bits. A digit run too large for a 32-bit signed number raises
// EConvertError; the fields written before it (in the order zone, net, node, point) keep their
// new values.
void ParseFidoAddr(std::string_view Text, TFidoAddr& Addr);

} // namespace pb
