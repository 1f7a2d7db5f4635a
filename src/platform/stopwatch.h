// Elapsed time from the performance counter, as a value record.
#pragma once

#include <cstdint>

#include "platform/platform.h"

struct Stopwatch {
    double frequency = platform::PerformanceFrequency();
    std::int64_t start = platform::PerformanceCounter();

    void Restart() {
        frequency = platform::PerformanceFrequency();
        start = platform::PerformanceCounter();
    }

    double ElapsedMilliseconds() const {
        return static_cast<double>(platform::PerformanceCounter() - start) * 1000.0 / frequency;
    }
};
