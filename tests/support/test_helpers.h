// What several tests and soaks share: a file's bytes, installer contents made
// from the scripted server's pattern, and a soak's seeds and breach lines.
#pragma once

#include <cstdint>
#include <cstdio>
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

// A soak's seeds: the first from TOVIK_SOAK_SEED, how many from runsVariable,
// each with its fallback where the variable is unset.
struct SoakSeeds {
    std::uint64_t first;
    std::uint64_t runs;
    const char* runsVariable;
};

inline SoakSeeds SeedsFromEnvironment(const char* runsVariable, std::uint64_t fallbackRuns) {
    const auto read = [](const char* name, std::uint64_t fallback) {
        const char* value = std::getenv(name);
        return value && *value ? std::strtoull(value, nullptr, 10) : fallback;
    };
    return {read("TOVIK_SOAK_SEED", 20261208), read(runsVariable, fallbackRuns), runsVariable};
}

// One breach, with the variables that replay its seed alone.
inline void PrintBreach(const SoakSeeds& seeds, std::uint64_t seed, const std::string& what) {
    std::printf("BREACH seed %llu (replay: TOVIK_SOAK_SEED=%llu %s=1): %s\n", static_cast<unsigned long long>(seed),
                static_cast<unsigned long long>(seed), seeds.runsVariable, what.c_str());
}
