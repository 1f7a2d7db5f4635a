// Window soak: real installer windows under the X server in DISPLAY, each
// closed at a random moment (before Install, while connecting, mid-download,
// near the end) against scripted servers with random faults. Every run must
// leave a byte-exact report, end with code 0, and give the statistics server
// at most one download-started and, after it, exactly one final event.
//
//   window-soak HARNESS SEND_CLOSE      (TOVIK_SOAK_SEED, TOVIK_WINDOW_RUNS: 20)
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
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

enum Moment { kBeforeInstall, kConnecting, kMidDownload, kNearTheEnd, kMoments };
const char* const kMomentNames[kMoments] = {"before Install", "while connecting", "mid-download", "near the end"};

void SleepMs(long long ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// A shell command's standard output (xdotool, the close helper).
std::string Output(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
        ::pclose(pipe);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out.substr(0, out.find('\n'));
}

// text as one shell word, whatever it holds (a clone's path may have a space).
std::string ShellWord(const std::string& text) {
    std::string word = "'";
    for (char c : text) word += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return word + "'";
}

pid_t Spawn(const std::vector<std::string>& arguments, const std::string& tempFolder, const std::string& log) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<std::string> environment = {"TMPDIR=" + tempFolder};
    for (char** e = environ; *e; ++e)
        if (std::string(*e).rfind("TMPDIR=", 0) != 0) environment.push_back(*e);
    std::vector<char*> envp, argv;
    for (std::string& e : environment) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// The exit code, or -1 when the process has not ended within the time.
int ExitCodeWithin(pid_t pid, int seconds) {
    for (int i = 0; i < seconds * 10; ++i) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
        SleepMs(100);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
}

std::string ReportText(const std::string& status, long long size, const std::string& nameId) {
    return "[tovikdownload]\r\nstatus=" + status + "\r\nfileSize=" + std::to_string(size) + "\r\nnameID=" + nameId +
           "\r\ninstallAuralo=no";
}

struct Outcome {
    std::string summary;  // status and final event
    std::vector<std::string> breaches;
};

Outcome WindowRun(const std::string& harness, const std::string& sendClose, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    const Moment moment = static_cast<Moment>(seed % kMoments);  // every moment as often as the others
    const long long size = 300000 + static_cast<long long>(rng() % 1200000);
    const double faultRate = (rng() % 25) / 100.0;
    const long long waits[kMoments][2] = {{0, 1000}, {200, 1000}, {300, 1200}, {2000, 4000}};
    const long long closeAfterMs =
        waits[moment][0] + static_cast<long long>(rng() % (waits[moment][1] - waits[moment][0]));
    const std::string content = PatternContent(static_cast<std::size_t>(size), 7, static_cast<long long>(seed));

    std::mutex mutex;  // the file server's threads draw their faults from rng
    ScriptedServer files([&](const ScriptedRequest& request, int) {
        std::lock_guard<std::mutex> lock(mutex);
        ScriptedReply reply = ServeRange(content, request);
        if (rng() % 100 < faultRate * 100) {
            switch (rng() % 4) {
                case 0: reply = ScriptedReply::Status(500, "busy"); break;
                case 1: reply = ScriptedReply::Close(); break;
                case 2: reply.sendBodyBytes = reply.body.size() / 2; break;
                default: reply = ScriptedReply::Status(200, content); break;
            }
        }
        reply.stallBeforeMs = 100;  // about 600 kB/s: the download takes a while
        return reply;
    });
    const std::string document = "<size>" + std::to_string(size) + "</size><downloadUrl>" +
                                 files.Url("/installer.bin") +
                                 "</downloadUrl><suggestedPackageSize>65536"
                                 "</suggestedPackageSize>";
    ScriptedServer metadata([&](const ScriptedRequest&, int index) {
        ScriptedReply reply = ScriptedReply::Status(200, document);
        if (index == 0 && moment == kConnecting) reply.stallBeforeMs = 1500;  // a slow probe
        return reply;
    });
    ScriptedServer stats([](const ScriptedRequest&, int) { return ScriptedReply::Status(204); });

    char folder[] = "/tmp/tovik-window-soak-XXXXXX";
    const std::string tempFolder = ::mkdtemp(folder);
    const std::string report = tempFolder + "/report.ini";
    const pid_t pid = Spawn({harness, metadata.Url("/downloader/installer-metadata/windows"), stats.Url(""), report},
                            tempFolder, tempFolder + "/harness.log");
    Outcome outcome;
    auto breach = [&](const std::string& what) { outcome.breaches.push_back(what); };
    // Not xdotool's --sync: a window that closes during its search (the last
    // run's) aborts it with BadWindow. The search is tried again for 20 s.
    std::string window;
    for (int tries = 0; window.empty() && tries < 100; ++tries) {
        window = Output("xdotool search --onlyvisible --pid " + std::to_string(pid) + " 2>/dev/null");
        if (window.empty()) SleepMs(200);
    }
    if (window.empty()) breach("no window");
    SleepMs(800);  // the page loads

    const std::string click = "xdotool mousemove --window " + window + " ";
    if (moment != kBeforeInstall && !window.empty()) {
        Output(click + "19 286 click 1");  // Akceptuję
        SleepMs(300);
        Output(click + "234 335 click 1");  // Zainstaluj
    }
    SleepMs(closeAfterMs);
    Output(ShellWord(sendClose) + " " + window + " 2>/dev/null");

    // A failed download shows its message box first: OK it, as a user would.
    const std::string boxName = harness.substr(harness.rfind('/') + 1);
    std::string text;
    for (int i = 0; i < 600 && text.empty(); ++i) {
        text = ReadWholeFile(report);
        if (text.empty() && i % 10 == 5) {
            const std::string box = Output("xdotool search --onlyvisible --name '^" + boxName + "$' 2>/dev/null");
            if (!box.empty()) Output("xdotool windowfocus --sync " + box + " key Return 2>/dev/null");
        }
        if (text.empty()) SleepMs(100);
    }
    std::remove(report.c_str());  // the caller takes the report
    const int exitCode = ExitCodeWithin(pid, 15);

    std::vector<std::string> events;
    for (const ScriptedRequest& r : stats.Requests()) events.push_back(r.target.substr(0, r.target.find('?')));
    int started = 0, finals = 0;
    std::string finalEvent;
    for (const std::string& e : events) {
        if (e == "/Tovik-Downloader/evt/download-started")
            ++started;
        else {
            ++finals;
            finalEvent = e.substr(e.rfind('/') + 1);
        }
    }
    const std::size_t at = text.find("nameID=");
    const std::string nameId = at == std::string::npos ? "" : text.substr(at + 7, text.find('\r', at) - at - 7);
    const bool succeeded = finalEvent == "download-succeeded";
    const std::string status = text.find("status=ok") != std::string::npos ? "ok" : "cancel";
    // The size is the real one whenever the worker had finished when the report
    // was written, also after a cancel (the worker is never stopped).
    const bool sized = text.find("fileSize=0\r") == std::string::npos;
    if (text.empty())
        breach("no report");
    else if (text != ReportText(status, sized ? size : 0, nameId))
        breach("report not byte-exact: " + text);
    if (status == "ok" && !succeeded) breach("ok without download-succeeded");
    if ((succeeded || sized) && ReadWholeFile(tempFolder + "/toviksetup" + nameId + ".tmp") != content)
        breach("file differs");
    if (exitCode != 0) breach("exit code " + std::to_string(exitCode));
    if (started > 1) breach(std::to_string(started) + " download-started events");
    if (started == 1 && finals != 1) breach(std::to_string(finals) + " final events");
    if (started == 0 && finals != 0) breach("a final event without download-started");

    outcome.summary = std::string(kMomentNames[moment]) + ": " + (text.empty() ? "none" : status) +
                      (sized ? " with the size" : "") + ", " + (finalEvent.empty() ? "no final event" : finalEvent);
    std::system(("rm -rf " + tempFolder).c_str());
    return outcome;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s HARNESS SEND_CLOSE\n", argv[0]);
        return 2;
    }
    const SoakSeeds seeds = SeedsFromEnvironment("TOVIK_WINDOW_RUNS", 20);
    std::map<std::string, int> tally;
    int passed = 0, failed = 0;
    for (std::uint64_t i = 0; i < seeds.runs; ++i) {
        const std::uint64_t seed = seeds.first + i;
        const Outcome outcome = WindowRun(argv[1], argv[2], seed);
        ++tally[outcome.summary];
        std::printf("seed %llu, %s\n", static_cast<unsigned long long>(seed), outcome.summary.c_str());
        for (const std::string& what : outcome.breaches) PrintBreach(seeds, seed, what);
        ++(outcome.breaches.empty() ? passed : failed);
        std::fflush(stdout);
    }
    std::printf("\nwindow soak, seeds %llu..%llu\n", static_cast<unsigned long long>(seeds.first),
                static_cast<unsigned long long>(seeds.first + seeds.runs - 1));
    for (const auto& t : tally) std::printf("  %-60s %3d\n", t.first.c_str(), t.second);
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
