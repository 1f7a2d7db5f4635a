// Request kinds whose behaviour the callers rely on: the probe's verdict and
// its silence, and which hits follow redirects.
#include "http/http_client.h"

#include <gtest/gtest.h>

#include <chrono>

#include "support/scripted_server.h"

TEST(ProbeUrl, AnyCompletedExchangeIsReachableAndTheBodyIsDiscarded) {
    ScriptedServer server([](const ScriptedRequest& r, int) {
        if (r.target == "/moved") return ScriptedReply::Redirect("/elsewhere");
        if (r.target == "/broken") return ScriptedReply::Status(500, "PROBE-BODY-500");
        return ScriptedReply::Status(200, "PROBE-BODY-200");
    });
    testing::internal::CaptureStdout();
    for (const char* path : {"/ok", "/moved", "/broken"}) {
        HttpClient probe;
        EXPECT_EQ(probe.ProbeUrl(server.Url(path)), CURLE_OK) << path;
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(server.Requests().size(), 3u);  // the redirect was not followed

    HttpClient refused;
    EXPECT_EQ(refused.ProbeUrl("http://127.0.0.1:" + std::to_string(ClosedPort()) + "/"), CURLE_COULDNT_CONNECT);
}

TEST(ProbeUrl, SlowServerIsReachableAndSilentOneIsBounded) {
    struct Case {
        int silenceMs;
        CURLcode expected;
        int withinSeconds;
    };
    for (const Case c : {Case{6000, CURLE_OK, 8}, Case{60000, CURLE_OPERATION_TIMEDOUT, 14}}) {
        ScriptedServer server([&c](const ScriptedRequest&, int) {
            ScriptedReply reply = ScriptedReply::Status(200);
            reply.stallBeforeMs = c.silenceMs;
            return reply;
        });
        const auto started = std::chrono::steady_clock::now();
        HttpClient probe;
        EXPECT_EQ(probe.ProbeUrl(server.Url("/")), c.expected) << c.silenceMs;
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(c.withinSeconds));
    }
}

TEST(StatisticsHits, StartHitFollowsRedirectsAndFinalHitDoesNot) {
    ScriptedServer server([](const ScriptedRequest& r, int) {
        return r.target == "/landing" ? ScriptedReply::Status(204) : ScriptedReply::Redirect("/landing");
    });
    HttpClient start;
    start.SendStartHit(server.Url("/start"));
    ASSERT_EQ(server.Requests().size(), 2u);
    EXPECT_EQ(server.Requests()[1].target, "/landing");

    HttpClient final;
    final.SendFinalHit(server.Url("/final"));
    EXPECT_EQ(server.Requests().size(), 3u);
}

TEST(StatisticsHits, ASilentServerCostsEachEventItsBudgetAndNoMore) {
    ScriptedServer server([](const ScriptedRequest&, int) {
        ScriptedReply reply = ScriptedReply::Status(204);
        reply.stallBeforeMs = 30000;  // holds every event far past its budget
        return reply;
    });
    struct Case {
        const char* kind;
        void (HttpClient::*send)(const std::string&);
        int atLeastMs, atMostMs;
    };
    for (const Case c : {Case{"start", &HttpClient::SendStartHit, 4500, 6500},
                         Case{"final", &HttpClient::SendFinalHit, 9500, 11500}}) {
        const auto started = std::chrono::steady_clock::now();
        HttpClient client;
        (client.*c.send)(server.Url("/evt"));
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
        EXPECT_GE(ms, c.atLeastMs) << c.kind;
        EXPECT_LE(ms, c.atMostMs) << c.kind;
    }
}
