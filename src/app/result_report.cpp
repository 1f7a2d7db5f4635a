#include "app/result_report.h"

#include <cstdio>
#include <limits>

#include "download/download_job.h"
#include "download/download_progress.h"

namespace {
constexpr unsigned kPickupPauseMs = 2863;
constexpr int kPickupRetries = 30;
}  // namespace

platform::PathString ReportPathFromArguments(const std::vector<platform::PathString>& arguments) {
    for (const platform::PathString& argument : arguments) {
        if (argument.empty()) continue;
        const bool isSwitch = argument[0] == '-'
#ifdef _WIN32
                              || argument[0] == '/'
#endif
            ;
        if (!isSwitch) return argument;
    }
    return {};
}

std::string FormatResultReport(const char* status, std::int64_t fileSize, int nameId) {
    return std::string("[tovikdownload]\r\nstatus=") + status + "\r\nfileSize=" + std::to_string(fileSize) +
           "\r\nnameID=" + std::to_string(nameId) + "\r\ninstallAuralo=no";
}

bool WriteResultReport(const platform::PathString& path, bool cancelled) {
    const DownloadProgress& progress = Progress();
    // Verified is enough: the final event's answer decides nothing.
    const bool finished =
        progress.finished.load(std::memory_order_acquire) || progress.verified.load(std::memory_order_acquire);
    const std::int64_t fileSize = finished ? progress.reportedSize.load() : 0;
    const char* status = cancelled ? "cancel" : finished ? "ok" : "fail";
    return WriteReport(path, status, fileSize);
}

bool PrepareReport(const platform::PathString& path) {
    // The longest report there can be: the room the final write may need.
    const std::size_t longest =
        FormatResultReport("cancel", std::numeric_limits<std::int64_t>::min(), std::numeric_limits<int>::min()).size();
    const char* why = nullptr;
    switch (platform::ClaimWholeFile(path, longest)) {
        case platform::Claim::kClaimed: return true;
        case platform::Claim::kNotRegular: why = "\" is not a regular file; no report is written there\n"; break;
        case platform::Claim::kInUse: why = "\" is in use by another run; this one ends\n"; break;
        case platform::Claim::kCannotEmpty:
            why = "\" cannot be emptied, so what it holds is not this run's report; this run ends\n";
            break;
    }
    platform::WriteToStandardError(platform::ProgramName() + ": the report path \"" + platform::PathText(path) + why);
    return false;
}

bool WriteReport(const platform::PathString& path, const char* status, std::int64_t fileSize) {
    // Binary with explicit CR LF: the same bytes on every OS.
    if (!path.empty() && platform::WriteWholeFile(path, FormatResultReport(status, fileSize, GetNameId()))) return true;
    // The caller cannot be told through the report; tell whoever reads stderr.
    platform::WriteToStandardError(platform::ProgramName() + ": the report could not be written to \"" +
                                   platform::PathText(path) + "\"\n");
    return false;
}

void WaitForReportPickup(const platform::PathString& path, const std::function<void(unsigned)>& pause) {
    pause(kPickupPauseMs);
    std::FILE* file = path.empty() ? nullptr : platform::OpenFileForReading(path);
    for (int retry = 0; file && retry < kPickupRetries; ++retry) {
        std::fclose(file);
        pause(kPickupPauseMs);
        file = platform::OpenFileForReading(path);
    }
    if (file) std::fclose(file);
}
