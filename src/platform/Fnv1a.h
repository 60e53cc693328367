#pragma once
// A short, stable fingerprint of bytes (64-bit FNV-1a): names derived from a path, keys that
// recognise a stored mail across runs. Not for anything an adversary must not forge.
#include <cstdint>
#include <string_view>

namespace pb {

inline constexpr std::uint64_t kFnv1aStart = 14695981039346656037ull;
inline constexpr std::uint64_t kFnv1aPrime = 1099511628211ull;

// Folds Bytes into the fingerprint H.
inline std::uint64_t Fnv1a(std::string_view Bytes, std::uint64_t H = kFnv1aStart) {
    for (unsigned char c : Bytes)
        H = (H ^ c) * kFnv1aPrime;
    return H;
}

} // namespace pb
