// The 32-character id of one run: 16 characters from the second the record
// was made, 16 from the process id.
#pragma once

#include <cstdint>
#include <string>

// The classic runtime rand recurrence, our own so every OS draws the same.
class RandGenerator {
public:
    explicit RandGenerator(std::uint32_t seed) : state_(seed) {}
    int Next() {
        state_ = state_ * 214013u + 2531011u;
        return static_cast<int>((state_ >> 16) & 0x7FFF);
    }

private:
    std::uint32_t state_;
};

std::string GenerateDownloadId(std::uint32_t timeSeed, std::uint32_t processSeed);
std::string GenerateDownloadId();  // seeded from the clock and the process id
