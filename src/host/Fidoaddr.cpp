#include "host/Fidoaddr.h"

#include "platform/Exceptions.h"

#include <string>

namespace pb {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The runtime's decimal conversion of a digit run: any length of leading zeros is fine, a
// value beyond the 32-bit signed range is a conversion error.
std::uint16_t toField(std::string_view digits) {
    std::int64_t value = 0;
    for (char c : digits) {
        value = value * 10 + (c - '0');
        if (value > INT32_MAX)
            throw EConvertError("'" + std::string(digits) + "' is not a valid integer value");
    }
    return static_cast<std::uint16_t>(value);
}

} // namespace

void ParseFidoAddr(std::string_view Text, TFidoAddr& Addr) {
    std::size_t i = 0;
    auto at = [&](std::size_t k) { return k < Text.size() ? Text[k] : '\0'; };
    auto run = [&]() {
        std::size_t start = i;
        while (isDigit(at(i)))
            ++i;
        return Text.substr(start, i - start);
    };
    auto separator = [&](char sep) {
        if (at(i) != sep || !isDigit(at(i + 1)))
            return false;
        ++i;
        return true;
    };

    if (!isDigit(at(0)))
        return;
    std::string_view zone = run();
    if (!separator(':'))
        return;
    std::string_view net = run();
    if (!separator('/'))
        return;
    std::string_view node = run();
    std::string_view point;
    if (at(i) == '.') {
        if (!separator('.'))
            return;
        point = run();
    }

    // Accepted: the fields are written only now, one after the other.
    Addr.zone = toField(zone);
    Addr.net = toField(net);
    Addr.node = toField(node);
    Addr.point = point.empty() ? 0 : toField(point);
}

} // namespace pb
