#include "app/result_report.h"

#include <cstdio>

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
    char text[256];
    std::snprintf(text, sizeof text, "[tovikdownload]\r\nstatus=%s\r\nfileSize=%lld\r\nnameID=%d\r\ninstallAuralo=%s",
                  status, static_cast<long long>(fileSize), nameId, "no");
    return text;
}

bool WriteResultReport(const platform::PathString& path, bool cancelled) {
    const DownloadProgress& progress = Progress();
    const bool finished = progress.finished.load(std::memory_order_acquire);
    const std::int64_t fileSize = finished ? progress.reportedSize.load() : 0;
    const char* status = cancelled ? "cancel" : finished ? "ok" : "fail";
    return WriteReport(path, status, fileSize);
}

bool WriteReport(const platform::PathString& path, const char* status, std::int64_t fileSize) {
    // Binary with explicit CR LF: the same bytes on every OS.
    if (!path.empty() && platform::WriteWholeFile(path, FormatResultReport(status, fileSize, GetNameId()))) return true;
    // The caller cannot be told through the report; tell whoever reads stderr.
    std::fprintf(stderr, "%s: the report could not be written to \"%s\"\n", platform::ProgramName().c_str(),
                 platform::PathText(path).c_str());
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
