#include "stats/download_stats.h"

#include <cstdio>

#include "http/endpoints.h"
#include "http/user_agent.h"
#include "stats/download_id.h"
#include "stats/download_outcome.h"
#include "stats/stats_events.h"

DownloadStats& DownloadStats::Instance() {
    static DownloadStats* const instance = new DownloadStats();
    return *instance;
}

DownloadStats::DownloadStats() {
    BuildUserAgent();
    stopwatch_.Restart();
    downloadId_ = GenerateDownloadId();
    outcomeTexts_ = {
        {kOutcomeSuccess, "Success"},
        {kOutcomeFileSizeMissing, "Can't find file size in metadata xml"},
        {kOutcomeFileOperationError, "File operation error"},
        {kOutcomeFileHashMissing, "Can't find file hash in metadata xml"},
        {kOutcomeDownloadUrlMissing, "Can't find file url in metadata xml"},
        {kOutcomeMetadataChanged, "Metadata file changed during downloading"},
        {kOutcomeHashMismatch, "Downloaded file does not match metadata hash"},
        {kOutcomeUserCancel, "User cancel"},
        {kOutcomeSignatureUntrusted, "Installer signature not trusted"},
    };
    eventUrl_.resize(kEventUrlCapacity);
    SendStartedEvent();
}

void DownloadStats::SendStartedEvent() {
    HttpClient client;
    if (!client.HasHandle()) return;
    const int length = FormatStartedUrl(client.Handle(), eventUrl_.data(), eventUrl_.size(),
                                        CurrentEndpoints().statsServerBase, downloadId_, branding);
    if (length < 0 || static_cast<std::size_t>(length) >= eventUrl_.size()) return;
    client.SendStartHit(eventUrl_.data());
}

void DownloadStats::SetUrl(const std::string& url) {
    std::lock_guard<std::mutex> lock(mutex_);
    url_ = url;
}

void DownloadStats::AddError(std::int32_t packageIndex, std::int32_t code) {
    std::lock_guard<std::mutex> lock(mutex_);
    errorNumbers_.push_back(packageIndex);
    errorCodes_.push_back(code);
}

void DownloadStats::AddPackageTime(double milliseconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    packageTimes_.push_back(static_cast<std::int32_t>(milliseconds));
}

void DownloadStats::SetResumedFrom(std::int64_t offset) {
    std::lock_guard<std::mutex> lock(mutex_);
    resumedFrom_ = offset;
}

std::string DownloadStats::FormatErrors() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return FormatErrorList(errorNumbers_, errorCodes_);
}

std::string DownloadStats::FormatPackageTimes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return FormatTimeList(packageTimes_);
}

std::int32_t DownloadStats::TotalTime() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return SumTimes(packageTimes_);
}

std::size_t DownloadStats::ErrorCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return errorNumbers_.size();
}

std::size_t DownloadStats::PackageNumber() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return packageTimes_.size();
}

std::string DownloadStats::OutcomeMessage(std::int32_t code) const {
    const auto it = outcomeTexts_.find(code);
    return it != outcomeTexts_.end() ? it->second : "Curl error.";
}

FinalEventRecord DownloadStats::Snapshot() const {
    FinalEventRecord record;
    record.id = downloadId_;
    record.branding = branding;
    // One lock for every list: the worker may be appending while the window reports.
    std::lock_guard<std::mutex> lock(mutex_);
    record.url = url_;
    record.errorNumbers = errorNumbers_;
    record.errorCodes = errorCodes_;
    record.packageTimes = packageTimes_;
    record.resumedFrom = resumedFrom_;
    return record;
}

bool DownloadStats::FormatFinalEvent(std::int32_t code) {
    const FinalEventFormat format = code == kOutcomeSuccess      ? FormatSucceededUrl
                                    : code == kOutcomeUserCancel ? FormatCanceledUrl
                                                                 : FormatFailedUrl;
    return FormatFinalEventUrl(format, reportClient_.Handle(), eventUrl_.data(), eventUrl_.size(),
                               CurrentEndpoints().statsServerBase, code, OutcomeMessage(code), Snapshot()) >= 0;
}

bool DownloadStats::ReportOutcome(std::int32_t code) {
    if (finalReportSent_.exchange(true)) return false;  // one final event per process
    if (FormatFinalEvent(code)) reportClient_.SendFinalHit(eventUrl_.data());
    return true;
}
