#pragma once
// Whole files as bytes, for tests that check exactly what the program wrote or give it exact
// input.
#include <fstream>
#include <iterator>
#include <string>

namespace pb::test {

// Reads a whole file as bytes; empty when it does not exist.
inline std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Replaces the file's content with `data`.
inline void writeBytes(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

} // namespace pb::test
