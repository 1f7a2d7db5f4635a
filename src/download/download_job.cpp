#include "download/download_job.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <vector>

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

namespace {

std::string LowerCase(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// Where a kept partial download of this release goes on: its bytes up to the
// last whole package (all of them when the file is whole), hashed, the rest
// cut off. Anything longer than the file, or unreadable, is emptied and starts
// from 0; -1 when it cannot even be emptied.
std::int64_t ResumePoint(std::FILE* file, std::int64_t size, std::int64_t packageSize, BackgroundDigest& digest) {
    const std::int64_t length = platform::FileLength(file);
    std::int64_t kept = length < 0 || length > size ? 0 : length == size ? size : length / packageSize * packageSize;
    bool whole = platform::TruncateFile(file, kept) && platform::SeekFile(file, 0);
    std::vector<char> block(65536);
    for (std::int64_t read = 0; whole && read < kept;) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(block.size(), kept - read));
        whole = std::fread(block.data(), 1, want, file) == want;
        if (whole) digest.Add(block.data(), want);
        read += static_cast<std::int64_t>(want);
    }
    if (whole && platform::SeekFile(file, kept)) {
        digest.Commit();
        return kept;
    }
    digest.Rollback();
    return platform::TruncateFile(file, 0) ? 0 : -1;
}

}  // namespace

int GetNameId() {
    static const int nameId = ComputeNameId(platform::ProcessId(), platform::CalendarSeconds());
    return nameId;
}

DownloadJob::DownloadJob(WindowHandle window) : window_(window) {
    Progress().verified.store(false, std::memory_order_relaxed);
    Progress().finished.store(false, std::memory_order_relaxed);
    Progress().holdBelowFull.store(false, std::memory_order_relaxed);
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

    // Where the document names a SHA-256, the download is kept under a name
    // of that release until it is verified, so that a run that does not end
    // well leaves its bytes to the next; anything unusable at that name makes
    // the run download under its own name, from byte 0, as without a hash.
    const bool hashed = IsSha256Text(metadata.hash);
    const platform::PathString handedOver = platform::TempInstallerPath(GetNameId());
    platform::PathString path = handedOver;
    std::FILE* file = nullptr;
    if (hashed) {
        const platform::PathString partial = platform::TempPartialPath(LowerCase(metadata.hash));
        if (!partial.empty()) {
            platform::RemoveOtherPartials(partial);
            file = platform::OpenPartialFile(partial);
            if (file) path = partial;
        }
    }
    const bool keeping = file != nullptr;
    if (!file && !handedOver.empty()) file = platform::CreateFileForWriting(handedOver);
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
    if (hashed) digest.emplace();
    const std::int64_t resumedFrom =
        keeping ? ResumePoint(file, metadata.size, metadata.suggestedPackageSize, *digest) : 0;
    if (resumedFrom < 0) {  // a kept file that can be neither read nor emptied
        std::fclose(file);
        stats.ReportOutcome(CURLE_WRITE_ERROR);
        platform::PostWindowMessage(window_, WM_DOWNLOAD_FAILED, CURLE_WRITE_ERROR);
        return 1;
    }
    stats.SetResumedFrom(resumedFrom);
    Progress().holdBelowFull.store(resumedFrom > 0, std::memory_order_relaxed);
    // Kept bytes that do not verify are thrown away, and the file is
    // downloaded again from byte 0, once; only that one's mismatch is 133.
    int code = CURLE_OK;
    for (std::int64_t from = resumedFrom;; from = 0) {
        code = TransferPackages(packageClient_, metadata.downloadUrl, metadata.size, metadata.suggestedPackageSize,
                                from, file, window_, digest ? &*digest : nullptr);
        if (code != CURLE_OK || !digest || DigestMatchesText(digest->Finish(), metadata.hash)) break;
        code = kOutcomeHashMismatch;
        if (from == 0) break;
        stats.SetResumedFrom(0);
        digest.emplace();
        if (!platform::TruncateFile(file, 0)) {
            code = CURLE_WRITE_ERROR;
            break;
        }
    }
    // A run the window has ended is not handed over, whatever arrived.
    if (code == CURLE_OK && Progress().cancelled.load(std::memory_order_relaxed)) code = CURLE_ABORTED_BY_CALLBACK;
    // Data the OS refused at close, or a verified file that cannot take its
    // name, is a failed download, not a finished one, recorded against the last package.
    const bool closed =
        keeping && code == CURLE_OK ? platform::CloseAndRename(file, path, handedOver) : std::fclose(file) == 0;
    if (!closed && code == CURLE_OK) {
        code = CURLE_WRITE_ERROR;
        stats.AddError(static_cast<std::int32_t>(stats.PackageNumber()) - 1, code);
    }
    if (closed && keeping && code == CURLE_OK) path = handedOver;
    // A build that pins the publisher hands over only what that publisher signed.
    if (code == CURLE_OK && *TOVIK_INSTALLER_PUBLISHER && !platform::SignedByPublisher(path, TOVIK_INSTALLER_PUBLISHER))
        code = kOutcomeSignatureUntrusted;
    // A partial that verified nothing wrong stays for the next run; every
    // other file of a run that did not succeed goes.
    if (code != CURLE_OK && (!keeping || code == kOutcomeHashMismatch || code == kOutcomeSignatureUntrusted))
        platform::RemoveFile(path);
    if (code != CURLE_OK) {
        stats.ReportOutcome(code);
        platform::PostWindowMessage(window_, WM_DOWNLOAD_FAILED, static_cast<unsigned>(code));
        return 1;
    }

    Progress().holdBelowFull.store(false, std::memory_order_relaxed);
    PublishProgress();
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
