#include "stats/download_stats.h"

#include <algorithm>
#include <cstdio>

#include "download/download_outcome.h"
#include "http/endpoints.h"
#include "http/user_agent.h"
#include "stats/download_id.h"
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
        {kOutcomeUserCancel, "User cancel"},
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

namespace {

std::string ErrorItem(std::int32_t number, std::int32_t code) {
    char item[64];
    std::snprintf(item, sizeof item, "{\"number\":%d,\"errCode\":%d}", number, code);
    return item;
}

std::string FormatErrorItems(const std::vector<std::int32_t>& numbers, const std::vector<std::int32_t>& codes,
                             std::size_t skipOldest) {
    std::string text = "[";
    for (std::size_t i = skipOldest; i < numbers.size(); ++i) {
        if (i > skipOldest) text += ',';
        text += ErrorItem(numbers[i], codes[i]);
    }
    return text + "]";
}

}  // namespace

std::string DownloadStats::FormatErrors() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return FormatErrorItems(errorNumbers_, errorCodes_, 0);
}

std::string DownloadStats::FormatPackageTimes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string text = "[";
    for (std::size_t i = 0; i < packageTimes_.size(); ++i) {
        if (i > 0) text += ',';
        text += std::to_string(packageTimes_[i]);
    }
    return text + "]";
}

std::int32_t DownloadStats::TotalTime() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::uint32_t total = 0;  // wraps like the 32-bit sum it stands for, without overflow
    for (std::int32_t time : packageTimes_) total += static_cast<std::uint32_t>(time);
    return static_cast<std::int32_t>(total);
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

bool DownloadStats::FormatFinalEvent(std::int32_t code) {
    FinalEventValues values;
    std::vector<std::int32_t> numbers, codes;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        values.url = url_;
        numbers = errorNumbers_;
        codes = errorCodes_;
    }
    values.id = downloadId_;
    values.branding = branding;
    values.code = code;
    values.message = OutcomeMessage(code);
    values.errorCount = static_cast<int>(numbers.size());
    values.packageNumber = static_cast<int>(PackageNumber());
    values.totalTime = TotalTime();
    values.packageTimes = FormatPackageTimes();

    auto format = code == kOutcomeSuccess      ? FormatSucceededUrl
                  : code == kOutcomeUserCancel ? FormatCanceledUrl
                                               : FormatFailedUrl;
    const std::string& base = CurrentEndpoints().statsServerBase;
    CURL* handle = reportClient_.Handle();

    // A URL too long for the buffer loses its oldest error items first
    // (errorCount still counts them all); it is never cut.
    std::size_t skip = 0;
    for (;;) {
        values.errors = FormatErrorItems(numbers, codes, skip);
        const int length = format(handle, eventUrl_.data(), eventUrl_.size(), base, values);
        if (length < 0) return false;
        if (static_cast<std::size_t>(length) < eventUrl_.size()) return true;
        if (skip == numbers.size()) return false;  // too long even without error items
        std::size_t excess = static_cast<std::size_t>(length) - (eventUrl_.size() - 1);
        while (skip < numbers.size() && excess > 0) {
            const std::size_t itemLength = EscapedLength(ErrorItem(numbers[skip], codes[skip])) + EscapedLength(",");
            excess -= std::min(excess, itemLength);
            ++skip;
        }
    }
}

void DownloadStats::ReportOutcome(std::int32_t code) {
    if (finalReportSent_.exchange(true)) return;  // one final event per process
    if (FormatFinalEvent(code)) reportClient_.SendFinalHit(eventUrl_.data());
}
