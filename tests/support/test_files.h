// What several tests and soaks share: a file's bytes, installer contents made
// from the scripted server's pattern, and counts taken from the environment.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "scripted_server.h"

// The whole file, or "" when it cannot be read.
inline std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// size bytes of PatternByte(i * stride + offset): a different installer for
// each stride and offset (a soak's seed), the same one every time.
inline std::string PatternContent(std::size_t size, long long stride = 1, long long offset = 0) {
    std::string content(size, '\0');
    for (std::size_t i = 0; i < size; ++i) content[i] = PatternByte(static_cast<long long>(i) * stride + offset);
    return content;
}

// A soak's seed or run count: the variable's value, or fallback where it is unset.
inline std::uint64_t FromEnvironment(const char* name, std::uint64_t fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::strtoull(value, nullptr, 10) : fallback;
}
