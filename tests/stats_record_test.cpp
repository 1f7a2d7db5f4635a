// The statistics record of one process and its events, against a scripted
// statistics server. Each test runs in its own process.
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <functional>
#include <thread>

#include "http/endpoints.h"
#include "http/user_agent.h"
#include "stats/download_outcome.h"
#include "stats/download_stats.h"
#include "support/scripted_server.h"

namespace {

struct StatsRecord : ::testing::Test {
    std::atomic<bool> slowFinalAnswer{false};
    ScriptedServer server{[this](const ScriptedRequest&, int) {
        ScriptedReply reply = ScriptedReply::Status(204);
        if (slowFinalAnswer) reply.stallBeforeMs = 300;
        return reply;
    }};
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
    EXPECT_EQ(stats.OutcomeMessage(133), "Downloaded file does not match metadata hash");
    EXPECT_EQ(stats.OutcomeMessage(135), "Installer signature not trusted");
    EXPECT_EQ(stats.OutcomeMessage(136), "Curl error.");

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
    // Claims are counted, not requests: the two threads share one client, and
    // a second send during the first fails inside libcurl unseen. The server
    // holds its answer, so the claims overlap any send.
    slowFinalAnswer = true;
    std::atomic<bool> go{false};
    std::atomic<int> claims{0};
    std::thread worker([&] {
        for (int i = 0; i < 100; ++i) DownloadStats::Instance().AddError(i, 7);
        while (!go) std::this_thread::yield();
        claims += DownloadStats::Instance().ReportOutcome(7);
    });
    std::thread window([&] {
        while (!go) std::this_thread::yield();
        claims += DownloadStats::Instance().ReportOutcome(kOutcomeUserCancel);
    });
    go = true;
    worker.join();
    window.join();

    EXPECT_EQ(claims, 1);
    const std::vector<std::string> targets = Targets();
    ASSERT_EQ(targets.size(), 2u);
    EXPECT_NE(targets[0].find("/download-started?"), std::string::npos);
    EXPECT_TRUE(targets[1].find("/download-failed?") != std::string::npos ||
                targets[1].find("/download-canceled?") != std::string::npos);
}

// What a final event that would not fit keeps: one case per process.
struct Overlong {
    const char* name;
    std::function<void(DownloadStats&)> fill;
    std::vector<std::string> parts;  // in the event, in this order
    std::vector<std::string> absent;
};

void PrintTo(const Overlong& c, std::ostream* out) { *out << c.name; }

const Overlong kOverlong[] = {
    {"error items",  // about 45 escaped bytes each: far past the buffer
     [](DownloadStats& s) {
         for (int i = 0; i < 20000; ++i) s.AddError(i, 28);
     },
     {"&url=http%3A%2F%2Fh%2Ff&errorCount=20000&errors=%5B%7B%22number%22%3A",
      "%7B%22number%22%3A19999%2C%22errCode%22%3A28%7D%5D&packageNumber=0"},
     {"%22number%22%3A0%2C"}},
    {"package times",  // 140,000 small packages of a large installer
     [](DownloadStats& s) {
         s.AddError(0, 7);
         for (int i = 0; i < 140000; ++i) s.AddPackageTime(i == 139999 ? 4321 : 1234);
     },
     {"&errorCount=1&errors=%5B%5D&packageNumber=140000&totalTime=172763087&packageTimes=%5B1234%2C", "1234%2C4321%5D"},
     {}},
    {"a resumed run's offset, last and whole",  // past 32 bits: a file over 4 GiB
     [](DownloadStats& s) {
         s.SetResumedFrom(5000000000LL);
         for (int i = 0; i < 140000; ++i) s.AddPackageTime(1234);
     },
     {"&packageNumber=140000&totalTime=172760000&packageTimes=%5B1234%2C", "1234%5D&resumedFrom=5000000000"},
     {}},
    {"a download URL too long for any event",
     [](DownloadStats& s) {
         s.SetUrl(std::string(600000, 'u'));
         s.AddPackageTime(5);
     },
     {"&url=&errorCount=0&errors=%5B%5D&packageNumber=1&totalTime=5&packageTimes=%5B5%5D"},
     {}},
};

class OverlongEvent : public StatsRecord, public ::testing::WithParamInterface<Overlong> {};

TEST_P(OverlongEvent, KeepsItsCountsAndDropsWholeItemsOldestFirst) {
    DownloadStats& stats = DownloadStats::Instance();
    stats.SetUrl("http://h/f");
    GetParam().fill(stats);
    stats.ReportOutcome(28);

    const std::vector<std::string> targets = Targets();
    ASSERT_EQ(targets.size(), 2u);
    const std::string& event = targets[1];
    EXPECT_LT(server.Url("").size() + event.size(), DownloadStats::kEventUrlCapacity);
    std::size_t at = 0;
    for (const std::string& part : GetParam().parts) {
        at = event.find(part, at);
        EXPECT_NE(at, std::string::npos) << part;
    }
    for (const std::string& part : GetParam().absent) EXPECT_EQ(event.find(part), std::string::npos) << part;
    for (std::size_t i = event.find('%'); i != std::string::npos; i = event.find('%', i + 1))
        ASSERT_TRUE(i + 2 < event.size() && std::isxdigit(event[i + 1]) && std::isxdigit(event[i + 2])) << i;
}

INSTANTIATE_TEST_SUITE_P(Cases, OverlongEvent, ::testing::ValuesIn(kOverlong), [](const auto& info) {
    std::string name;
    for (const char* p = info.param.name; *p; ++p) name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return name;
});

TEST_F(StatsRecord, FinalEventIsOneMomentWhileTheWorkerAppends) {
    DownloadStats& stats = DownloadStats::Instance();
    std::atomic<bool> stop{false};
    std::thread worker([&] {
        for (int i = 0; i < 3000 && !stop; ++i) {  // few enough that nothing is trimmed
            stats.AddPackageTime(1.0);
            stats.AddError(0, 7);
            std::this_thread::sleep_for(std::chrono::microseconds(5));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stats.ReportOutcome(kOutcomeUserCancel);
    stop = true;
    worker.join();

    ASSERT_EQ(Targets().size(), 2u);
    const std::string event = Targets()[1];
    auto number = [&](const std::string& key) {
        return std::stoll(event.substr(event.find("&" + key + "=") + key.size() + 2));
    };
    auto items = [&](const std::string& key, const std::string& item) {
        const std::size_t begin = event.find("&" + key + "="), end = event.find('&', begin + 1);
        long long count = 0;
        for (std::size_t i = event.find(item, begin); i < end; i = event.find(item, i + 1)) ++count;
        return count;
    };
    EXPECT_GT(number("packageNumber"), 0);
    EXPECT_EQ(number("totalTime"), number("packageNumber"));
    EXPECT_EQ(items("packageTimes", "1"), number("packageNumber"));
    EXPECT_EQ(items("errors", "errCode"), number("errorCount"));
}
