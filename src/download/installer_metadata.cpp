#include "download/installer_metadata.h"

#include <cctype>
#include <cstdlib>

#include "download/download_progress.h"
#include "stats/download_outcome.h"

namespace {

// Collects the response body; refusing more than the cap fails the transfer.
std::size_t AppendMetadataResponse(char* data, std::size_t size, std::size_t count, void* userData) {
    auto* response = static_cast<std::string*>(userData);
    const std::size_t bytes = size * count;
    if (response->size() + bytes > kMaxMetadataBytes) {
        response->clear();  // what arrived so far is no document either
        return 0;
    }
    response->append(data, bytes);
    return bytes;
}

// sscanf "%lld", which reads as strtoll does: leading space skipped, optional
// sign, digits up to the first other byte, out-of-range values clamped; false
// for text without a leading number. (strtoll itself keeps a scanf engine of
// 30 KiB out of the Windows exe.)
bool ScanNumber(const std::string& text, std::int64_t& value) {
    char* end = nullptr;
    const long long scanned = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str()) return false;
    value = scanned;
    return true;
}

}  // namespace

bool IsSha256Text(const std::string& hash) {
    if (hash.size() != 64) return false;
    for (const char c : hash)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

bool DigestMatchesText(const std::string& digest, const std::string& hash) {
    static const char kDigits[] = "0123456789abcdef";
    if (digest.size() != 32 || !IsSha256Text(hash)) return false;
    for (std::size_t i = 0; i < digest.size(); ++i) {
        const auto byte = static_cast<unsigned char>(digest[i]);
        if (std::tolower(static_cast<unsigned char>(hash[2 * i])) != kDigits[byte >> 4] ||
            std::tolower(static_cast<unsigned char>(hash[2 * i + 1])) != kDigits[byte & 15])
            return false;
    }
    return true;
}

std::string ExtractElementText(const std::string& source, const char* openTag, const char* closeTag) {
    const std::size_t open = source.find(openTag);
    if (open == std::string::npos) return {};
    const std::size_t valueStart = open + std::char_traits<char>::length(openTag);
    const std::size_t close = source.find(closeTag);
    if (close == std::string::npos) return {};
    if (close < valueStart) return source.substr(valueStart);
    return source.substr(valueStart, close - valueStart);
}

int ParseMetadataDocument(const std::string& document, InstallerMetadata& metadata) {
    DownloadProgress& progress = Progress();

    // No real installer is empty: a size that is no positive number makes the
    // document as unusable as a missing one.
    std::int64_t size = 0;
    if (!ScanNumber(ExtractElementText(document, "<size>", "</size>"), size) || size <= 0)
        return kOutcomeFileSizeMissing;
    progress.totalSize.store(size);
    metadata.size = size;

    metadata.hash = ExtractElementText(document, "<hash>", "</hash>");

    metadata.downloadUrl = ExtractElementText(document, "<downloadUrl>", "</downloadUrl>");
    if (metadata.downloadUrl.empty()) return kOutcomeDownloadUrlMissing;

    metadata.suggestedPackageSize = DefaultPackageSize;
    const std::string packageText = ExtractElementText(document, "<suggestedPackageSize>", "</suggestedPackageSize>");
    if (!packageText.empty()) ScanNumber(packageText, metadata.suggestedPackageSize);
    // A package of 0 bytes or less would never advance the download.
    if (metadata.suggestedPackageSize <= 0) metadata.suggestedPackageSize = DefaultPackageSize;

    progress.reportedSize.store(size);
    return kOutcomeSuccess;
}

int FetchMetadata(HttpClient& client, const std::string& url, InstallerMetadata& metadata, int& requestResult) {
    std::string response;
    requestResult = client.FetchDocument(url, AppendMetadataResponse, &response);
    // A transfer that failed part-way leaves no document, only what it cut off.
    if (requestResult != CURLE_OK) response.clear();
    return ParseMetadataDocument(response, metadata);
}
