// The message reader on arbitrary mails: fed whole, in pieces of random sizes and byte by
// byte, it must tell the same events, well nested (no part ends that was not begun, no bytes
// outside a part, a line of a part read as lines is one line). The first input bytes pick the
// owner's answers and the pieces; the rest is the mail. MIME structure comes from the input.
#include "support/MimeTrace.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

// Seed 0: the mail whole; 1: byte by byte; any other: pieces of 1 to 64 bytes.
std::string Read(std::string_view mail, std::uint32_t answers, std::uint32_t seed, bool abandon) {
    pb::test::TTrace trace;
    int parts = 0;
    trace.Rule = [&](const pb::TPartHeader&) {
        return static_cast<pb::TPartBody>((answers >> (2 * (parts++ % 16))) & 3);
    };
    pb::TMimeReader reader(trace);
    std::string piece;   // overwritten once fed, as a socket's buffer is
    for (std::size_t at = 0; at < mail.size();) {
        std::size_t n = seed == 0 ? mail.size() : 1;
        if (seed > 1) {
            seed = seed * 1103515245u + 12345u;
            n = 1 + (seed >> 16) % 64;
        }
        n = std::min(n, mail.size() - at);
        piece.assign(mail.substr(at, n));
        reader.Feed(piece);
        piece.assign(piece.size(), '#');
        at += n;
    }
    if (abandon)
        reader.Abandon();
    else
        reader.End();
    return trace.Text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 5)
        return 0;
    const std::uint32_t answers = data[0] | data[1] << 8 | data[2] << 16 | static_cast<std::uint32_t>(data[3]) << 24;
    const bool abandon = data[4] & 1;
    const std::string_view mail(reinterpret_cast<const char*>(data) + 5, size - 5);
    const std::string whole = Read(mail, answers, 0, abandon);
    if (whole.rfind("! ", 0) == 0 || whole.find("\n! ") != std::string::npos)
        std::abort();
    if (Read(mail, answers, 1, abandon) != whole || Read(mail, answers, data[4] | 0x100u, abandon) != whole)
        std::abort();
    return 0;
}
