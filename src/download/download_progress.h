// Progress values the worker publishes for the progress and window threads.
// Each field has one writer, the worker thread.
#pragma once

#include <atomic>
#include <cstdint>

struct DownloadProgress {
    std::atomic<std::int64_t> bytesWritten{0};
    std::atomic<std::int64_t> totalSize{0};
    std::atomic<std::int64_t> reportedSize{0};
    std::atomic<std::int32_t> lastPercent{0};
    std::atomic<std::int32_t> publishedPercent{0};
    std::atomic<double> publishedElapsedMs{0.0};
    // A run that resumed an earlier run's bytes publishes at most 99 % until
    // its file is verified: a mismatch starts it again from 0, and the bar at
    // 100 would end the window's wait first.
    std::atomic<bool> holdBelowFull{false};
    // Set by the window once it ends the run without a finished download: the
    // transfer stops at its next progress call, and nothing is handed over.
    std::atomic<bool> cancelled{false};
    // Set with release order once the file is verified, just before the
    // download-succeeded event goes: from here the window waits at most that
    // event's budget (kFinalEventBudgetMs) for finished.
    std::atomic<bool> verified{false};
    // Set with release order after everything else of a successful run, so a
    // reader that acquires true sees the final reportedSize.
    std::atomic<bool> finished{false};
};

// The one record of the process; never destroyed, so a thread still blocked
// in a transfer at exit never touches freed memory.
DownloadProgress& Progress();

void GetPublishedProgress(double& elapsedMs, std::int32_t& percent);
