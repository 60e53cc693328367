// Both decoders on arbitrary text, checked against a plain whole-line decoder that follows the
// same rules, plus the encode/decode round trip of arbitrary bytes. The first input byte picks
// the method.
#include "mime/UUCoder.h"

#include "platform/MessageBoxes.h"

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <string_view>

namespace {

struct CountingBoxes final : pb::MessageBoxes {
    int shown = 0;
    pb::MsgResult show(std::string_view, pb::MsgKind, pb::MsgButtons, std::string_view) override {
        ++shown;
        return pb::MsgResult::Ok;
    }
};
CountingBoxes boxes;

struct Result {
    std::string bytes;
    std::size_t consumed = 0;
    int boxes = 0;
};

// ---- reference: every line whole in memory ----

int mimeValue(unsigned char c) {
    const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const char* p = c ? std::strchr(a, c) : nullptr;
    return p ? static_cast<int>(p - a) : -1;
}

// Decodes one line; returns true when decoding ends after it.
bool mimeLine(std::string_view line, std::string& out) {
    if (line.size() <= 2 || line.substr(0, 4) == "====")
        return false;
    std::size_t i = 0;
    for (;; ++i) {
        if (i + 1 >= line.size())
            return false;
        if (mimeValue(line[i]) >= 0)
            break;
        if (line[i] == '=' || line[i] == '\r' || line[i] == '\n')
            return true;
    }
    bool stop = false;
    auto v = [&](std::string_view g, std::size_t k) { return k < g.size() && mimeValue(g[k]) > 0 ? mimeValue(g[k]) : 0; };
    while (i < line.size()) {
        if (mimeValue(line[i]) < 0) {
            ++i;
            continue;
        }
        std::string_view g = line.substr(i, 4);
        i += g.size();
        if (g.size() < 2)
            break;
        out += static_cast<char>(v(g, 0) << 2 | v(g, 1) >> 4);
        if (g.size() < 3)
            break;
        if (g[2] == '=') {
            stop = true;
            continue;
        }
        out += static_cast<char>(v(g, 1) << 4 | v(g, 2) >> 2);
        if (g.size() < 4)
            break;
        if (g[3] == '=') {
            stop = true;
            continue;
        }
        out += static_cast<char>(v(g, 2) << 6 | v(g, 3));
    }
    return stop;
}

Result reference(std::string_view text, bool mime) {
    Result r;
    bool awaitingEnd = false;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t lf = text.find('\n', pos);
        std::size_t end = lf == std::string_view::npos ? text.size() : lf;
        std::string_view line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        pos = lf == std::string_view::npos ? text.size() : lf + 1;
        if (mime) {
            if (mimeLine(line, r.bytes))
                break;
            continue;
        }
        if (awaitingEnd) {
            r.boxes += line != "end";
            awaitingEnd = false;
            break;
        }
        if (line.empty())
            continue;
        auto count = [](char c) { return (static_cast<unsigned char>(c) - 32u) & 63u; };
        unsigned n = count(line[0]);
        if (n == 0) {
            awaitingEnd = true;
            continue;
        }
        if (line.size() <= 2 || (line.size() >= 7 && line.substr(0, 6) == "begin " && line[6] >= '0' && line[6] <= '7'))
            continue;
        for (std::size_t i = 1; n > 0; i += 4, n = n >= 3 ? n - 3 : 0) {
            unsigned c[4];
            for (std::size_t k = 0; k < 4; ++k)
                c[k] = i + k < line.size() ? count(line[i + k]) : 0;
            r.bytes += static_cast<char>(c[0] << 2 | c[1] >> 4);
            if (n >= 2)
                r.bytes += static_cast<char>(c[1] << 4 | c[2] >> 2);
            if (n >= 3)
                r.bytes += static_cast<char>(c[2] << 6 | c[3]);
        }
    }
    if (awaitingEnd)
        ++r.boxes;
    r.consumed = pos;
    return r;
}

Result streamed(std::string_view text, bool mime) {
    std::stringstream src{std::string(text)}, dst;
    pb::TUUProcessor p;
    p.Method = mime ? pb::UUMethods::uuMime : pb::UUMethods::uuCode;
    p.SourceStream = &src;
    p.TargetStream = &dst;
    boxes.shown = 0;
    p.Decode();
    return {dst.str(), static_cast<std::size_t>(src.tellg()), boxes.shown};
}

std::string encoded(std::string_view data, bool mime) {
    std::stringstream src{std::string(data)}, dst;
    pb::TUUProcessor p;
    p.Method = mime ? pb::UUMethods::uuMime : pb::UUMethods::uuCode;
    p.SourceStream = &src;
    p.TargetStream = &dst;
    p.Encode();
    return dst.str();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    pb::setMessageBoxes(&boxes);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const bool mime = (data[0] & 1) == 0;
    std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);

    Result want = reference(text, mime), got = streamed(text, mime);
    if (got.bytes != want.bytes || got.consumed != want.consumed || got.boxes != want.boxes)
        std::abort();

    if (streamed(encoded(text, mime), mime).bytes != text)
        std::abort();
    return 0;
}
