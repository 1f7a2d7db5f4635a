// The one download of a run, on the worker thread: metadata, the temporary
// file, the packages, the outcome for the statistics server and the window.
#pragma once

#include <cstdint>

#include "http/http_client.h"
#include "platform/platform.h"

constexpr unsigned kWindowMessageUser = 0x0400;  // WM_USER
// Posted to the window once when the download did not succeed; wParam is a
// libcurl result, 0 for an unusable document, 1 when the file cannot be
// created, 133 when the file does not match the document's SHA-256, or 135
// when it is not signed by the publisher the build pins.
constexpr unsigned WM_DOWNLOAD_FAILED = kWindowMessageUser + 101;

// The number that names the temporary file and appears in the report:
// process id * 10000 + seconds since 1970 modulo 10000, in 32-bit arithmetic,
// computed once per process.
int GetNameId();
int ComputeNameId(std::uint32_t processId, std::int64_t calendarSeconds);

class DownloadJob {
public:
    explicit DownloadJob(WindowHandle window);
    DownloadJob(const DownloadJob&) = delete;
    DownloadJob& operator=(const DownloadJob&) = delete;

    // 0 when the file has been transferred, 1 otherwise.
    int Run();

private:
    WindowHandle window_;
    HttpClient metadataClient_;
    HttpClient packageClient_;
};

// The worker thread's start routine.
unsigned DownloadThreadProc(WindowHandle window);
