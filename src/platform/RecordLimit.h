#pragma once

#include <cstddef>

namespace pb {

// The largest record the host stores: header, text and NUL. A larger one is refused as damage,
// so the plug-in cuts a mail's text to fit, and the mail's assembly keeps no more text than that.
constexpr std::size_t kMaxRecordSize = 64u << 20;

} // namespace pb
