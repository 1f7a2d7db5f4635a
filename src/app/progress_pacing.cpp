#include "app/progress_pacing.h"

#include <cmath>

#include "app/window_messages.h"
#include "download/download_progress.h"

namespace {

constexpr unsigned kPollMs = 100;
constexpr unsigned kMaxPauseMs = 5000;
constexpr unsigned kFinalPauseMs = 100;

class ThreadPacing : public PacingEnvironment {
public:
    explicit ThreadPacing(WindowHandle window) : window_(window) {}
    void ReadProgress(double& elapsedMs, std::int32_t& percent) override { GetPublishedProgress(elapsedMs, percent); }
    void PostPosition(int position) override {
        platform::PostWindowMessage(window_, WM_DOWNLOAD_PROGRESS, static_cast<std::uintptr_t>(position));
    }
    void Sleep(unsigned milliseconds) override { platform::SleepMilliseconds(milliseconds); }

private:
    WindowHandle window_;
};

}  // namespace

double PacingThreshold(std::int32_t percent) {
    return std::sqrt(1000.0 * std::sqrt(static_cast<double>(percent < 0 ? 0 : percent)));
}

unsigned PacingPause(double elapsedMs, std::int32_t percent) {
    if (percent > 96) return kFinalPauseMs;
    if (percent <= 0) return kMaxPauseMs;  // a position is never released at 0 %
    const double pause = elapsedMs * 0.666 / percent;
    return pause >= kMaxPauseMs ? kMaxPauseMs : pause <= 0 ? 0 : static_cast<unsigned>(pause);
}

void PaceProgress(PacingEnvironment& environment) {
    for (int position = 1; position <= 100; ++position) {
        double elapsedMs = 0;
        std::int32_t percent = 0;
        environment.ReadProgress(elapsedMs, percent);
        while (PacingThreshold(percent) < position) {
            environment.Sleep(kPollMs);
            environment.ReadProgress(elapsedMs, percent);
        }
        environment.PostPosition(position);
        environment.Sleep(PacingPause(elapsedMs, percent));
    }
}

unsigned ProgressThreadProc(WindowHandle window) {
    ThreadPacing pacing(window);
    PaceProgress(pacing);
    return 0;
}
