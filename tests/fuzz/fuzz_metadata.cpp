// The metadata document from arbitrary bytes: never a crash, and a document
// is usable only with a positive size, a download URL and a positive package size.
#include <cstddef>
#include <cstdint>
#include <string>

#include "download/download_progress.h"
#include "download/installer_metadata.h"
#include "stats/download_outcome.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string document(reinterpret_cast<const char*>(data), size);
    DownloadProgress& progress = Progress();
    progress.totalSize = 0;
    progress.reportedSize = 0;
    InstallerMetadata metadata;
    const int outcome = ParseMetadataDocument(document, metadata);
    if (outcome == kOutcomeSuccess) {
        if (metadata.size <= 0 || metadata.downloadUrl.empty() || metadata.suggestedPackageSize <= 0) __builtin_trap();
        if (progress.totalSize.load() != metadata.size || progress.reportedSize.load() != metadata.size)
            __builtin_trap();
    } else if (outcome != kOutcomeFileSizeMissing && outcome != kOutcomeDownloadUrlMissing) {
        __builtin_trap();
    } else if (progress.reportedSize.load() != 0) {
        __builtin_trap();  // only a complete document is reported
    }
    return 0;
}
