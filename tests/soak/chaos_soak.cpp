// Chaos soak: seeded downloads through the headless driver (one process per
// download) against scripted servers that answer every package request with a
// fault drawn from the whole catalogue, or with an unusual but valid answer.
// Each run must keep the installer's promises; a breach prints its seed.
//
//   chaos-soak SOAK_FETCH
//   TOVIK_SOAK_SEED (first seed, default 20261208), TOVIK_SOAK_RUNS (default 300)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/scripted_server.h"
#include "support/test_helpers.h"

extern char** environ;

namespace {

// ---------------------------------------------------------------- the catalogue

enum Fault {
    kGood,
    kErrorStatus,      // 404, 416 or 500
    kShortBody,        // fewer bytes than Content-Length, then close
    kCutMidChunk,      // a chunked body cut inside a chunk
    kExtraBytes,       // the range plus bytes beyond it
    kWrongRange,       // Content-Range names another start, another end, or both
    kWholeForPartial,  // 200 with the whole file
    kRedirectNoPlace,  // 302 without Location
    kDrop,             // closed without an answer
    kNoHttp,           // bytes that are no HTTP
    kStallThenRest,    // silence after the head, then the body
    kChunked,          // valid: a chunked 206
    kCloseDelimited,   // valid: a 206 ended by the connection's close
    kFaultKinds
};

const char* const kFaultNames[kFaultKinds] = {"good answer",
                                              "404/416/500",
                                              "body short of its length",
                                              "cut mid-chunk",
                                              "extra bytes",
                                              "wrong Content-Range",
                                              "200 for a range",
                                              "302 without Location",
                                              "drop without answer",
                                              "bytes that are no HTTP",
                                              "stall then the rest",
                                              "chunked 206 (valid)",
                                              "206 ended by close (valid)"};

enum MetadataFault {
    kMetadataGood,
    kMetadata404,
    kMetadataEmpty,
    kMetadataCut,
    kMetadataNoHttp,
    kMetadataZeroSize,
    kMetadataKinds
};
const char* const kMetadataNames[kMetadataKinds] = {"metadata good",      "metadata 404 page", "metadata empty",
                                                    "metadata cut short", "metadata no HTTP",  "metadata size 0"};

enum StatsMode { kStatsGood, kStatsFailing, kStatsDropping, kStatsSlow, kStatsModes };
const char* const kStatsNames[kStatsModes] = {"statistics good", "statistics 500", "statistics drop",
                                              "statistics slow"};

std::string Chunked(const std::string& body, std::mt19937_64& rng) {
    std::string out;
    for (std::size_t at = 0; at < body.size();) {
        const std::size_t n = std::min<std::size_t>(body.size() - at, 1 + rng() % 70000);
        char size[32];
        std::snprintf(size, sizeof size, "%zx\r\n", n);
        out += size + body.substr(at, n) + "\r\n";
        at += n;
    }
    return out + "0\r\n\r\n";
}

std::string Head206(long long first, long long last, long long size, const std::string& extra) {
    return "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(first) + "-" +
           std::to_string(last) + "/" + std::to_string(size) + "\r\nConnection: close\r\n" + extra;
}

ScriptedReply Answer(Fault fault, const std::string& content, const ScriptedRequest& request, long long first,
                     long long last, std::mt19937_64& rng) {
    const long long size = static_cast<long long>(content.size());
    const std::string part = content.substr(first, last - first + 1);
    ScriptedReply reply = ServeRange(content, request);
    switch (fault) {
        case kGood: break;
        case kErrorStatus: {
            const int statuses[] = {404, 416, 500};
            return ScriptedReply::Status(statuses[rng() % 3], "<html>no</html>");
        }
        case kShortBody: reply.sendBodyBytes = part.size() / 2; break;
        case kCutMidChunk: {
            reply.head = Head206(first, last, size, "Transfer-Encoding: chunked\r\n");
            reply.body = Chunked(part, rng);
            reply.sendBodyBytes = 3 + part.size() / 2;  // inside the first chunk or right after it
            if (reply.sendBodyBytes >= reply.body.size() - 5) reply.sendBodyBytes = reply.body.size() - 5;
            break;
        }
        case kExtraBytes:
            return ScriptedReply::Status(206, part + "EXTRA",
                                         "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(last) +
                                             "/" + std::to_string(size) + "\r\n");
        case kWrongRange: {
            const int shifted = static_cast<int>(rng() % 3);  // 0 the start, 1 the end, 2 both
            return ScriptedReply::Status(206, part,
                                         "Content-Range: bytes " + std::to_string(first + (shifted != 1)) + "-" +
                                             std::to_string(last + (shifted != 0)) + "/" + std::to_string(size) +
                                             "\r\n");
        }
        case kWholeForPartial: return ScriptedReply::Status(200, content);
        case kRedirectNoPlace: return ScriptedReply::Status(302, "moved");
        case kDrop: return ScriptedReply::Close();
        case kNoHttp:
            reply = ScriptedReply();
            reply.head = "SSH-2.0-OpenSSH_9.2p1\r\n\x16\x03\x01 not a web server";
            break;
        case kStallThenRest: reply.stallAfterHeadMs = 20 + static_cast<int>(rng() % 100); break;
        case kChunked:
            reply.head = Head206(first, last, size, "Transfer-Encoding: chunked\r\n");
            reply.body = Chunked(part, rng);
            break;
        case kCloseDelimited:
            reply.head = Head206(first, last, size, "");
            reply.body = part;
            break;
        case kFaultKinds: break;
    }
    return reply;
}

bool MustFail(Fault fault, long long first, long long last, long long size) {
    switch (fault) {
        case kGood:
        case kStallThenRest:
        case kChunked:
        case kCloseDelimited: return false;
        case kWholeForPartial: return !(first == 0 && last == size - 1);
        default: return true;
    }
}

// ---------------------------------------------------------------- one run

struct FileRequest {
    std::string range;
    bool mustFail;
};

struct Totals {
    int runs = 0, finished = 0, failed = 0, breaches = 0, breachedRuns = 0;
    long long requests = 0;
    std::map<std::string, int> kinds;
};

struct Child {
    int exitCode = -1;
    std::string output;
};

Child RunFetch(const std::string& fetch, const std::string& metadataUrl, const std::string& statsUrl,
               const std::string& tempFolder) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);  // libcurl's verbose trace
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    std::vector<std::string> environment = {"TMPDIR=" + tempFolder, "PATH=/usr/bin:/bin"};
    for (char** e = environ; *e; ++e)
        if (std::string(*e).rfind("TMPDIR=", 0) != 0 && std::string(*e).rfind("PATH=", 0) != 0)
            environment.push_back(*e);
    std::vector<char*> envp;
    for (std::string& e : environment) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    std::vector<char*> argv = {const_cast<char*>(fetch.c_str()), const_cast<char*>(metadataUrl.c_str()),
                               const_cast<char*>(statsUrl.c_str()), nullptr};
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, fetch.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    Child child;
    if (spawned != 0) {
        ::close(pipeFds[0]);
        return child;
    }
    // Bounded: a download that hangs is a breach, not a stuck soak.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    char buffer[4096];
    for (;;) {
        pollfd p{pipeFds[0], POLLIN, 0};
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            child.output += "\n(killed: no end within 90 s)";
            break;
        }
        if (::poll(&p, 1, 200) <= 0) continue;
        const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        child.output.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    child.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return child;
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Returns the breaches of one run, empty when it kept every promise.
std::vector<std::string> SoakRun(const std::string& fetch, std::uint64_t seed, Totals& totals) {
    std::mt19937_64 rng(seed);
    const long long sizes[] = {1, 1 + static_cast<long long>(rng() % 5000),
                               1 + static_cast<long long>(rng() % 3000000)};
    const long long size = sizes[rng() % 3];
    // 1 KiB .. 2 MiB, but no more than about 1000 packages a run.
    const long long packageSize =
        std::max(static_cast<long long>(std::exp2(10 + (rng() % 1100) / 100.0)), size / 1000 + 1);
    const double faultRate = (rng() % 60) / 100.0;
    const MetadataFault metadataFault =
        rng() % 100 < 85 ? kMetadataGood : static_cast<MetadataFault>(1 + rng() % (kMetadataKinds - 1));
    const StatsMode statsMode = rng() % 100 < 70 ? kStatsGood : static_cast<StatsMode>(1 + rng() % (kStatsModes - 1));
    const std::string content = PatternContent(static_cast<std::size_t>(size), 31, static_cast<long long>(seed));

    ++totals.kinds[kMetadataNames[metadataFault]];
    ++totals.kinds[kStatsNames[statsMode]];
    // From here on the file server's threads count too: under this mutex.
    std::mutex mutex;
    std::vector<FileRequest> fileRequests;
    ScriptedServer files([&](const ScriptedRequest& request, int) {
        std::lock_guard<std::mutex> lock(mutex);
        long long first = 0, last = 0;
        std::sscanf(request.Header("range").c_str(), "bytes=%lld-%lld", &first, &last);
        Fault fault = kGood;
        if (rng() % 1000 < faultRate * 1000) fault = static_cast<Fault>(1 + rng() % (kFaultKinds - 1));
        ++totals.kinds[kFaultNames[fault]];
        fileRequests.push_back({request.Header("range"), MustFail(fault, first, last, size)});
        return Answer(fault, content, request, first, last, rng);
    });
    const std::string document = "<installer><downloadUrl>" + files.Url("/installer.bin") + "</downloadUrl><size>" +
                                 (metadataFault == kMetadataZeroSize ? "0" : std::to_string(size)) +
                                 "</size><hash>00</hash><suggestedPackageSize>" + std::to_string(packageSize) +
                                 "</suggestedPackageSize></installer>";
    ScriptedServer metadata([&](const ScriptedRequest&, int) {
        ScriptedReply reply = ScriptedReply::Status(200, document);
        switch (metadataFault) {
            case kMetadata404: reply = ScriptedReply::Status(404, "<html>not found</html>"); break;
            case kMetadataEmpty: reply = ScriptedReply::Status(200); break;
            case kMetadataCut: reply.sendBodyBytes = document.size() / 2; break;
            case kMetadataNoHttp:
                reply.head = "220 mail server ready";
                reply.body.clear();
                break;
            default: break;
        }
        return reply;
    });
    ScriptedServer stats([&](const ScriptedRequest&, int) {
        switch (statsMode) {
            case kStatsFailing: return ScriptedReply::Status(500, "down");
            case kStatsDropping: return ScriptedReply::Close();
            case kStatsSlow: {
                ScriptedReply reply = ScriptedReply::Status(204);
                reply.stallBeforeMs = 100;
                return reply;
            }
            default: return ScriptedReply::Status(204);
        }
    });

    char folder[] = "/tmp/tovik-soak-XXXXXX";
    const std::string tempFolder = ::mkdtemp(folder);
    const Child child =
        RunFetch(fetch, metadata.Url("/downloader/installer-metadata/windows"), stats.Url(""), tempFolder);

    std::vector<std::string> breaches;
    auto breach = [&](const std::string& what) { breaches.push_back(what); };
    const bool finished = Has(child.output, "finished=1 ");
    if ((child.exitCode == 0) != finished)
        breach("exit code " + std::to_string(child.exitCode) + " with finished=" + (finished ? "1" : "0"));
    if (!Has(child.output, "finished=")) breach("no end line: " + child.output);

    const std::size_t fileAt = child.output.find("file=");
    const std::string path = fileAt == std::string::npos
                                 ? ""
                                 : child.output.substr(fileAt + 5, child.output.find('\n', fileAt) - fileAt - 5);
    if (finished && ReadWholeFile(path) != content) breach("finished file differs from the served one");
    if (finished && metadataFault != kMetadataGood) breach("finished after a metadata fault");

    // The judge accepted exactly the good answers: a bad one is retried, a good one moves on.
    std::lock_guard<std::mutex> lock(mutex);
    int trailingFailures = 0;
    for (std::size_t i = 0; i < fileRequests.size(); ++i) {
        const bool last = i + 1 == fileRequests.size();
        trailingFailures = fileRequests[i].mustFail ? trailingFailures + 1 : 0;
        if (last) break;
        const bool retried = fileRequests[i + 1].range == fileRequests[i].range;
        if (fileRequests[i].mustFail && !retried) breach("a bad answer was accepted at request " + std::to_string(i));
        if (!fileRequests[i].mustFail && retried) breach("a good answer was refused at request " + std::to_string(i));
    }
    if (!finished && metadataFault == kMetadataGood && trailingFailures < 5)
        breach("failed without five failed attempts of one package (" + std::to_string(trailingFailures) + ")");

    std::vector<std::string> events;
    for (const ScriptedRequest& r : stats.Requests()) events.push_back(r.target);
    if (events.size() != 2) {
        breach(std::to_string(events.size()) + " statistics events");
    } else {
        if (!Has(events[0], "/download-started?")) breach("first event " + events[0].substr(0, 60));
        const char* expected = finished ? "/download-succeeded?" : "/download-failed?";
        if (!Has(events[1], expected))
            breach("final event " + events[1].substr(0, 60) + " for finished=" + (finished ? "1" : "0"));
        if (!finished && metadataFault != kMetadataGood && !Has(events[1], "&errorCode=128&"))
            breach("metadata fault without outcome 128");
        if (!finished && metadataFault == kMetadataGood && !Has(child.output, "WM_DOWNLOAD_FAILED"))
            breach("failure without its message");
    }

    totals.requests += static_cast<long long>(fileRequests.size());
    ++totals.runs;
    ++(finished ? totals.finished : totals.failed);
    std::system(("rm -rf " + tempFolder).c_str());
    return breaches;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s SOAK_FETCH\n", argv[0]);
        return 2;
    }
    const SoakSeeds seeds = SeedsFromEnvironment("TOVIK_SOAK_RUNS", 300);
    const auto started = std::chrono::steady_clock::now();
    Totals totals;
    std::mutex totalsMutex;
    std::atomic<std::uint64_t> next{0};
    // Runs wait on sockets and pauses far more than they compute: three at a time.
    std::vector<std::thread> workers;
    for (int w = 0; w < 3; ++w) {
        workers.emplace_back([&] {
            for (std::uint64_t i = next++; i < seeds.runs; i = next++) {
                const std::uint64_t seed = seeds.first + i;
                Totals run;
                const std::vector<std::string> breaches = SoakRun(argv[1], seed, run);
                std::lock_guard<std::mutex> lock(totalsMutex);
                totals.runs += run.runs;
                totals.finished += run.finished;
                totals.failed += run.failed;
                totals.requests += run.requests;
                for (const auto& kind : run.kinds) totals.kinds[kind.first] += kind.second;
                if (!breaches.empty()) ++totals.breachedRuns;
                for (const std::string& what : breaches) {
                    ++totals.breaches;
                    PrintBreach(seeds, seed, what);
                }
            }
        });
    }
    for (std::thread& worker : workers) worker.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    std::printf("\nchaos soak, seeds %llu..%llu, %.1f s\n", static_cast<unsigned long long>(seeds.first),
                static_cast<unsigned long long>(seeds.first + seeds.runs - 1), seconds);
    std::printf("%-28s %8s\n", "runs", std::to_string(totals.runs).c_str());
    std::printf("%-28s %8d\n%-28s %8d\n%-28s %8d\n", "finished", totals.finished, "failed", totals.failed, "breaches",
                totals.breaches);
    std::printf("%-28s %8lld\n", "package requests", totals.requests);
    for (const auto& kind : totals.kinds) std::printf("  %-26s %8d\n", kind.first.c_str(), kind.second);
    std::printf("%d passed, %d failed\n", totals.runs - totals.breachedRuns, totals.breachedRuns);
    return totals.breaches == 0 ? 0 : 1;
}
