#include "download/download_job.h"

#include <cstdio>
#include <optional>

#include "build_config.h"
#include "download/download_progress.h"
#include "download/installer_metadata.h"
#include "download/package_transfer.h"
#include "http/endpoints.h"
#include "stats/download_outcome.h"
#include "stats/download_stats.h"

int ComputeNameId(std::uint32_t processId, std::int64_t calendarSeconds) {
    // 32-bit arithmetic: large process ids wrap around.
    const std::uint32_t seconds = static_cast<std::uint32_t>(calendarSeconds % 10000);
    return static_cast<int>(processId * 10000u + seconds);
}

int GetNameId() {
    static const int nameId = ComputeNameId(platform::ProcessId(), platform::CalendarSeconds());
    return nameId;
}

DownloadJob::DownloadJob(WindowHandle window) : window_(window) {
    Progress().verified.store(false, std::memory_order_relaxed);
    Progress().finished.store(false, std::memory_order_relaxed);
}

int DownloadJob::Run() {
    if (!window_ || !packageClient_.HasHandle()) return 1;

    InstallerMetadata metadata;
    int requestResult = 0;
    const int outcome = FetchMetadata(metadataClient_, CurrentEndpoints().metadataUrl, metadata, requestResult);
    if (outcome != kOutcomeSuccess) {
        // Creates the record if needed: download-started goes out before the failure.
        DownloadStats::Instance().ReportOutcome(outcome);
        platform::PostWindowMessage(window_, WM_DOWNLOAD_FAILED, static_cast<unsigned>(requestResult));
        return 1;
    }

    const platform::PathString path = platform::TempInstallerPath(GetNameId());
    std::FILE* file = path.empty() ? nullptr : platform::CreateFileForWriting(path);
    if (!file) {
        platform::PostWindowMessage(window_, WM_DOWNLOAD_FAILED, 1);
        return 1;
    }

    // libcurl hands over up to 16 KB at a time: without a stream buffer, a
    // failed write (a full disk) leaves nothing behind that the next
    // attempt's seek would have to flush first.
    std::setvbuf(file, nullptr, _IONBF, 0);

    // The first use of the record creates it, which sends download-started
    // before the first package.
    DownloadStats& stats = DownloadStats::Instance();
    stats.SetUrl(metadata.downloadUrl);

    // A SHA-256 in the document is checked: bytes that are not the published
    // installer must never be handed over as it.
    std::optional<BackgroundDigest> digest;
    if (IsSha256Text(metadata.hash)) digest.emplace();
    int code = TransferPackages(packageClient_, metadata.downloadUrl, metadata.size, metadata.suggestedPackageSize,
                                file, window_, digest ? &*digest : nullptr);
    // Data the OS refused at close is a failed download, not a finished one,
    // recorded against the last package.
    if (std::fclose(file) != 0 && code == CURLE_OK) {
        code = CURLE_WRITE_ERROR;
        stats.AddError(static_cast<std::int32_t>(stats.PackageNumber()) - 1, code);
    }
    if (code == CURLE_OK && digest && !DigestMatchesText(digest->Finish(), metadata.hash)) code = kOutcomeHashMismatch;
    // A build that pins the publisher hands over only what that publisher signed.
    if (code == CURLE_OK && *TOVIK_INSTALLER_PUBLISHER && !platform::SignedByPublisher(path, TOVIK_INSTALLER_PUBLISHER))
        code = kOutcomeSignatureUntrusted;
    if (code == kOutcomeHashMismatch || code == kOutcomeSignatureUntrusted) platform::RemoveFile(path);
    if (code != CURLE_OK) {
        stats.ReportOutcome(code);
        platform::PostWindowMessage(window_, WM_DOWNLOAD_FAILED, static_cast<unsigned>(code));
        return 1;
    }

    Progress().verified.store(true, std::memory_order_release);
    stats.ReportOutcome(kOutcomeSuccess);
    Progress().finished.store(true, std::memory_order_release);
    return 0;
}

unsigned DownloadThreadProc(WindowHandle window) {
    DownloadJob job(window);
    job.Run();
    return 0;
}
