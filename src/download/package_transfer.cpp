#include "download/package_transfer.h"

#include <cctype>
#include <cstring>

#include "download/download_progress.h"
#include "platform/stopwatch.h"
#include "stats/download_stats.h"

namespace {

// One attempt's view of the answer: exactly the requested bytes at the
// requested offset, or the attempt fails.
struct PackageWrite {
    PackageWrite(std::FILE* f, std::int64_t firstByte, std::int64_t lastByte, std::int64_t size)
        : file(f), first(firstByte), last(lastByte), fileSize(size) {}

    std::FILE* file;
    std::int64_t first;
    std::int64_t last;      // inclusive
    std::int64_t fileSize;  // a plain 200 is right only for a range covering the whole file
    std::int64_t received = 0;
    int status = 0;
    std::string contentRange;
    bool judged = false;
    CURLcode rejected = CURLE_OK;

    std::int64_t Length() const { return last - first + 1; }
};

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

// Each response (redirects included) starts with its status line; only the
// last one's headers describe the body.
std::size_t ReadPackageHeader(char* data, std::size_t size, std::size_t count, void* userData) {
    auto* write = static_cast<PackageWrite*>(userData);
    const std::size_t length = size * count;
    if (StartsWithNoCase(data, length, "http/")) {
        const std::string line(data, length);
        const std::size_t space = line.find(' ');
        write->status = space == std::string::npos ? 0 : std::atoi(line.c_str() + space + 1);
        write->contentRange.clear();
    } else if (StartsWithNoCase(data, length, "content-range:")) {
        write->contentRange = Trimmed(data + 14, length - 14);
    }
    return length;
}

bool AnswerMatchesRange(const PackageWrite& write) {
    if (write.status == 200) return write.first == 0 && write.last == write.fileSize - 1;
    if (write.status != 206) return false;
    long long first = -1, last = -1;
    char tail = 0;
    if (std::sscanf(write.contentRange.c_str(), "bytes %lld-%lld%c", &first, &last, &tail) != 3 ||
        tail != '/')
        return false;
    return first == write.first && last == write.last;
}

std::size_t WritePackageData(char* data, std::size_t size, std::size_t count, void* userData) {
    auto* write = static_cast<PackageWrite*>(userData);
    const std::size_t bytes = size * count;
    if (!write->judged) {
        write->judged = true;
        if (!AnswerMatchesRange(*write)) write->rejected = CURLE_RANGE_ERROR;
    }
    if (write->rejected == CURLE_OK && static_cast<std::int64_t>(bytes) > write->Length() - write->received)
        write->rejected = CURLE_RANGE_ERROR;  // more than asked for: never past the package's end
    if (write->rejected != CURLE_OK) return 0;

    const std::size_t written = std::fwrite(data, 1, bytes, write->file);
    write->received += static_cast<std::int64_t>(written);
    Progress().bytesWritten.fetch_add(static_cast<std::int64_t>(written), std::memory_order_relaxed);
    return written;
}

int OnTransferProgress(void* context, double, double, double, double) {
    if (!context) return 1;
    DownloadProgress& p = Progress();
    const std::int64_t total = p.totalSize.load(std::memory_order_relaxed);
    const std::int32_t percent = total == 0
        ? 0
        : static_cast<std::int32_t>(p.bytesWritten.load(std::memory_order_relaxed) * 100 / total);
    if (percent != p.lastPercent.load(std::memory_order_relaxed)) {
        p.lastPercent.store(percent, std::memory_order_relaxed);
        p.publishedElapsedMs.store(DownloadStats::Instance().ElapsedMilliseconds(), std::memory_order_relaxed);
        p.publishedPercent.store(percent, std::memory_order_release);
    }
    return 0;
}

// One attempt at one package; the file is positioned at write.first.
CURLcode FetchPackage(HttpClient& client, const std::string& url, PackageWrite& write, WindowHandle window) {
    const std::string range = FormatRange(write.first, write.last);
    const RangeReceiver receiver{WritePackageData, ReadPackageHeader, &write, OnTransferProgress, window};
    CURLcode code = client.FetchRange(url, range.c_str(), receiver);
    if (code == CURLE_WRITE_ERROR && write.rejected != CURLE_OK) return write.rejected;
    if (code != CURLE_OK) return code;
    if (write.received != write.Length()) return CURLE_PARTIAL_FILE;
    // Hand the package to the OS now, so a full disk fails this package and
    // not a later report of success.
    if (std::fflush(write.file) != 0) return CURLE_WRITE_ERROR;
    return CURLE_OK;
}

}  // namespace

std::string FormatRange(std::int64_t first, std::int64_t last) {
    char range[256];
    std::snprintf(range, sizeof range, "%lld-%lld", static_cast<long long>(first), static_cast<long long>(last));
    return range;
}

int TransferPackages(HttpClient& client, const std::string& url, std::int64_t packageSize,
                     std::FILE* file, WindowHandle window) {
    DownloadProgress& progress = Progress();
    const std::int64_t totalSize = progress.totalSize.load();
    std::int64_t offset = 0;
    std::int32_t packageIndex = 0;
    int attempts = 0;
    bool restart = true;
    Stopwatch packageWatch;

    while (offset < totalSize) {
        client.Renew();  // a new connection for every attempt
        if (restart) packageWatch.Restart();
        restart = true;

        // Written so that a huge package size cannot overflow.
        const std::int64_t packageEnd = packageSize >= totalSize - offset ? totalSize : offset + packageSize;
        PackageWrite write(file, offset, packageEnd - 1, totalSize);
        const CURLcode code = FetchPackage(client, url, write, window);
        if (code != CURLE_OK) {
            ++attempts;
            DownloadStats::Instance().AddError(packageIndex, code);
            if (attempts >= MaxPackageAttempts) return code;
            // The next attempt rewrites the package from its first byte.
            if (!platform::SeekFile(file, offset)) return CURLE_WRITE_ERROR;
            progress.bytesWritten.store(offset, std::memory_order_relaxed);
            restart = false;
            continue;
        }
        offset = packageEnd;
        attempts = 0;
        DownloadStats::Instance().AddPackageTime(packageWatch.ElapsedMilliseconds());
        ++packageIndex;
    }
    return CURLE_OK;
}
