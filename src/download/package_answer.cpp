#include "download/package_answer.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "download/download_progress.h"

namespace {

bool StartsWithNoCase(const char* text, std::size_t length, const char* prefix) {
    const std::size_t n = std::strlen(prefix);
    if (length < n) return false;
    for (std::size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
    return true;
}

std::string Trimmed(const char* text, std::size_t length) {
    std::size_t begin = 0, end = length;
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    return std::string(text + begin, end - begin);
}

// "bytes FIRST-LAST/..." read as sscanf's "bytes %lld-%lld%c" with '/' for %c,
// each number as strtoll reads it (space before it skipped).
bool ScanContentRange(const char* text, long long& first, long long& last) {
    if (std::strncmp(text, "bytes", 5) != 0) return false;
    const char* start = text + 5;
    char* end = nullptr;
    first = std::strtoll(start, &end, 10);
    if (end == start || *end != '-') return false;
    start = end + 1;
    last = std::strtoll(start, &end, 10);
    return end != start && *end == '/';
}

bool AnswerMatchesRange(const PackageAnswer& answer) {
    if (answer.status == 200) return answer.first == 0 && answer.last == answer.fileSize - 1;
    if (answer.status != 206) return false;
    long long first = -1, last = -1;
    if (!ScanContentRange(answer.contentRange.c_str(), first, last)) return false;
    return first == answer.first && last == answer.last;
}

}  // namespace

bool IsHttpsUrl(const std::string& url) { return StartsWithNoCase(url.c_str(), url.size(), "https:"); }

// Each response (redirects included) starts with its status line; only the
// last one's headers describe the body.
std::size_t ReadPackageHeader(char* data, std::size_t size, std::size_t count, void* userData) {
    auto* answer = static_cast<PackageAnswer*>(userData);
    const std::size_t length = size * count;
    if (StartsWithNoCase(data, length, "http/")) {
        const std::string line(data, length);
        const std::size_t space = line.find(' ');
        answer->status = space == std::string::npos ? 0 : std::atoi(line.c_str() + space + 1);
        answer->contentRange.clear();
    } else if (StartsWithNoCase(data, length, "content-range:")) {
        answer->contentRange = Trimmed(data + 14, length - 14);
    } else if (answer->status / 100 == 3 && StartsWithNoCase(data, length, "location:")) {
        // A relative location keeps the scheme; libcurl follows only 3xx.
        const std::string location = Trimmed(data + 9, length - 9);
        if (StartsWithNoCase(location.c_str(), location.size(), "https:")) {
            answer->secure = true;
        } else if (answer->secure && StartsWithNoCase(location.c_str(), location.size(), "http:")) {
            answer->rejected = CURLE_UNSUPPORTED_PROTOCOL;
            return 0;
        }
    }
    return length;
}

std::size_t WritePackageData(char* data, std::size_t size, std::size_t count, void* userData) {
    auto* answer = static_cast<PackageAnswer*>(userData);
    const std::size_t bytes = size * count;
    if (!answer->judged) {
        answer->judged = true;
        if (!AnswerMatchesRange(*answer)) answer->rejected = CURLE_RANGE_ERROR;
    }
    if (answer->rejected == CURLE_OK && static_cast<std::int64_t>(bytes) > answer->Length() - answer->received)
        answer->rejected = CURLE_RANGE_ERROR;  // more than asked for: never past the package's end
    if (answer->rejected != CURLE_OK) return 0;

    const std::size_t written = std::fwrite(data, 1, bytes, answer->file);
    if (answer->digest) answer->digest->Add(data, written);
    answer->received += static_cast<std::int64_t>(written);
    Progress().bytesWritten.fetch_add(static_cast<std::int64_t>(written), std::memory_order_relaxed);
    return written;
}

CURLcode JudgePackageAnswer(const PackageAnswer& answer, CURLcode transferCode) {
    if (transferCode == CURLE_WRITE_ERROR && answer.rejected != CURLE_OK) return answer.rejected;
    if (transferCode != CURLE_OK) return transferCode;
    if (answer.received != answer.Length()) return CURLE_PARTIAL_FILE;
    // Hand the package to the OS now, so a full disk fails this package and
    // not a later report of success.
    if (std::fflush(answer.file) != 0) return CURLE_WRITE_ERROR;
    return CURLE_OK;
}
