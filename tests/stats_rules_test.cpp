// The statistics' text rules: the download id, escaping and the event URLs.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "stats/download_id.h"
#include "stats/stats_events.h"

TEST(GenerateDownloadId, FollowsTheRandRecurrence) {
    RandGenerator generator(1);
    EXPECT_EQ(generator.Next(), 41);
    EXPECT_EQ(generator.Next(), 18467);
    EXPECT_EQ(generator.Next(), 6334);

    const std::string id = GenerateDownloadId(1, 1);
    ASSERT_EQ(id.size(), 32u);
    EXPECT_EQ(id.substr(0, 3), "FRa");           // positions 41, 53 and 10 of the alphabet
    EXPECT_EQ(id.substr(0, 16), id.substr(16));  // equal seeds, the same half twice

    const std::string a = GenerateDownloadId(1700000000, 4242), b = GenerateDownloadId(1700000000, 4243);
    EXPECT_EQ(a.substr(0, 16), b.substr(0, 16));
    EXPECT_NE(a.substr(16), b.substr(16));
    for (std::uint32_t seed : {0u, 7u, 0xFFFFFFFFu}) {
        const std::string ids = GenerateDownloadId(seed, seed * 31);
        EXPECT_EQ(ids.find_first_not_of("0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"),
                  std::string::npos);
    }
}

TEST(Escaping, MatchesLibcurlAndItsLengthRule) {
    const std::string samples[] = {"",
                                   "Tovik",
                                   "Can't find file size in metadata xml",
                                   "[1532,1490,1611]",
                                   "{\"number\":0,\"errCode\":28}",
                                   "http://h:80/a b?x=1&y=~._-",
                                   std::string("\x00\xff\x80", 3)};
    for (const std::string& s : samples) {
        std::unique_ptr<char, void (*)(void*)> escaped(curl_easy_escape(nullptr, s.c_str(), 0), curl_free);
        EXPECT_EQ(EscapedLength(s.c_str()), std::strlen(escaped.get())) << s;
    }
}

TEST(EventUrls, HaveExactKeysAndEscapedValues) {
    char url[2048];
    ASSERT_GT(FormatStartedUrl(nullptr, url, sizeof url, "http://s", "abc", "Tovik"), 0);
    EXPECT_STREQ(url, "http://s/Tovik-Downloader/evt/download-started?id=abc&branding=Tovik");

    FinalEventValues v;
    v.id = "ID";
    v.branding = "Tovik";
    v.code = 128;
    v.message = "Can't find file size in metadata xml";
    v.url = "http://h/f";
    v.errorCount = 1;
    v.errors = "[{\"number\":0,\"errCode\":28}]";
    v.packageNumber = 3;
    v.totalTime = 4633;
    v.packageTimes = "[1532,1490,1611]";
    const std::string tail =
        "url=http%3A%2F%2Fh%2Ff&errorCount=1&errors=%5B%7B%22number%22%3A0%2C%22errCode%22%3A28%7D%5D"
        "&packageNumber=3&totalTime=4633&packageTimes=%5B1532%2C1490%2C1611%5D";
    FormatFailedUrl(nullptr, url, sizeof url, "http://s", v);
    EXPECT_EQ(std::string(url),
              "http://s/Tovik-Downloader/evt/download-failed?id=ID&branding=Tovik&errorCode=128"
              "&errorMsg=Can%27t%20find%20file%20size%20in%20metadata%20xml&" +
                  tail);
    FormatCanceledUrl(nullptr, url, sizeof url, "http://s", v);
    EXPECT_EQ(std::string(url), "http://s/Tovik-Downloader/evt/download-canceled?id=ID&branding=Tovik&" + tail);
    FormatSucceededUrl(nullptr, url, sizeof url, "http://s", v);
    EXPECT_EQ(std::string(url), "http://s/Tovik-Downloader/evt/download-succeeded?id=ID&branding=Tovik&" + tail);

    // Too small a buffer: the needed length comes back and nothing is cut.
    char small[32] = "untouched";
    EXPECT_GT(FormatSucceededUrl(nullptr, small, sizeof small, "http://s", v), 31);
    EXPECT_STREQ(small, "untouched");
}
