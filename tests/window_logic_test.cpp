// The installer window's logic on a fake host with a fake clock: views,
// Install and the connection check, the progress display, both endings with
// their report and events, and the progress pacing.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>

#include "app/ctovik_downloader_dlg.h"
#include "app/progress_pacing.h"
#include "app/result_report.h"
#include "app/window_messages.h"
#include "download/download_job.h"
#include "download/download_progress.h"
#include "http/endpoints.h"
#include "support/fake_host.h"
#include "support/scripted_server.h"
#include "support/test_helpers.h"

namespace {

const char kWelcome[] = "<img src=\"res:/IMG/#666\"><table id=\"Table\">welcome</table>";
const char kLicence[] = "<img src=\"res:/IMG/#667\"><pre id=\"pre\">licence</pre>";

// A window as it stands after start-up, with a report path in a fresh folder.
struct Window {
    FakeHost host;
    std::string folder;
    std::string reportPath;
    CtovikDownloaderDlg dialog;

    Window() : folder(MakeFolder()), reportPath(folder + "/report.ini"), dialog(host, reportPath) {
        host.page["main"]["innerHTML"] = kWelcome;
        host.page["licence"]["innerHTML"] = kLicence;
        host.page["Label1"]["innerHTML"] = "Witaj w nowym Tovik!";
        host.page["Label2"]["innerHTML"] = "";
        host.page["Table"]["height"] = "95%";
        host.controls[IDC_ADVANCED_LINK].visible = false;
        dialog.OnInitDialog();
    }
    ~Window() { std::system(("rm -rf " + folder).c_str()); }

    static std::string MakeFolder() {
        char folder[] = "/tmp/tovik-window-XXXXXX";
        return ::mkdtemp(folder);
    }
    const FakeControl& Control(int id) { return host.controls[id]; }
    std::string Label(const char* id) { return host.page[id]["innerHTML"]; }
};

// The report's bytes, written out here rather than by the formatter under test.
std::string Report(const char* status, long long size) {
    return std::string("[tovikdownload]\r\nstatus=") + status + "\r\nfileSize=" + std::to_string(size) +
           "\r\nnameID=" + std::to_string(GetNameId()) + "\r\ninstallAuralo=no";
}

}  // namespace

// ------------------------------------------------------------------ views

TEST(WindowViews, AcceptEnablesInstallOnlyWhileChecked) {
    Window w;
    EXPECT_FALSE(w.Control(IDC_PROGRESS).visible);
    EXPECT_FALSE(w.Control(IDC_HIDE_LICENCE_LINK).visible);
    EXPECT_TRUE(w.Control(IDC_INSTALL).visible);
    EXPECT_FALSE(w.Control(IDC_INSTALL).enabled);
    for (bool checked : {true, false, true, false, true}) {
        w.host.controls[IDC_ACCEPT].checked = checked;
        w.dialog.OnCommand(IDC_ACCEPT);
        EXPECT_EQ(w.Control(IDC_INSTALL).enabled, checked);
    }
}

TEST(WindowViews, LicenceShownAndHiddenRestoresTheLastSavedWelcome) {
    Window w;
    w.host.controls[IDC_ACCEPT].checked = true;
    for (int round = 0; round < 3; ++round) {
        const std::string welcome = w.host.page["main"]["innerHTML"];
        w.dialog.OnCommand(IDC_LICENCE_LINK);
        EXPECT_EQ(w.host.page["main"]["innerHTML"], kLicence);
        EXPECT_TRUE(w.Control(IDC_HIDE_LICENCE_LINK).visible);
        EXPECT_FALSE(w.Control(IDC_ACCEPT).visible);
        EXPECT_FALSE(w.Control(IDC_LICENCE_LINK).visible);
        EXPECT_FALSE(w.Control(IDC_ADVANCED_LINK).visible);

        w.dialog.OnCommand(IDC_HIDE_LICENCE_LINK);
        EXPECT_EQ(w.host.page["main"]["innerHTML"], welcome);
        EXPECT_FALSE(w.Control(IDC_HIDE_LICENCE_LINK).visible);
        EXPECT_TRUE(w.Control(IDC_ACCEPT).visible);
        EXPECT_TRUE(w.Control(IDC_LICENCE_LINK).visible);
        EXPECT_FALSE(w.Control(IDC_ADVANCED_LINK).visible);  // never shown again
        EXPECT_TRUE(w.Control(IDC_ACCEPT).checked);
        w.host.page["main"]["innerHTML"] = "welcome, round " + std::to_string(round);
    }
}

TEST(WindowViews, PageThatCannotBeReachedLeavesOnlyTheControlChanges) {
    Window w;
    w.host.pageLoaded = false;
    w.dialog.OnCommand(IDC_LICENCE_LINK);
    EXPECT_TRUE(w.Control(IDC_HIDE_LICENCE_LINK).visible);
    EXPECT_FALSE(w.Control(IDC_ACCEPT).visible);
    EXPECT_EQ(w.host.page["main"]["innerHTML"], kWelcome);
    w.dialog.OnCommand(IDC_HIDE_LICENCE_LINK);
    EXPECT_TRUE(w.Control(IDC_ACCEPT).visible);
    EXPECT_EQ(w.host.page["main"]["innerHTML"], kWelcome);
}

// ------------------------------------------------------------------ install

TEST(WindowInstall, FromTheLicenceViewRestoresWelcomeThenConnects) {
    Window w;
    w.dialog.OnCommand(IDC_LICENCE_LINK);
    w.dialog.OnCommand(IDC_INSTALL);
    EXPECT_EQ(w.host.page["main"]["innerHTML"], kWelcome);
    for (int id : {IDC_ACCEPT, IDC_LICENCE_LINK, IDC_ADVANCED_LINK, IDC_INSTALL, IDC_HIDE_LICENCE_LINK})
        EXPECT_FALSE(w.Control(id).visible) << id;
    EXPECT_TRUE(w.Control(IDC_PROGRESS).visible);
    EXPECT_EQ(w.host.progress, 0);
    EXPECT_EQ(w.Label("Label1"), "Trwa nawiązywanie połączenia...");
    EXPECT_EQ(w.host.timers, (std::map<unsigned, unsigned>{{IDT_FIRST_CONNECT, 10}}));
}

TEST(WindowInstall, FailedCheckRetriesEveryThreeSecondsOffTheWindowThread) {
    UseEndpoints({"http://127.0.0.1:" + std::to_string(ClosedPort()) + "/m", "http://127.0.0.1:1"});
    Window w;
    w.dialog.OnCommand(IDC_INSTALL);
    for (unsigned timer : {IDT_FIRST_CONNECT, IDT_RETRY_CONNECT, IDT_RETRY_CONNECT}) {
        w.dialog.OnMessage(WM_CONNECT_TIMER, timer);
        EXPECT_TRUE(w.host.timers.empty());  // killed; the probe runs on its own thread
        ASSERT_EQ(w.host.Deliver(w.dialog, 10000), 1);
        EXPECT_EQ(w.host.timers, (std::map<unsigned, unsigned>{{IDT_RETRY_CONNECT, 3000}}));
        EXPECT_EQ(w.Label("Label1"), "Trwa nawiązywanie połączenia...");
    }
    EXPECT_EQ(w.host.threadsStarted, 3);
}

TEST(WindowInstall, SuccessfulCheckStartsTheTwoThreads) {
    Window w;
    w.host.runThreads = false;  // they would outlive the window they post to
    w.dialog.OnCommand(IDC_INSTALL);
    w.dialog.OnMessage(WM_CONNECT_TIMER, IDT_FIRST_CONNECT);
    w.dialog.OnMessage(WM_PROBE_RESULT, 0);
    EXPECT_EQ(w.Label("Label1"), "Trwa pobieranie plików...");
    EXPECT_EQ(w.Label("Label2"), "");
    EXPECT_EQ(w.host.threadsStarted, 3);  // the probe, then progress and worker
    EXPECT_TRUE(w.host.timers.empty());
}

// ------------------------------------------------------------------ progress display

TEST(WindowProgress, PositionsMoveTheBarAndNinetyNineShowsCompletion) {
    Window w;
    EXPECT_EQ(w.dialog.OnDownloadProgress(50), 1);
    EXPECT_EQ(w.host.progress, 50);
    EXPECT_EQ(w.Label("Label1"), "Witaj w nowym Tovik!");

    EXPECT_EQ(w.dialog.OnDownloadProgress(99), 1);
    EXPECT_EQ(w.host.progress, 100);
    EXPECT_EQ(w.Label("Label1"), "<b>Pobieranie zakończone!</b>");
    EXPECT_EQ(w.Label("Label2"), "Trwa przygotowanie instalacji...");
    EXPECT_EQ(w.host.page["Table"]["height"], "100%");
    EXPECT_FALSE(w.dialog.IsEnding());

    w.host.progress = 7;
    EXPECT_EQ(w.dialog.OnDownloadProgress(-1), 0);
    EXPECT_EQ(w.dialog.OnDownloadProgress(101), 0);
    EXPECT_EQ(w.host.progress, 7);
    EXPECT_EQ(w.host.endResult, 0);
}

TEST(WindowKeyboard, FocusFollowsTheViewAndTheBarSaysTheRunAtATenth) {
    Window w;
    EXPECT_EQ(w.host.accessibleNames[IDC_ACCEPT], "Akceptuję licencję");
    w.dialog.OnCommand(IDC_LICENCE_LINK);
    EXPECT_EQ(w.host.focus, IDC_HIDE_LICENCE_LINK);
    w.dialog.OnCommand(IDC_HIDE_LICENCE_LINK);
    EXPECT_EQ(w.host.focus, IDC_LICENCE_LINK);
    w.dialog.OnCommand(IDC_LICENCE_LINK);
    w.dialog.OnCommand(IDC_INSTALL);  // from the licence view: the bar, not the link
    EXPECT_EQ(w.host.focus, IDC_PROGRESS);
    EXPECT_TRUE(w.Control(w.host.focus).visible);
    w.host.runThreads = false;
    w.dialog.OnProbeResult(0);
    for (int position : {1, 9, 10, 15, 31, 33, 98, 99, 100}) w.dialog.OnDownloadProgress(position);
    EXPECT_EQ(w.host.spoken, (std::vector<std::string>{"Trwa nawiązywanie połączenia...", "Trwa pobieranie plików...",
                                                       "Trwa pobieranie plików... 10%", "Trwa pobieranie plików... 30%",
                                                       "Trwa pobieranie plików... 90%", "Pobieranie zakończone!"}));
}

// ------------------------------------------------------------------ endings

namespace {

// The caller takes the report as soon as it appears.
void CallerTakesReport(Window& w, std::vector<std::string>& reports) {
    w.host.onTime = [&w, &reports](long long now) {
        const std::string text = ReadWholeFile(w.reportPath);
        if (text.empty()) return;
        reports.push_back(text);
        w.host.log.push_back("report taken at " + std::to_string(now));
        std::remove(w.reportPath.c_str());
    };
}

struct StatsEvents {
    ScriptedServer server{[](const ScriptedRequest&, int) { return ScriptedReply::Status(204); }};
    StatsEvents() { UseEndpoints({"http://127.0.0.1:1/m", server.Url("")}); }
    std::vector<std::string> Paths() const {
        std::vector<std::string> paths;
        for (const ScriptedRequest& r : server.Requests()) paths.push_back(r.target.substr(0, r.target.find('?')));
        return paths;
    }
};

}  // namespace

TEST(WindowEndings, CloseWhileConnectingSendsBothEventsAndReportsCancel) {
    StatsEvents stats;
    Window w;
    std::vector<std::string> reports;
    CallerTakesReport(w, reports);
    w.dialog.OnCommand(IDC_INSTALL);
    w.dialog.OnCancel();

    EXPECT_EQ(stats.Paths(), (std::vector<std::string>{"/Tovik-Downloader/evt/download-started",
                                                       "/Tovik-Downloader/evt/download-canceled"}));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0], Report("cancel", 0));
    EXPECT_TRUE(w.host.timers.empty());  // no connection check queued behind the ending
    // Hidden at once, the report 4 s later; the first look after it is taken ends the dialog.
    ASSERT_EQ(w.host.log.size(), 3u);
    const long long hidden = std::stoll(w.host.log[0].substr(8));
    EXPECT_EQ(w.host.log[1], "report taken at " + std::to_string(hidden + 4000 + 2863));
    EXPECT_EQ(w.host.log[2], "end 2 at " + std::to_string(hidden + 4000 + 2863));

    // Nothing starts a second ending.
    w.dialog.OnCancel();
    w.dialog.OnMessage(WM_DOWNLOAD_PROGRESS, 100);
    w.dialog.OnMessage(WM_DOWNLOAD_FAILED, 7);
    EXPECT_EQ(w.host.log.size(), 3u);
    EXPECT_EQ(stats.server.Requests().size(), 2u);
}

// The worker finishes at 1.5 s; or it verifies the file at 15 s and its
// download-succeeded is never answered: ok all the same, once the event's
// budget (10 s) and a little more have passed.
TEST(WindowEndings, CompletionWaitsForTheWorkerThenReportsOkWithTheSize) {
    StatsEvents stats;
    struct Case {
        std::atomic<bool>* flag;
        long long at, reportAt;
    };
    for (const Case c :
         {Case{&Progress().finished, 1500, 1500 + 2863}, Case{&Progress().verified, 15000, 15000 + 12000 + 2863}}) {
        Progress().finished = Progress().verified = false;
        Window w;
        std::vector<std::string> reports;
        CallerTakesReport(w, reports);
        Progress().reportedSize = 1234567;
        auto takeReport = w.host.onTime;
        w.host.onTime = [&](long long now) {
            if (now == c.at) c.flag->store(true, std::memory_order_release);
            takeReport(now);
        };
        w.dialog.OnDownloadProgress(99);
        w.dialog.OnDownloadProgress(100);
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_EQ(reports[0], Report("ok", 1234567));
        EXPECT_EQ(w.host.log, (std::vector<std::string>{"report taken at " + std::to_string(c.reportAt),
                                                        "end 1 at " + std::to_string(c.reportAt)}));
    }
    EXPECT_TRUE(stats.server.Requests().empty());  // the worker sends the events of a completion
}

TEST(WindowEndings, CompletionWithoutTheWorkerReportsFailAfterTwentySeconds) {
    Window w;
    Progress().reportedSize = 1234567;
    w.dialog.OnDownloadProgress(100);
    EXPECT_EQ(ReadWholeFile(w.reportPath), Report("fail", 0));  // never taken: the wait runs out
    EXPECT_EQ(w.host.log, (std::vector<std::string>{"end 1 at " + std::to_string(20000 + 31 * 2863)}));
}

TEST(WindowEndings, FailureShowsTheMessageThenEndsAsCancel) {
    StatsEvents stats;
    struct Case {
        std::uintptr_t code;
        int position;
    };
    for (const Case c : {Case{28, 100}, Case{0, 98}, Case{1, 0}}) {
        Window w;
        std::vector<std::string> reports;
        CallerTakesReport(w, reports);
        w.host.progress = c.position;
        w.dialog.OnMessage(WM_DOWNLOAD_FAILED, c.code);
        EXPECT_EQ(w.host.messageBoxes,
                  (std::vector<std::string>{"Wystąpił błąd pobierania. Spróbuj ponownie później."}));
        EXPECT_EQ(w.host.log.front(), "message box");
        EXPECT_EQ(w.host.endResult, kEndCancelled);
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_EQ(reports[0], Report("cancel", 0));
    }
}

TEST(WindowEndings, CodeZeroAtAFullBarIsACompletion) {
    Window w;
    Progress().reportedSize = 42;
    Progress().finished = true;
    w.host.progress = 100;
    w.dialog.OnMessage(WM_DOWNLOAD_FAILED, 0);
    EXPECT_TRUE(w.host.messageBoxes.empty());
    EXPECT_EQ(w.host.endResult, kEndCompleted);
    EXPECT_EQ(ReadWholeFile(w.reportPath), Report("ok", 42));
}

TEST(WindowEndings, CloseAfterTheWorkerFinishedReportsCancelWithTheRealSize) {
    StatsEvents stats;
    Window w;
    Progress().reportedSize = 777;
    Progress().finished = true;
    w.dialog.OnCancel();
    EXPECT_EQ(ReadWholeFile(w.reportPath), Report("cancel", 777));
}

// A thread that cannot be started never hangs the window: the check retries,
// the download fails, the ending's hits run on the window thread.
struct ThreadRefusal {
    const char* name;
    int threadsAllowed;  // the probe, the progress thread, the worker, the ending's helper
    bool failedDownload;
};

void PrintTo(const ThreadRefusal& c, std::ostream* out) { *out << c.name; }

class ThreadsRefused : public ::testing::TestWithParam<ThreadRefusal> {};

TEST_P(ThreadsRefused, NeverHangTheWindow) {
    const ThreadRefusal& c = GetParam();
    StatsEvents stats;
    Window w;
    std::vector<std::string> reports;
    CallerTakesReport(w, reports);
    w.host.runThreads = false;
    w.host.threadsAllowed = c.threadsAllowed;
    w.dialog.OnCommand(IDC_INSTALL);
    w.dialog.OnMessage(WM_CONNECT_TIMER, IDT_FIRST_CONNECT);
    if (!c.failedDownload) {
        EXPECT_EQ(w.host.timers, (std::map<unsigned, unsigned>{{IDT_RETRY_CONNECT, 3000}}));
        w.dialog.OnCancel();  // the helper cannot start either
    } else {
        w.dialog.OnMessage(WM_PROBE_RESULT, 0);
        EXPECT_EQ(w.host.messageBoxes.size(), 1u);
    }
    EXPECT_EQ(w.host.endResult, kEndCancelled);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0], Report("cancel", 0));
    EXPECT_EQ(stats.Paths(), (std::vector<std::string>{"/Tovik-Downloader/evt/download-started",
                                                       "/Tovik-Downloader/evt/download-canceled"}));
}

INSTANTIATE_TEST_SUITE_P(Cases, ThreadsRefused,
                         ::testing::Values(ThreadRefusal{"probe", 0, false}, ThreadRefusal{"progress", 1, true},
                                           ThreadRefusal{"worker", 2, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(WindowEndings, ReportThatCannotBeWrittenEndsWithoutWaitingForIt) {
    StatsEvents stats;
    // As root no folder's mode refuses a write; /proc/self refuses everyone.
    const std::string readOnly = ::geteuid() == 0 ? "/proc/self" : Window::MakeFolder();
    ::chmod(readOnly.c_str(), 0555);
    struct Case {
        const char* name;
        std::function<std::string(const std::string& folder)> path;
        long long fileSizeLimit;  // 0: none
    };
    const Case cases[] = {
        {"missing folder", [](const std::string& f) { return f + "/missing/report.ini"; }, 0},
        {"path is a folder", [](const std::string& f) { return f; }, 0},
        {"read-only folder", [&](const std::string&) { return readOnly + "/report.ini"; }, 0},
        {"full disk", [](const std::string& f) { return f + "/report.ini"; }, 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeHost host;
        const std::string folder = Window::MakeFolder();
        const std::string path = c.path(folder);
        CtovikDownloaderDlg dialog(host, path);
        rlimit saved{};
        ::getrlimit(RLIMIT_FSIZE, &saved);
        if (c.fileSizeLimit) {
            std::signal(SIGXFSZ, SIG_IGN);
            rlimit limited{static_cast<rlim_t>(c.fileSizeLimit), saved.rlim_max};
            ::setrlimit(RLIMIT_FSIZE, &limited);
        }
        testing::internal::CaptureStderr();
        dialog.OnCancel();
        platform::DrainStandardError(5000);  // written by a thread of its own
        const std::string said = testing::internal::GetCapturedStderr();
        ::setrlimit(RLIMIT_FSIZE, &saved);

        if (!c.fileSizeLimit) {  // the limit holds for the captured stream too
            EXPECT_NE(said.find("the report could not be written to \"" + path + "\""), std::string::npos) << said;
        }
        ASSERT_EQ(host.log.size(), 2u);
        const long long hidden = std::stoll(host.log[0].substr(8));
        EXPECT_EQ(host.log[1], "end 2 at " + std::to_string(hidden + 4000));  // no pickup wait
        struct stat st {};
        EXPECT_TRUE(::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) << "nothing half-written";
        std::system(("rm -rf " + folder).c_str());
    }
}

// ------------------------------------------------------------------ the whole road

TEST(WindowRoad, InstallDownloadAndCompletionWithRealThreads) {
    std::string content(700000, 'x');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + i / 251);
    ScriptedServer files([&](const ScriptedRequest& r, int) { return ServeRange(content, r); });
    // The probe's answer takes 6 s: slow, but it works.
    ScriptedServer metadata([&](const ScriptedRequest&, int index) {
        ScriptedReply reply = ScriptedReply::Status(
            200, "<size>700000</size><downloadUrl>" + files.Url("/installer.bin") + "</downloadUrl>");
        if (index == 0) reply.stallBeforeMs = 6000;
        return reply;
    });
    StatsEvents stats;
    UseEndpoints({metadata.Url("/downloader/installer-metadata/windows"), stats.server.Url("")});
    char folder[] = "/tmp/tovik-road-XXXXXX";
    ::setenv("TMPDIR", ::mkdtemp(folder), 1);

    Window w;
    std::vector<std::string> reports;
    CallerTakesReport(w, reports);
    w.host.controls[IDC_ACCEPT].checked = true;
    w.dialog.OnCommand(IDC_ACCEPT);
    w.dialog.OnCommand(IDC_INSTALL);
    w.dialog.OnMessage(WM_CONNECT_TIMER, IDT_FIRST_CONNECT);
    // Probe, then the progress thread's positions, until the ending.
    for (int rounds = 0; rounds < 500 && w.host.endResult == 0; ++rounds) w.host.Deliver(w.dialog, 100);

    EXPECT_EQ(w.host.endResult, kEndCompleted);
    EXPECT_EQ(w.host.progress, 100);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0], Report("ok", 700000));
    EXPECT_EQ(ReadWholeFile(std::string(folder) + "/toviksetup" + std::to_string(GetNameId()) + ".tmp"), content);
    EXPECT_EQ(stats.Paths(), (std::vector<std::string>{"/Tovik-Downloader/evt/download-started",
                                                       "/Tovik-Downloader/evt/download-succeeded"}));
    std::system((std::string("rm -rf ") + folder).c_str());
}

// ------------------------------------------------------------------ pacing

namespace {

struct OutOfTime {};

// Real progress as a function of fake time; the run stops after budgetMs.
class FakePacing : public PacingEnvironment {
public:
    FakePacing(std::function<std::pair<double, int>(long long)> progress, long long budgetMs)
        : progress_(std::move(progress)), budget_(budgetMs) {}
    void ReadProgress(double& elapsedMs, std::int32_t& percent) override {
        std::tie(elapsedMs, percent) = progress_(now);
    }
    void PostPosition(int position) override { posts.emplace_back(position, now); }
    void Sleep(unsigned ms) override {
        now += ms;
        pauses.push_back(ms);
        if (now > budget_) throw OutOfTime{};
    }
    long long now = 0;
    std::vector<std::pair<int, long long>> posts;  // position, time
    std::vector<unsigned> pauses;

private:
    std::function<std::pair<double, int>(long long)> progress_;
    long long budget_;
};

void Pace(FakePacing& pacing) {
    try {
        PaceProgress(pacing);
    } catch (const OutOfTime&) {
    }
}

}  // namespace

TEST(ProgressPacing, StuckAtZeroPostsNothing) {
    FakePacing pacing([](long long) { return std::make_pair(0.0, 0); }, 60000);
    Pace(pacing);
    EXPECT_TRUE(pacing.posts.empty());
    for (unsigned pause : pacing.pauses) EXPECT_EQ(pause, 100u);
}

TEST(ProgressPacing, OnePercentReleasesPositionsOneToThirtyOne) {
    FakePacing pacing([](long long) { return std::make_pair(3000.0, 1); }, 600000);
    Pace(pacing);
    ASSERT_EQ(pacing.posts.size(), 31u);
    for (int i = 0; i < 31; ++i) EXPECT_EQ(pacing.posts[i].first, i + 1);
    EXPECT_EQ(pacing.pauses[0], 1998u);  // 3000 ms * 0.666 / 1 %
}

TEST(ProgressPacing, PausesFollowTheMeasuredRateWithinTheirBounds) {
    EXPECT_EQ(PacingPause(20000, 10), 1332u);
    EXPECT_EQ(PacingPause(30000, 2), 5000u);
    EXPECT_EQ(PacingPause(1e9, 96), 5000u);
    EXPECT_EQ(PacingPause(1e9, 97), 100u);
    EXPECT_EQ(PacingPause(90000, 100), 100u);

    // Thresholds: position p needs p^4 / 1e6 percent.
    const std::pair<int, int> released[] = {{50, 7}, {75, 32}, {90, 66}, {99, 97}, {100, 100}};
    for (const auto& r : released) {
        EXPECT_GE(PacingThreshold(r.second), r.first);
        EXPECT_LT(PacingThreshold(r.second - 1), r.first);
    }

    FakePacing pacing([](long long) { return std::make_pair(20000.0, 10); }, 600000);
    Pace(pacing);
    ASSERT_EQ(pacing.posts.size(), 56u);  // sqrt(1000 * sqrt(10)) = 56.2
    EXPECT_EQ(pacing.posts[1].second - pacing.posts[0].second, 1332);
}

TEST(ProgressPacing, AFinishedDownloadRunsToOneHundredInTenthsOfASecond) {
    FakePacing pacing([](long long) { return std::make_pair(5000.0, 100); }, 600000);
    Pace(pacing);
    ASSERT_EQ(pacing.posts.size(), 100u);
    EXPECT_EQ(pacing.posts.back(), std::make_pair(100, 9900LL));
}

// ------------------------------------------------------------------ report

TEST(ResultReport, BytesAndNumbersAreExact) {
    EXPECT_EQ(FormatResultReport("ok", 1234567, ComputeNameId(4242, 1700001234)),
              "[tovikdownload]\r\nstatus=ok\r\nfileSize=1234567\r\nnameID=42421234\r\ninstallAuralo=no");
    EXPECT_EQ(ComputeNameId(300000, 1234), -1294966062);
    EXPECT_EQ(GetNameId(), GetNameId());
}

TEST(ResultReport, PathIsTheFirstArgumentThatIsNotASwitch) {
    EXPECT_EQ(ReportPathFromArguments({"-x", "/tmp/report.ini", "other"}), "/tmp/report.ini");
    EXPECT_EQ(ReportPathFromArguments({"report.ini"}), "report.ini");
    EXPECT_EQ(ReportPathFromArguments({"-a", "--b"}), "");
    EXPECT_EQ(ReportPathFromArguments({}), "");
}

TEST(ResultReport, PickupWaitEndsSoonAfterTheCallerTakesTheReport) {
    const std::string path = Window::MakeFolder() + "/r.ini";
    std::vector<unsigned> pauses;
    WriteResultReport(path, true);
    WaitForReportPickup(path, [&](unsigned ms) {
        pauses.push_back(ms);
        if (pauses.size() == 3) std::remove(path.c_str());
    });
    EXPECT_EQ(pauses, (std::vector<unsigned>{2863, 2863, 2863}));

    pauses.clear();
    WaitForReportPickup("", [&](unsigned ms) { pauses.push_back(ms); });
    EXPECT_EQ(pauses.size(), 1u);  // no path: one pause, then done

    WriteResultReport("/nonexistent-folder/r.ini", false);  // nothing to write to, nothing happens
    EXPECT_NE(::access("/nonexistent-folder/r.ini", F_OK), 0);
}
