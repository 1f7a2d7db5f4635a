// The metadata document that names the installer to download.
#pragma once

#include <cstdint>
#include <string>

#include "http/http_client.h"

constexpr std::int64_t DefaultPackageSize = 307200;
// Far above any real document; a larger answer is not a document.
constexpr std::size_t kMaxMetadataBytes = 1024 * 1024;

struct InstallerMetadata {
    std::string downloadUrl;
    std::string hash;
    std::int64_t size = 0;
    std::int64_t suggestedPackageSize = DefaultPackageSize;
};

// A hash text the file is checked against: exactly 64 hexadecimal digits, in
// either case, a SHA-256. Any other text is left unchecked.
bool IsSha256Text(const std::string& hash);
// digest (32 bytes) written as the 64 digits of hash, in either case.
bool DigestMatchesText(const std::string& digest, const std::string& hash);

// Bytes between the first opening tag and the first closing tag, both searched
// from the start of the source; empty when either tag is missing.
std::string ExtractElementText(const std::string& source, const char* openTag, const char* closeTag);

// Reads the document into the metadata and the shared progress sizes;
// returns 0, 128 (no size above 0) or 131 (no download URL).
int ParseMetadataDocument(const std::string& document, InstallerMetadata& metadata);

// Requests the document from url and parses it. requestResult receives
// libcurl's code in every case.
int FetchMetadata(HttpClient& client, const std::string& url, InstallerMetadata& metadata, int& requestResult);
