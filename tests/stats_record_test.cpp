// The statistics record of one process and its events, against a scripted
// statistics server. Each test runs in its own process.
#include <gtest/gtest.h>

#include <thread>

#include "download/download_outcome.h"
#include "http/endpoints.h"
#include "http/user_agent.h"
#include "stats/download_stats.h"
#include "support/scripted_server.h"

namespace {

struct StatsRecord : ::testing::Test {
    ScriptedServer server{[](const ScriptedRequest&, int) { return ScriptedReply::Status(204); }};
    void SetUp() override { UseEndpoints({"http://127.0.0.1:1/unused", server.Url("")}); }

    std::vector<std::string> Targets() const {
        std::vector<std::string> targets;
        for (const ScriptedRequest& r : server.Requests()) targets.push_back(r.target);
        return targets;
    }
};

}  // namespace

TEST_F(StatsRecord, CreationSendsStartedAndTheListsFormatAsSent) {
    DownloadStats& stats = DownloadStats::Instance();
    EXPECT_EQ(&stats, &DownloadStats::Instance());
    ASSERT_EQ(Targets().size(), 1u);
    EXPECT_EQ(Targets()[0], "/Tovik-Downloader/evt/download-started?id=" + stats.DownloadId() + "&branding=Tovik");
    EXPECT_EQ(server.Requests()[0].Header("user-agent"), UserAgent());
    EXPECT_FALSE(UserAgent().empty());

    EXPECT_EQ(stats.FormatErrors(), "[]");
    EXPECT_EQ(stats.FormatPackageTimes(), "[]");
    EXPECT_EQ(stats.TotalTime(), 0);

    stats.SetUrl("http://h/f x");
    stats.AddError(3, 28);
    stats.AddError(3, 56);
    stats.AddPackageTime(1532.97);
    stats.AddPackageTime(0.4);
    stats.AddPackageTime(3101);
    EXPECT_EQ(stats.FormatErrors(), "[{\"number\":3,\"errCode\":28},{\"number\":3,\"errCode\":56}]");
    EXPECT_EQ(stats.FormatPackageTimes(), "[1532,0,3101]");
    EXPECT_EQ(stats.TotalTime(), 4633);
    EXPECT_EQ(stats.ErrorCount(), 2u);
    EXPECT_EQ(stats.PackageNumber(), 3u);
    EXPECT_EQ(stats.OutcomeMessage(134), "User cancel");
    EXPECT_EQ(stats.OutcomeMessage(0), "Success");
    EXPECT_EQ(stats.OutcomeMessage(28), "Curl error.");
    EXPECT_EQ(stats.OutcomeMessage(133), "Curl error.");

    stats.ReportOutcome(kOutcomeSuccess);
    stats.ReportOutcome(kOutcomeUserCancel);  // a final event already went out
    ASSERT_EQ(Targets().size(), 2u);
    EXPECT_EQ(Targets()[1], "/Tovik-Downloader/evt/download-succeeded?id=" + stats.DownloadId() +
                                "&branding=Tovik&url=http%3A%2F%2Fh%2Ff%20x&errorCount=2"
                                "&errors=%5B%7B%22number%22%3A3%2C%22errCode%22%3A28%7D%2C%7B%22number%22%3A3"
                                "%2C%22errCode%22%3A56%7D%5D&packageNumber=3&totalTime=4633"
                                "&packageTimes=%5B1532%2C0%2C3101%5D");
}

TEST_F(StatsRecord, OneRecordAndOneFinalEventWhenThreadsRace) {
    DownloadStats* seen[2] = {};
    {
        std::thread a([&] { seen[0] = &DownloadStats::Instance(); });
        std::thread b([&] { seen[1] = &DownloadStats::Instance(); });
        a.join();
        b.join();
    }
    EXPECT_EQ(seen[0], seen[1]);
    std::thread worker([] {
        for (int i = 0; i < 100; ++i) DownloadStats::Instance().AddError(i, 7);
        DownloadStats::Instance().ReportOutcome(7);
    });
    std::thread window([] { DownloadStats::Instance().ReportOutcome(kOutcomeUserCancel); });
    worker.join();
    window.join();

    const std::vector<std::string> targets = Targets();
    ASSERT_EQ(targets.size(), 2u);
    EXPECT_NE(targets[0].find("/download-started?"), std::string::npos);
    EXPECT_TRUE(targets[1].find("/download-failed?") != std::string::npos ||
                targets[1].find("/download-canceled?") != std::string::npos);
}

TEST_F(StatsRecord, OverlongEventDropsOldestErrorsButKeepsTheirCount) {
    DownloadStats& stats = DownloadStats::Instance();
    stats.SetUrl("http://h/f");
    const int failures = 20000;  // about 45 escaped bytes each: far past the buffer
    for (int i = 0; i < failures; ++i) stats.AddError(i, 28);
    stats.ReportOutcome(28);

    const std::vector<std::string> targets = Targets();
    ASSERT_EQ(targets.size(), 2u);
    const std::string& event = targets[1];
    EXPECT_LT(server.Url("").size() + event.size(), DownloadStats::kEventUrlCapacity);
    EXPECT_GT(event.size(), DownloadStats::kEventUrlCapacity - 100);  // dropped no more than needed
    EXPECT_NE(event.find("&errorCount=20000&errors=%5B%7B%22number%22%3A"), std::string::npos);
    EXPECT_EQ(event.find("%22number%22%3A0%2C"), std::string::npos);  // the oldest went first
    EXPECT_NE(event.find("%7B%22number%22%3A19999%2C%22errCode%22%3A28%7D%5D&packageNumber=0"), std::string::npos);
}
