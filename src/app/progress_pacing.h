// The progress thread: turns the real percentage into a bar that advances one
// position at a time, paced by the rate measured so far.
#pragma once

#include <cstdint>

#include "platform/platform.h"

class PacingEnvironment {
public:
    virtual void ReadProgress(double& elapsedMs, std::int32_t& percent) = 0;
    virtual void PostPosition(int position) = 0;
    virtual void Sleep(unsigned milliseconds) = 0;

protected:
    ~PacingEnvironment() = default;
};

// The lowest real percent at which display position p may be shown.
double PacingThreshold(std::int32_t percent);  // sqrt(1000 * sqrt(percent))
// The pause after a position, from the last reading.
unsigned PacingPause(double elapsedMs, std::int32_t percent);

// Posts positions 1..100; returns after 100. Polls every 100 ms while the
// download has not reached the next threshold.
void PaceProgress(PacingEnvironment& environment);

// Entry of the progress thread: posts WM_DOWNLOAD_PROGRESS to window.
unsigned ProgressThreadProc(WindowHandle window);
