// The one statistics record of a process: run id, download URL, failed
// attempts, package times; it sends download-started when it is created and
// exactly one final event per process.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "http/http_client.h"
#include "platform/stopwatch.h"
#include "stats/stats_events.h"

class DownloadStats {
public:
    // The first call, from whichever thread, builds the record exactly once;
    // it is never destroyed, so threads blocked in a transfer at exit stay safe.
    static DownloadStats& Instance();

    void SetUrl(const std::string& url);
    void AddError(std::int32_t packageIndex, std::int32_t code);
    void AddPackageTime(double milliseconds);
    // The byte from which this run downloads the file it will hand over: 0
    // unless it resumed a partial download of an earlier run.
    void SetResumedFrom(std::int64_t offset);

    std::string FormatErrors() const;
    std::string FormatPackageTimes() const;
    std::int32_t TotalTime() const;
    std::size_t ErrorCount() const;
    std::size_t PackageNumber() const;
    std::string OutcomeMessage(std::int32_t code) const;
    const std::string& DownloadId() const { return downloadId_; }
    // Every list and text of the record, taken at one moment.
    FinalEventRecord Snapshot() const;
    double ElapsedMilliseconds() const { return stopwatch_.ElapsedMilliseconds(); }

    // Sends the final event for code unless one was already claimed; true
    // when this call made the claim.
    bool ReportOutcome(std::int32_t code);

    // The URL of the event being sent, terminating zero included.
    static constexpr std::size_t kEventUrlCapacity = 0x80000;

private:
    DownloadStats();
    void SendStartedEvent();
    // Formats the final event into eventUrl_; false when it cannot be formatted at all.
    bool FormatFinalEvent(std::int32_t code);

    HttpClient reportClient_;
    std::string downloadId_;
    Stopwatch stopwatch_;
    std::map<std::int32_t, const char*> outcomeTexts_;
    std::vector<char> eventUrl_;
    std::atomic<bool> finalReportSent_{false};

    // The worker appends while the window thread may report: one lock for all.
    mutable std::mutex mutex_;
    std::string url_;
    std::vector<std::int32_t> errorNumbers_;
    std::vector<std::int32_t> errorCodes_;
    std::vector<std::int32_t> packageTimes_;
    std::int64_t resumedFrom_ = 0;
};
