// Whole downloads by DownloadJob against scripted servers on loopback: the
// metadata server, the file server and the statistics server. Each test runs
// in its own process with its own temporary folder.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <thread>
#include <tuple>

#include "download/download_job.h"
#include "download/download_progress.h"
#include "download/package_transfer.h"
#include "http/endpoints.h"
#include "stats/download_stats.h"
#include "support/recording_window.h"
#include "support/scripted_server.h"
#include "support/test_helpers.h"

namespace {

using FileHandler = std::function<ScriptedReply(const ScriptedRequest&, int index)>;

// Three scripted servers, a temporary folder and a window that records.
struct DownloadRun {
    explicit DownloadRun(std::string metadataDocument, FileHandler files = nullptr, FileHandler statsHandler = nullptr,
                         FileHandler metadataHandler = nullptr)
        : document(std::move(metadataDocument)),
          fileServer(files ? files : [](const ScriptedRequest&, int) { return ScriptedReply::Status(404); }),
          metadataServer(metadataHandler
                             ? metadataHandler
                             : [this](const ScriptedRequest&, int) { return ScriptedReply::Status(200, Document()); }),
          statsServer(statsHandler ? statsHandler
                                   : [](const ScriptedRequest&, int) { return ScriptedReply::Status(204); }) {
        char folder[] = "/tmp/tovik-test-XXXXXX";
        tempFolder = ::mkdtemp(folder);
        ::setenv("TMPDIR", tempFolder.c_str(), 1);
        UseEndpoints({metadataServer.Url("/downloader/installer-metadata/windows"), statsServer.Url("")});
        UseRetryPauses({5, 10, 20, 40});  // the order and codes of attempts matter here, not their pace
    }
    ~DownloadRun() { std::system(("rm -rf " + tempFolder).c_str()); }

    // The document may name the file server: "FILES" stands for its address.
    std::string Document() const {
        std::string text = document;
        const std::size_t at = text.find("FILES");
        if (at != std::string::npos) text.replace(at, 5, fileServer.Url(""));
        return text;
    }

    int Run() {
        DownloadJob job(&window);
        return job.Run();
    }

    std::string FilePath() const { return tempFolder + "/toviksetup" + std::to_string(GetNameId()) + ".tmp"; }
    // Where a download of the release with this SHA-256 is kept until verified.
    std::string PartialPath(const std::string& hash) const { return tempFolder + "/toviksetup-" + hash + ".part"; }

    std::vector<std::string> Events() const {
        std::vector<std::string> events;
        for (const ScriptedRequest& r : statsServer.Requests()) events.push_back(r.target);
        return events;
    }

    std::vector<std::string> Ranges() const {
        std::vector<std::string> ranges;
        for (const ScriptedRequest& r : fileServer.Requests()) ranges.push_back(r.Header("range"));
        return ranges;
    }

    std::string document;
    std::string tempFolder;
    ScriptedServer fileServer;
    ScriptedServer metadataServer;
    ScriptedServer statsServer;
    RecordingWindow window;
};

std::string Metadata(long long size, long long packageSize = 0, const std::string& url = "FILES/installer.bin",
                     const std::string& hash = "cafe") {
    std::string doc = "<installer><downloadUrl>" + url + "</downloadUrl><size>" + std::to_string(size) +
                      "</size><hash>" + hash + "</hash>";
    if (packageSize > 0) doc += "<suggestedPackageSize>" + std::to_string(packageSize) + "</suggestedPackageSize>";
    return doc + "</installer>";
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The descriptor of this process that points at the file (removed or not), or -1.
int DescriptorOf(const std::string& path) {
    std::error_code ignored;  // sockets and pipes are no files
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd"))
        if (std::filesystem::read_symlink(fd.path(), ignored).string().rfind(path, 0) == 0)
            return std::stoi(fd.path().filename());
    return -1;
}

// A table row's name as a test name: letters and digits kept, the rest '_'.
std::string CaseName(const char* name) {
    std::string text;
    for (const char* p = name; *p; ++p) text += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return text;
}

constexpr unsigned long kNoMessage = ~0ul;

struct FaultCase {
    const char* name;
    std::size_t size;
    long long packageSize;
    std::function<ScriptedReply(const std::string& content, const ScriptedRequest&, int index)> files;
    unsigned long failure;        // wParam of WM_DOWNLOAD_FAILED, or kNoMessage for a finished download
    std::vector<int> errorCodes;  // one per failed attempt, in order
    int errorPackage;             // the package they all belong to
    int fileRequests;             // -1: not checked
};

ScriptedReply Ok(const std::string& content, const ScriptedRequest& request, int) {
    return ServeRange(content, request);
}

ScriptedReply Always(int status) { return ScriptedReply::Status(status, "<html>error page</html>"); }

const FaultCase kFaults[] = {
    {"ranges served", 1000000, 307200, Ok, kNoMessage, {}, 0, 4},
    {"404 on a package", 1000, 0, [](auto&, auto&, int) { return Always(404); }, 22, {22, 22, 22, 22, 22}, 0, 5},
    {"416 on a package", 1000, 0, [](auto&, auto&, int) { return Always(416); }, 22, {22, 22, 22, 22, 22}, 0, 5},
    {"500 on a package", 1000, 0, [](auto&, auto&, int) { return Always(500); }, 22, {22, 22, 22, 22, 22}, 0, 5},
    {"four failures then success",
     700,
     300,
     [](auto& c, auto& r, int i) { return i >= 1 && i <= 4 ? Always(503) : ServeRange(c, r); },
     kNoMessage,
     {22, 22, 22, 22},
     1,
     7},
    {"body shorter than its length",
     1000,
     0,
     [](auto& c, auto& r, int) {
         ScriptedReply reply = ServeRange(c, r);
         reply.sendBodyBytes = 400;
         return reply;
     },
     18,
     {18, 18, 18, 18, 18},
     0,
     5},
    {"connection closed without answer",
     1000,
     0,
     [](auto&, auto&, int) { return ScriptedReply::Close(); },
     52,
     {52, 52, 52, 52, 52},
     0,
     5},
    {"200 with the whole file for a partial range",
     1000,
     300,
     [](auto& c, auto&, int) { return ScriptedReply::Status(200, c); },
     33,
     {33, 33, 33, 33, 33},
     0,
     5},
    {"200 for a range that is the whole file",
     1000,
     5000,
     [](auto& c, auto&, int) { return ScriptedReply::Status(200, c); },
     kNoMessage,
     {},
     0,
     1},
    {"200 with a larger file for the whole range",
     1000,
     5000,
     [](auto& c, auto&, int) { return ScriptedReply::Status(200, c + "tail"); },
     33,
     {33, 33, 33, 33, 33},
     0,
     5},
    {"Content-Range with the right end but another start",
     1000,
     300,
     [](auto& c, auto& r, int i) {
         if (i != 1) return ServeRange(c, r);
         return ScriptedReply::Status(206, c.substr(0, 300), "Content-Range: bytes 0-599/1000\r\n");
     },
     kNoMessage,
     {33},
     1,
     5},
    {"Content-Range with the right start but another end",
     1000,
     300,
     [](auto& c, auto& r, int i) {
         if (i != 1) return ServeRange(c, r);
         return ScriptedReply::Status(206, c.substr(300, 300), "Content-Range: bytes 300-999/1000\r\n");
     },
     kNoMessage,
     {33},
     1,
     5},
    {"second package refused",  // partway: 300 of 700 bytes is 42 %, never rounded up
     700,
     300,
     [](auto& c, auto& r, int i) { return i == 0 ? ServeRange(c, r) : Always(404); },
     22,
     {22, 22, 22, 22, 22},
     1,
     6},
    {"206 without Content-Range",
     1000,
     0,
     [](auto& c, auto&, int) { return ScriptedReply::Status(206, c); },
     33,
     {33, 33, 33, 33, 33},
     0,
     5},
    {"more bytes than the range",
     1000,
     300,
     [](auto& c, auto& r, int i) {
         ScriptedReply reply = ServeRange(c, r);
         if (i == 0) reply = ScriptedReply::Status(206, c.substr(0, 600), "Content-Range: bytes 0-299/1000\r\n");
         return reply;
     },
     kNoMessage,
     {33},
     0,
     5},
    {"redirected download URL",
     1000,
     300,
     [](auto& c, auto& r, int) {
         return r.target == "/installer.bin" ? ScriptedReply::Redirect("/mirror/installer.bin") : ServeRange(c, r);
     },
     kNoMessage,
     {},
     0,
     8},
    {"redirect loop",
     1000,
     0,
     [](auto&, auto&, int) { return ScriptedReply::Redirect("/again"); },
     47,
     {47, 47, 47, 47, 47},
     0,
     5 * 21},
    {"redirect to a local file",
     1000,
     0,
     [](auto&, auto&, int) { return ScriptedReply::Redirect("file:///etc/hostname"); },
     1,
     {1, 1, 1, 1, 1},
     0,
     5},
    {"redirect to ftp",
     1000,
     0,
     [](auto&, auto&, int) { return ScriptedReply::Redirect("ftp://127.0.0.1/x"); },
     1,
     {1, 1, 1, 1, 1},
     0,
     5},
    {"stall under the low-speed limit once",
     1000,
     0,
     [](auto& c, auto& r, int i) {
         ScriptedReply reply = ServeRange(c, r);
         if (i == 0) reply.stallAfterHeadMs = 13000;
         return reply;
     },
     kNoMessage,
     {28},
     0,
     2},
};

void PrintTo(const FaultCase& fault, std::ostream* out) { *out << fault.name; }

class PackageFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(PackageFaults, EndAsTheyShould) {
    const FaultCase& fault = GetParam();
    const std::string content = PatternContent(fault.size);
    DownloadRun run(Metadata(static_cast<long long>(fault.size), fault.packageSize),
                    [&](const ScriptedRequest& r, int i) { return fault.files(content, r, i); });
    const int result = run.Run();

    const auto messages = run.window.Messages();
    const std::vector<std::string> events = run.Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_TRUE(Contains(events[0], "/download-started?"));
    // Each failed attempt is one error item, in order, with its package's index.
    std::string errors = "%5B";
    for (std::size_t i = 0; i < fault.errorCodes.size(); ++i)
        errors += std::string(i ? "%2C" : "") + "%7B%22number%22%3A" + std::to_string(fault.errorPackage) +
                  "%2C%22errCode%22%3A" + std::to_string(fault.errorCodes[i]) + "%7D";
    EXPECT_TRUE(
        Contains(events[1], "&errorCount=" + std::to_string(fault.errorCodes.size()) + "&errors=" + errors + "%5D&"))
        << events[1];
    if (fault.fileRequests >= 0) {
        EXPECT_EQ(static_cast<int>(run.fileServer.Requests().size()), fault.fileRequests);
    }

    if (fault.failure == kNoMessage) {
        EXPECT_EQ(result, 0);
        EXPECT_TRUE(messages.empty());
        EXPECT_TRUE(Progress().finished.load());
        EXPECT_EQ(ReadWholeFile(run.FilePath()), content);
        EXPECT_TRUE(Contains(events[1], "/download-succeeded?"));
        EXPECT_EQ(Progress().publishedPercent.load(), 100);
    } else {
        EXPECT_EQ(result, 1);
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0].first, WM_DOWNLOAD_FAILED);
        EXPECT_EQ(messages[0].second, fault.failure);
        EXPECT_FALSE(Progress().finished.load());
        EXPECT_TRUE(Contains(events[1], "/download-failed?"));
        EXPECT_TRUE(Contains(events[1], "&errorCode=" + std::to_string(fault.failure) + "&errorMsg=Curl%20error.&"));
        // Bytes no hash ties to the release cannot be resumed: they go. The bar
        // stood within the failing package.
        EXPECT_NE(::access(run.FilePath().c_str(), F_OK), 0);
        const long long packageSize = fault.packageSize > 0 ? fault.packageSize : 307200;
        const long long failedAt = fault.errorPackage * packageSize;
        const long long size = static_cast<long long>(fault.size);
        EXPECT_GE(Progress().publishedPercent.load(), failedAt * 100 / size);
        EXPECT_LE(Progress().publishedPercent.load(), std::min(failedAt + packageSize, size) * 100 / size);
        EXPECT_EQ(DescriptorOf(run.FilePath()), -1) << "the installer file is closed on every way out";
    }
}

INSTANTIATE_TEST_SUITE_P(Matrix, PackageFaults, ::testing::ValuesIn(kFaults), [](const auto& info) {
    std::string name;
    for (const char* p = info.param.name; *p; ++p)
        if (std::isalnum(static_cast<unsigned char>(*p)))
            name += *p;
        else if (*p == ' ')
            name += '_';
    return name;
});

// The document's SHA-256: checked only where it is 64 hexadecimal digits, and
// a mismatch is outcome 133 with the file gone.
std::string Sha256Text(const std::string& bytes, bool upper) {
    platform::Sha256 digest;
    digest.Add(bytes.data(), bytes.size());
    std::string hex;
    for (const char byte : digest.Digest()) {
        char pair[3];
        std::snprintf(pair, sizeof pair, upper ? "%02X" : "%02x", static_cast<unsigned char>(byte));
        hex += pair;
    }
    return hex;
}

struct HashCase {
    const char* name;
    std::function<std::string(const std::string& content)> hash;
    bool servesOtherBytes;  // a file of the same size that is not the published one
    unsigned long failure;  // kNoMessage for a finished download
};

void PrintTo(const HashCase& c, std::ostream* out) { *out << c.name; }

const HashCase kHashCases[] = {
    {"lower case", [](auto& c) { return Sha256Text(c, false); }, false, kNoMessage},
    {"upper case", [](auto& c) { return Sha256Text(c, true); }, false, kNoMessage},
    {"other bytes of the same size", [](auto& c) { return Sha256Text(c, false); }, true, 133},
    {"40 digits are not checked", [](auto&) { return std::string(40, 'a'); }, true, kNoMessage},
    {"64 characters not all digits are not checked", [](auto&) { return std::string(63, 'a') + "g"; }, true,
     kNoMessage},
};

class HashChecks : public ::testing::TestWithParam<HashCase> {};

TEST_P(HashChecks, HandOverOnlyThePublishedBytes) {
    const HashCase& c = GetParam();
    const std::string content = PatternContent(1000);
    const std::string served = c.servesOtherBytes ? PatternContent(1001).substr(1) : content;
    DownloadRun run("<installer><downloadUrl>FILES/i</downloadUrl><size>1000</size><hash>" + c.hash(content) +
                        "</hash><suggestedPackageSize>300</suggestedPackageSize></installer>",
                    [&](const ScriptedRequest& r, int i) {
                        ScriptedReply reply = ServeRange(served, r);
                        if (i == 1) reply.sendBodyBytes = 120;  // a failed attempt's bytes are never hashed
                        return reply;
                    });
    const int result = run.Run();
    const std::vector<std::string> events = run.Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_TRUE(Contains(events[1], "&errorCount=1&")) << events[1];
    EXPECT_TRUE(Contains(events[1], "&packageNumber=4&")) << events[1];
    if (c.failure == kNoMessage) {
        EXPECT_EQ(result, 0);
        EXPECT_TRUE(run.window.Messages().empty());
        EXPECT_EQ(ReadWholeFile(run.FilePath()), served);
        EXPECT_TRUE(Contains(events[1], "/download-succeeded?")) << events[1];
    } else {
        EXPECT_EQ(result, 1);
        EXPECT_EQ(run.window.Messages(), (std::vector<std::pair<unsigned, std::uintptr_t>>{{WM_DOWNLOAD_FAILED, 133}}));
        EXPECT_FALSE(Progress().finished.load());
        EXPECT_NE(::access(run.FilePath().c_str(), F_OK), 0) << "a file that is not the installer is removed";
        EXPECT_TRUE(Contains(events[1], "/download-failed?")) << events[1];
        EXPECT_TRUE(Contains(events[1],
                             "&errorCode=133&errorMsg=Downloaded%20file%20does%20not%20match%20metadata"
                             "%20hash&"))
            << events[1];
    }
}

INSTANTIATE_TEST_SUITE_P(Sha256, HashChecks, ::testing::ValuesIn(kHashCases),
                         [](const auto& info) { return CaseName(info.param.name); });

// A download of a release whose SHA-256 is known is kept under that hash
// until verified; the next run goes on from the last whole package it holds.
struct ResumeCase {
    const char* name;
    // Puts what an earlier run left in the folder; content is the release's bytes.
    std::function<void(const std::string& folder, const std::string& partial, const std::string& content)> leave;
    bool serveOtherBytes;    // a file on the server that is not the published one
    unsigned long failure;   // kNoMessage for a finished download
    std::string firstRange;  // of this run's requests; "" for none
    int fileRequests;
    const char* resumedFrom;  // the final event's key, or nullptr for none
    bool partialLeft;
};

void PrintTo(const ResumeCase& c, std::ostream* out) { *out << c.name; }

void Leave(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

const ResumeCase kResumeCases[] = {
    {"cut at a package boundary", [](auto&, auto& p, auto& c) { Leave(p, c.substr(0, 600)); }, false, kNoMessage,
     "bytes=600-899", 2, "&resumedFrom=600", false},
    {"cut inside a package", [](auto&, auto& p, auto& c) { Leave(p, c.substr(0, 750)); }, false, kNoMessage,
     "bytes=600-899", 2, "&resumedFrom=600", false},
    {"whole and right: handed over without a request", [](auto&, auto& p, auto& c) { Leave(p, c); }, false, kNoMessage,
     "", 0, "&resumedFrom=1000", false},
    {"a flipped byte: fetched again from 0, once",
     [](auto&, auto& p, auto& c) { Leave(p, c.substr(0, 10) + char(c[10] ^ 1) + c.substr(11, 589)); }, false,
     kNoMessage, "bytes=600-899", 2 + 4, nullptr, false},
    {"longer than the file", [](auto&, auto& p, auto& c) { Leave(p, c + "tail"); }, false, kNoMessage, "bytes=0-299", 4,
     nullptr, false},
    {"another release's partial goes",
     [](auto& folder, auto&, auto& c) { Leave(folder + "/toviksetup-" + std::string(64, 'b') + ".part", c); }, false,
     kNoMessage, "bytes=0-299", 4, nullptr, false},
    {"a mismatch again from 0 is 133 and nothing is kept", [](auto&, auto& p, auto& c) { Leave(p, c.substr(0, 600)); },
     true, 133, "bytes=600-899", 2 + 4, nullptr, false},
};

class Resume : public ::testing::TestWithParam<ResumeCase> {};

TEST_P(Resume, GoesOnFromWhatAnEarlierRunKept) {
    const ResumeCase& c = GetParam();
    const std::string content = PatternContent(1000);
    const std::string served = c.serveOtherBytes ? PatternContent(1001).substr(1) : content;
    const std::string hash = Sha256Text(content, false);
    DownloadRun run(Metadata(1000, 300, "FILES/i", hash),
                    [&](const ScriptedRequest& r, int) { return ServeRange(served, r); });
    const std::string partial = run.PartialPath(hash);
    c.leave(run.tempFolder, partial, content);
    const int result = run.Run();

    const std::vector<std::string> ranges = run.Ranges();
    EXPECT_EQ(static_cast<int>(ranges.size()), c.fileRequests);
    EXPECT_EQ(ranges.empty() ? "" : ranges[0], c.firstRange);
    const std::vector<std::string> events = run.Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(c.resumedFrom ? Contains(events[1], c.resumedFrom) : !Contains(events[1], "resumedFrom"), true)
        << events[1];
    EXPECT_EQ(::access(partial.c_str(), F_OK) == 0, c.partialLeft);
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(run.tempFolder))
        left.push_back(entry.path().filename().string());
    if (c.failure == kNoMessage) {
        EXPECT_EQ(result, 0);
        EXPECT_EQ(ReadWholeFile(run.FilePath()), content);
        EXPECT_EQ(left, std::vector<std::string>{"toviksetup" + std::to_string(GetNameId()) + ".tmp"});
        EXPECT_EQ(Progress().publishedPercent.load(), 100);
    } else {
        EXPECT_EQ(run.window.Messages(),
                  (std::vector<std::pair<unsigned, std::uintptr_t>>{{WM_DOWNLOAD_FAILED, c.failure}}));
        EXPECT_TRUE(left.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Partials, Resume, ::testing::ValuesIn(kResumeCases),
                         [](const auto& info) { return CaseName(info.param.name); });

TEST(Download, FailedRunKeepsWhatItVerifiedForTheNextAndTheBarStartsThere) {
    const std::string content = PatternContent(1000);
    const std::string hash = Sha256Text(content, false);
    const std::string document = Metadata(1000, 300, "FILES/i", hash);
    DownloadRun run(document, [&](const ScriptedRequest& r, int i) {
        ScriptedReply reply = i < 2 ? ServeRange(content, r) : Always(503);
        if (i == 2) reply = ServeRange(content, r), reply.sendBodyBytes = 150;  // half a package, then cut
        return reply;
    });
    EXPECT_EQ(run.Run(), 1);
    const std::string partial = run.PartialPath(hash);
    const std::string kept = ReadWholeFile(partial);
    EXPECT_GE(kept.size(), 600u);
    EXPECT_EQ(kept, content.substr(0, kept.size()));
    EXPECT_NE(::access(run.FilePath().c_str(), F_OK), 0);

    // The next run (here: the same process, its record already holding a final event).
    int percentAtFirstRequest = -1;
    ScriptedServer files([&](const ScriptedRequest& r, int i) {
        if (i == 0) percentAtFirstRequest = Progress().publishedPercent.load();
        return ServeRange(content, r);
    });
    ScriptedServer metadata([&](const ScriptedRequest&, int) {
        std::string text = document;
        text.replace(text.find("FILES"), 5, files.Url(""));
        return ScriptedReply::Status(200, text);
    });
    UseEndpoints({metadata.Url("/downloader/installer-metadata/windows"), run.statsServer.Url("")});
    EXPECT_EQ(run.Run(), 0);
    EXPECT_EQ(files.Requests().at(0).Header("range"), "bytes=600-899");
    EXPECT_EQ(percentAtFirstRequest, 60);
    EXPECT_EQ(ReadWholeFile(run.FilePath()), content);
    EXPECT_NE(::access(partial.c_str(), F_OK), 0);
}

TEST(Download, RunTheWindowEndedStopsAndHandsNothingOver) {
    const std::string content = PatternContent(1000);
    const std::string hash = Sha256Text(content, false);
    DownloadRun run(Metadata(1000, 300, "FILES/i", hash), [&](const ScriptedRequest& r, int i) {
        ScriptedReply reply = ServeRange(content, r);
        if (i == 1) {  // the user closes the window while the second package flows
            Progress().cancelled.store(true);
            reply.stallAfterHeadMs = 3000;
        }
        return reply;
    });
    EXPECT_EQ(run.Run(), 1);
    EXPECT_EQ(run.fileServer.Requests().size(), 2u) << "no attempt after the close";
    EXPECT_NE(::access(run.FilePath().c_str(), F_OK), 0);
    const std::string kept = ReadWholeFile(run.PartialPath(hash));
    EXPECT_EQ(kept, content.substr(0, 300)) << "what was written stays for the next run";
}

// Whatever another local user, or anything else, put at the partial's name is
// left exactly as it is: the run downloads under its own name, from byte 0.
struct PlantedCase {
    const char* name;
    std::function<void(const std::string& partial, const std::string& content, const std::string& victim)> plant;
    bool needsRoot;
};

void PrintTo(const PlantedCase& c, std::ostream* out) { *out << c.name; }

const PlantedCase kPlantedCases[] = {
    {"a symbolic link", [](auto& p, auto&, auto& victim) { ::symlink(victim.c_str(), p.c_str()); }, false},
    {"a second hard link", [](auto& p, auto&, auto& victim) { ::link(victim.c_str(), p.c_str()); }, false},
    {"a file others may write",
     [](auto& p, auto& c, auto&) {
         Leave(p, c.substr(0, 600));
         ::chmod(p.c_str(), 0620);
     },
     false},
    {"a folder", [](auto& p, auto&, auto&) { ::mkdir(p.c_str(), 0700); }, false},
    {"another user's file",
     [](auto& p, auto& c, auto&) {
         Leave(p, c.substr(0, 600));
         ::chown(p.c_str(), 65534, 65534);
     },
     true},
};

class PlantedPartials : public ::testing::TestWithParam<PlantedCase> {};

TEST_P(PlantedPartials, AreNeitherUsedNorTouched) {
    const PlantedCase& c = GetParam();
    if (c.needsRoot && ::geteuid() != 0) GTEST_SKIP() << "only root can give a file to another user";
    const std::string content = PatternContent(1000);
    const std::string hash = Sha256Text(content, false);
    DownloadRun run(Metadata(1000, 300, "FILES/i", hash),
                    [&](const ScriptedRequest& r, int) { return ServeRange(content, r); });
    const std::string partial = run.PartialPath(hash);
    const std::string victim = run.tempFolder + "/victim";
    Leave(victim, "keep me");
    // Another user's partial of another release is not ours to remove, even for root.
    const std::string foreign = run.tempFolder + "/toviksetup-" + std::string(64, 'c') + ".part";
    Leave(foreign, "theirs");
    if (::geteuid() == 0) ::chown(foreign.c_str(), 65534, 65534);
    c.plant(partial, content, victim);
    struct stat before {};
    ASSERT_EQ(::lstat(partial.c_str(), &before), 0);
    const std::string held = S_ISREG(before.st_mode) ? ReadWholeFile(partial) : "";

    EXPECT_EQ(run.Run(), 0);
    EXPECT_EQ(run.Ranges().at(0), "bytes=0-299");
    EXPECT_EQ(ReadWholeFile(run.FilePath()), content);
    struct stat after {};
    ASSERT_EQ(::lstat(partial.c_str(), &after), 0);
    EXPECT_EQ(std::make_tuple(after.st_ino, after.st_mode, after.st_uid, after.st_nlink, after.st_size),
              std::make_tuple(before.st_ino, before.st_mode, before.st_uid, before.st_nlink, before.st_size));
    if (S_ISREG(after.st_mode)) {
        EXPECT_EQ(ReadWholeFile(partial), held);
    }
    EXPECT_EQ(ReadWholeFile(victim), "keep me");
    EXPECT_EQ(::access(foreign.c_str(), F_OK) == 0, ::geteuid() == 0);
}

INSTANTIATE_TEST_SUITE_P(SharedFolder, PlantedPartials, ::testing::ValuesIn(kPlantedCases),
                         [](const auto& info) { return CaseName(info.param.name); });

TEST(Download, WorkedExampleMakesTheExpectedRequestsAndEvents) {
    const std::string content = PatternContent(1000000);
    DownloadRun run(Metadata(1000000, 307200), [&](const ScriptedRequest& r, int) { return ServeRange(content, r); });
    ASSERT_EQ(run.Run(), 0);
    EXPECT_EQ(run.Ranges(), (std::vector<std::string>{"bytes=0-307199", "bytes=307200-614399", "bytes=614400-921599",
                                                      "bytes=921600-999999"}));
    EXPECT_EQ(Progress().reportedSize.load(), 1000000);
    EXPECT_EQ(ReadWholeFile(run.FilePath()), content);

    // The metadata request goes out before the User-Agent exists; the rest carry it.
    const std::string agent = run.statsServer.Requests()[0].Header("user-agent");
    EXPECT_EQ(agent.rfind("Tovik-Lumen-Downloader/2.1.2 (OS;Linux;Linux ", 0), 0u);
    EXPECT_EQ(run.metadataServer.Requests()[0].Header("user-agent"), "");
    for (const ScriptedRequest& r : run.fileServer.Requests()) EXPECT_EQ(r.Header("user-agent"), agent);

    const std::vector<std::string> events = run.Events();
    ASSERT_EQ(events.size(), 2u);
    const std::string id = DownloadStats::Instance().DownloadId();
    EXPECT_EQ(events[0], "/Tovik-Downloader/evt/download-started?id=" + id + "&branding=Tovik");
    const std::string prefix = "/Tovik-Downloader/evt/download-succeeded?id=" + id +
                               "&branding=Tovik&url=" + "http%3A%2F%2F127.0.0.1%3A" +
                               std::to_string(run.fileServer.Port()) +
                               "%2Finstaller.bin&errorCount=0&errors=%5B%5D&packageNumber=4&totalTime=";
    EXPECT_EQ(events[1].rfind(prefix, 0), 0u) << events[1];
}

struct MetadataCase {
    const char* name;
    std::function<ScriptedReply(const std::string& document)> reply;  // nullptr: server unreachable
    unsigned long wParam;
    const char* errorMsg;
};

void PrintTo(const MetadataCase& c, std::ostream* out) { *out << c.name; }

const char kSizeMissing[] = "Can%27t%20find%20file%20size%20in%20metadata%20xml";

const MetadataCase kMetadataFaults[] = {
    {"404 page", [](auto&) { return ScriptedReply::Status(404, "<html><body>404 Not Found</body></html>"); }, 0,
     kSizeMissing},
    {"empty body", [](auto&) { return ScriptedReply::Status(200); }, 0, kSizeMissing},
    {"no download URL", [](auto&) { return ScriptedReply::Status(200, "<size>1000</size>"); }, 0,
     "Can%27t%20find%20file%20url%20in%20metadata%20xml"},
    {"unreachable", nullptr, 7, kSizeMissing},
    {"larger than a document can be",
     [](auto& d) { return ScriptedReply::Status(200, d + std::string(2 * 1024 * 1024, ' ')); }, 23, kSizeMissing},
    {"complete document cut short",
     [](auto& d) {
         ScriptedReply reply = ScriptedReply::Status(200, d + std::string(1000, ' '));
         reply.sendBodyBytes = d.size();
         return reply;
     },
     18, kSizeMissing},
    {"stalled answer",
     [](auto& d) {
         ScriptedReply reply = ScriptedReply::Status(200, d);
         reply.stallAfterHeadMs = 60000;
         return reply;
     },
     28, kSizeMissing},
};

class MetadataFaults : public ::testing::TestWithParam<MetadataCase> {};

TEST_P(MetadataFaults, FailWithOutcomeAndLibcurlCode) {
    const MetadataCase& c = GetParam();
    const int closedPort = ClosedPort();
    FileHandler metadata = [&c](const ScriptedRequest&, int) {
        return c.reply(Metadata(1000, 0, "http://127.0.0.1:1/x"));
    };
    DownloadRun run("", nullptr, nullptr, metadata);
    if (!c.reply) UseEndpoints({"http://127.0.0.1:" + std::to_string(closedPort) + "/m", run.statsServer.Url("")});

    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(run.Run(), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));

    const auto messages = run.window.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].first, WM_DOWNLOAD_FAILED);
    EXPECT_EQ(messages[0].second, c.wParam);
    EXPECT_TRUE(run.fileServer.Requests().empty());
    EXPECT_NE(::access(run.FilePath().c_str(), F_OK), 0);  // no file was created

    const std::vector<std::string> events = run.Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_TRUE(Contains(events[0], "/download-started?"));
    const std::string code = Contains(c.errorMsg, "url") ? "131" : "128";
    EXPECT_TRUE(Contains(events[1], "/download-failed?"));
    EXPECT_TRUE(Contains(events[1], "&errorCode=" + code + "&errorMsg=" + c.errorMsg +
                                        "&url=&errorCount=0&errors=%5B%5D&packageNumber=0&totalTime=0"
                                        "&packageTimes=%5B%5D"))
        << events[1];
}

INSTANTIATE_TEST_SUITE_P(Matrix, MetadataFaults, ::testing::ValuesIn(kMetadataFaults),
                         [](const auto& info) { return CaseName(info.param.name); });

// One final event per process: one case per test.
class UnusableSize : public ::testing::TestWithParam<const char*> {};

TEST_P(UnusableSize, IsAFailedDocumentWithoutAFile) {
    const char* size = GetParam();
    DownloadRun run("<size>" + std::string(size) + "</size><downloadUrl>FILES/x</downloadUrl>");
    EXPECT_EQ(run.Run(), 1) << size;
    EXPECT_FALSE(Progress().finished.load());
    EXPECT_TRUE(run.fileServer.Requests().empty());
    EXPECT_NE(::access(run.FilePath().c_str(), F_OK), 0);  // no file was created
    EXPECT_EQ(run.window.Messages(), (std::vector<std::pair<unsigned, std::uintptr_t>>{{WM_DOWNLOAD_FAILED, 0}}));
    const std::vector<std::string> events = run.Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_TRUE(Contains(events[1], "/download-failed?")) << events[1];
    EXPECT_TRUE(Contains(events[1], std::string("&errorCode=128&errorMsg=") + kSizeMissing)) << events[1];
}

INSTANTIATE_TEST_SUITE_P(ZeroNegativeLetters, UnusableSize, ::testing::Values("0", "-5", "abc"));

TEST(Download, MomentaryOutageIsRiddenOutByThePauses) {
    const std::string content = PatternContent(1000);
    const int port = ClosedPort();
    DownloadRun run(Metadata(1000, 0, "http://127.0.0.1:" + std::to_string(port) + "/installer.bin"));
    UseRetryPauses(kRetryPauses);
    // Connections are refused for 1.2 s, as while a server restarts: the first
    // two attempts fail, the third, 1.5 s after the first, succeeds.
    std::unique_ptr<ScriptedServer> files;
    std::thread comeBack([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        files = std::make_unique<ScriptedServer>([&](const ScriptedRequest& r, int) { return ServeRange(content, r); },
                                                 port);
    });
    const int result = run.Run();
    comeBack.join();

    EXPECT_EQ(result, 0);
    EXPECT_EQ(ReadWholeFile(run.FilePath()), content);
    const std::vector<std::string> events = run.Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_TRUE(Contains(events[1], "/download-succeeded?")) << events[1];
    EXPECT_TRUE(Contains(events[1],
                         "&errorCount=2&errors=%5B%7B%22number%22%3A0%2C%22errCode%22%3A7%7D%2C"
                         "%7B%22number%22%3A0%2C%22errCode%22%3A7%7D%5D&packageNumber=1&totalTime=1"))
        << events[1];  // the package's time holds both pauses: 1.5 s and more
}

TEST(Download, FullDiskFailsWithTheWriteCodeAndNothingPastTheLimit) {
    const long long limit = 500000;
    const std::string content = PatternContent(1000000);
    const std::string hash = Sha256Text(content, false);
    DownloadRun run(Metadata(1000000, 307200, "FILES/i", hash),
                    [&](const ScriptedRequest& r, int) { return ServeRange(content, r); });
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails instead of ending the process
    rlimit limited{static_cast<rlim_t>(limit), saved.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    const int result = run.Run();
    ::setrlimit(RLIMIT_FSIZE, &saved);

    EXPECT_EQ(result, 1);
    EXPECT_FALSE(Progress().finished.load());
    EXPECT_EQ(run.window.Messages(),
              (std::vector<std::pair<unsigned, std::uintptr_t>>{{WM_DOWNLOAD_FAILED, CURLE_WRITE_ERROR}}));
    // What was written stays for the next run, under the release's name.
    const std::string written = ReadWholeFile(run.PartialPath(hash));
    EXPECT_GE(static_cast<long long>(written.size()), 307200);
    EXPECT_LE(static_cast<long long>(written.size()), limit);
    EXPECT_EQ(written, content.substr(0, written.size()));
    const std::vector<std::string> events = run.Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_TRUE(Contains(events[1], "/download-failed?id=")) << events[1];
    EXPECT_TRUE(Contains(events[1], "&errorCode=23&")) << events[1];
    EXPECT_TRUE(Contains(events[1], "&errorCount=5&")) << events[1];
    EXPECT_TRUE(Contains(events[1], "&packageNumber=1&")) << events[1];
}

TEST(Download, FileThatCannotBePositionedIsAnErrorItemOfItsOwn) {
    const std::string content = PatternContent(1000);
    std::string installer;
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    DownloadRun run(Metadata(1000, 300), [&](const ScriptedRequest& r, int i) {
        if (i != 1) return ServeRange(content, r);
        ::dup2(pipeEnds[1], DescriptorOf(installer));  // the file becomes a pipe, which cannot seek
        return Always(503);
    });
    installer = run.FilePath();
    EXPECT_EQ(run.Run(), 1);
    const std::vector<std::string> events = run.Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_TRUE(Contains(events[1], "&errorCode=23&errorMsg=Curl%20error.&")) << events[1];
    EXPECT_TRUE(Contains(events[1],
                         "&errorCount=2&errors=%5B%7B%22number%22%3A1%2C%22errCode%22%3A22%7D%2C"
                         "%7B%22number%22%3A1%2C%22errCode%22%3A23%7D%5D&"))
        << events[1];
}

TEST(Download, LocalFileUrlIsNeverCopied) {
    DownloadRun run(Metadata(100, 0, "file:///etc/passwd"));
    EXPECT_EQ(run.Run(), 1);
    ASSERT_EQ(run.window.Messages().size(), 1u);
    EXPECT_EQ(run.window.Messages()[0].second, static_cast<unsigned long>(CURLE_UNSUPPORTED_PROTOCOL));
    EXPECT_EQ(ReadWholeFile(run.FilePath()), "");
}

TEST(Download, SilentStatisticsServerDoesNotHoldTheDownload) {
    const std::string content = PatternContent(5000);
    DownloadRun run(
        Metadata(5000), [&](const ScriptedRequest& r, int) { return ServeRange(content, r); },
        [](const ScriptedRequest&, int) {
            ScriptedReply reply = ScriptedReply::Status(204);
            reply.stallBeforeMs = 60000;
            return reply;
        });
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(run.Run(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(40));
    EXPECT_TRUE(Progress().finished.load());
    EXPECT_EQ(ReadWholeFile(run.FilePath()), content);
    EXPECT_EQ(run.statsServer.Requests().size(), 2u);  // both hits were made, neither answered
}

TEST(Download, NameInTheTemporaryFolderThatIsNotOurRegularFileIsRefused) {
    DownloadRun run(Metadata(100));
    const std::string target = run.tempFolder + "/victim";
    { std::ofstream(target) << "keep me"; }
    ASSERT_EQ(::symlink(target.c_str(), run.FilePath().c_str()), 0);
    EXPECT_EQ(run.Run(), 1);
    ASSERT_EQ(run.window.Messages().size(), 1u);
    EXPECT_EQ(run.window.Messages()[0].second, 1u);
    EXPECT_EQ(ReadWholeFile(target), "keep me");
    EXPECT_TRUE(run.statsServer.Requests().empty());  // the job reports nothing on this path

    // A FIFO at the name neither blocks the open nor is written.
    ASSERT_EQ(::unlink(run.FilePath().c_str()), 0);
    ASSERT_EQ(::mkfifo(run.FilePath().c_str(), 0600), 0);
    RecordingWindow second;
    DownloadJob job(&second);
    EXPECT_EQ(job.Run(), 1);
    ASSERT_EQ(second.Messages().size(), 1u);
    EXPECT_EQ(second.Messages()[0].second, 1u);
}

TEST(Download, FileBeyondTwoGibibytesIsPlacedByteExact) {
    const long long size = (1LL << 31) + 300000;
    const long long packageSize = 1LL << 30;
    DownloadRun run(Metadata(size, packageSize), [&](const ScriptedRequest& r, int i) {
        ScriptedReply reply = ServePatternRange(size, r);
        if (i == 2) reply.sendBodyBytes = 123457;  // the package past 2 GiB is retried
        return reply;
    });
    ASSERT_EQ(run.Run(), 0);
    EXPECT_EQ(run.Ranges()[2], "bytes=2147483648-2147783647");
    EXPECT_EQ(run.Ranges()[3], "bytes=2147483648-2147783647");

    std::FILE* file = std::fopen(run.FilePath().c_str(), "rb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(::fseeko(file, 0, SEEK_END), 0);
    EXPECT_EQ(::ftello(file), size);
    for (long long at : {0LL, packageSize - 4096, (1LL << 31) - 4096, size - 300000, size - 4096}) {
        char bytes[4096];
        ASSERT_EQ(::fseeko(file, at, SEEK_SET), 0);
        ASSERT_EQ(std::fread(bytes, 1, sizeof bytes, file), sizeof bytes);
        for (long long i = 0; i < 4096; ++i) ASSERT_EQ(bytes[i], PatternByte(at + i)) << "at " << at + i;
    }
    std::fclose(file);
}

}  // namespace
