#include "download/download_progress.h"

DownloadProgress& Progress() {
    static DownloadProgress* const progress = new DownloadProgress();
    return *progress;
}

void GetPublishedProgress(double& elapsedMs, std::int32_t& percent) {
    DownloadProgress& p = Progress();
    elapsedMs = p.publishedElapsedMs.load(std::memory_order_relaxed);
    percent = p.publishedPercent.load(std::memory_order_relaxed);
}
