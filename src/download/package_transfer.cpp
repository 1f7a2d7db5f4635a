#include "download/package_transfer.h"

#include "download/download_progress.h"
#include "download/package_answer.h"
#include "platform/stopwatch.h"
#include "stats/download_stats.h"

namespace {

int OnTransferProgress(void* context, double, double, double, double) {
    if (!context || Progress().cancelled.load(std::memory_order_relaxed)) return 1;
    PublishProgress();
    return 0;
}

// One attempt at one package; the file is positioned at answer.first.
CURLcode FetchPackage(HttpClient& client, const std::string& url, PackageAnswer& answer, WindowHandle window) {
    const std::string range = FormatRange(answer.first, answer.last);
    answer.secure = IsHttpsUrl(url);
    const RangeReceiver receiver{WritePackageData, ReadPackageHeader, &answer, OnTransferProgress, window};
    return JudgePackageAnswer(answer, client.FetchRange(url, range.c_str(), receiver));
}

RetryPauses& CurrentRetryPauses() {
    static RetryPauses pauses = kRetryPauses;
    return pauses;
}

}  // namespace

void UseRetryPauses(const RetryPauses& pauses) { CurrentRetryPauses() = pauses; }

void PublishProgress() {
    DownloadProgress& p = Progress();
    const std::int64_t total = p.totalSize.load(std::memory_order_relaxed);
    std::int32_t percent =
        total == 0 ? 0 : static_cast<std::int32_t>(p.bytesWritten.load(std::memory_order_relaxed) * 100 / total);
    if (percent >= 100 && p.holdBelowFull.load(std::memory_order_relaxed)) percent = 99;
    if (percent != p.lastPercent.load(std::memory_order_relaxed)) {
        p.lastPercent.store(percent, std::memory_order_relaxed);
        p.publishedElapsedMs.store(DownloadStats::Instance().ElapsedMilliseconds(), std::memory_order_relaxed);
        p.publishedPercent.store(percent, std::memory_order_release);
    }
}

std::string FormatRange(std::int64_t first, std::int64_t last) {
    return std::to_string(first) + "-" + std::to_string(last);
}

int TransferPackages(HttpClient& client, const std::string& url, std::int64_t totalSize, std::int64_t packageSize,
                     std::int64_t from, std::FILE* file, WindowHandle window, BackgroundDigest* digest) {
    DownloadProgress& progress = Progress();
    std::int64_t offset = from;
    std::int32_t packageIndex = static_cast<std::int32_t>(DownloadStats::Instance().PackageNumber());
    progress.bytesWritten.store(offset, std::memory_order_relaxed);
    PublishProgress();  // a resumed run's bar starts where its bytes are
    int attempts = 0;
    bool restart = true;
    Stopwatch packageWatch;

    while (offset < totalSize) {
        client.Renew();  // a new connection for every attempt
        if (restart) packageWatch.Restart();
        restart = true;

        // Written so that a huge package size cannot overflow.
        const std::int64_t packageEnd = packageSize >= totalSize - offset ? totalSize : offset + packageSize;
        PackageAnswer answer(file, offset, packageEnd - 1, totalSize);
        answer.digest = digest;
        const CURLcode code = FetchPackage(client, url, answer, window);
        if (digest) code == CURLE_OK ? digest->Commit() : digest->Rollback();
        // A cancelled run makes no further attempt: what is written stays as it is.
        if (code != CURLE_OK && progress.cancelled.load(std::memory_order_relaxed)) return code;
        if (code != CURLE_OK) {
            ++attempts;
            DownloadStats::Instance().AddError(packageIndex, code);
            if (attempts >= MaxPackageAttempts) return code;
            // A moment's outage must not burn every attempt at once.
            platform::SleepMilliseconds(CurrentRetryPauses()[attempts - 1]);
            // The next attempt rewrites the package from its first byte; a
            // file that cannot be positioned ends the download, with its own item.
            if (!platform::SeekFile(file, offset)) {
                DownloadStats::Instance().AddError(packageIndex, CURLE_WRITE_ERROR);
                return CURLE_WRITE_ERROR;
            }
            progress.bytesWritten.store(offset, std::memory_order_relaxed);
            restart = false;
            continue;
        }
        offset = packageEnd;
        attempts = 0;
        DownloadStats::Instance().AddPackageTime(packageWatch.ElapsedMilliseconds());
        ++packageIndex;
    }
    return CURLE_OK;
}
