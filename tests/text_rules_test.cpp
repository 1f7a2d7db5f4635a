// Byte-level rules: element extraction, number scanning, ids, ranges,
// escaping and the User-Agent.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "download/download_progress.h"
#include "download/installer_metadata.h"
#include "download/package_transfer.h"
#include "http/user_agent.h"
#include "platform/platform.h"
#include "stats/download_id.h"
#include "stats/download_outcome.h"
#include "stats/stats_events.h"

TEST(ExtractElementText, SearchesBothTagsFromTheStart) {
    EXPECT_EQ(ExtractElementText("<a>x</a>", "<a>", "</a>"), "x");
    EXPECT_EQ(ExtractElementText("<a></a>", "<a>", "</a>"), "");
    EXPECT_EQ(ExtractElementText("<b>x</b>", "<a>", "</a>"), "");
    EXPECT_EQ(ExtractElementText("<a>x", "<a>", "</a>"), "");
    // Only the first of repeated elements counts; nothing is trimmed or decoded.
    EXPECT_EQ(ExtractElementText("<a> &amp; </a><a>y</a>", "<a>", "</a>"), " &amp; ");
    // A closing tag before the opening one: the value runs to the end.
    EXPECT_EQ(ExtractElementText("</size><size>12 tail", "<size>", "</size>"), "12 tail");
    // Case-sensitive, and attributes hide an element.
    EXPECT_EQ(ExtractElementText("<Size>1</Size>", "<size>", "</size>"), "");
    EXPECT_EQ(ExtractElementText("<size a='1'>1</size>", "<size>", "</size>"), "");
    // "<size>" is not inside "<suggestedPackageSize>".
    EXPECT_EQ(ExtractElementText("<suggestedPackageSize>5</suggestedPackageSize>", "<size>", "</size>"), "");
}

struct ParseCase {
    const char* document;
    int outcome;
    long long size;
    long long packageSize;
    const char* url;
};

TEST(ParseMetadataDocument, ReadsTheFourElements) {
    const ParseCase cases[] = {
        {"<size>1048576</size><downloadUrl>http://h/f</downloadUrl>", kOutcomeSuccess, 1048576, 307200, "http://h/f"},
        {"<m><downloadUrl>u</downloadUrl><hash>ab</hash><size> 42 x</size>"
         "<suggestedPackageSize>1000</suggestedPackageSize></m>",
         kOutcomeSuccess, 42, 1000, "u"},
        // No real installer is empty: a size that is no positive number is no size.
        {"<size>0</size><downloadUrl>u</downloadUrl>", kOutcomeFileSizeMissing, 0, 307200, ""},
        {"<size>-5</size><downloadUrl>u</downloadUrl>", kOutcomeFileSizeMissing, 0, 307200, ""},
        {"<size>abc</size><downloadUrl>u</downloadUrl>", kOutcomeFileSizeMissing, 0, 307200, ""},
        {"<size>10</size><downloadUrl>\nu</downloadUrl>", kOutcomeSuccess, 10, 307200, "\nu"},
        // 9 GiB: sizes are 64-bit.
        {"<size>9663676416</size><downloadUrl>u</downloadUrl><suggestedPackageSize>4294967296</suggestedPackageSize>",
         kOutcomeSuccess, 9663676416LL, 4294967296LL, "u"},
        // A package size that would never advance falls back to the default.
        {"<size>10</size><downloadUrl>u</downloadUrl><suggestedPackageSize>0</suggestedPackageSize>", kOutcomeSuccess,
         10, 307200, "u"},
        {"<size>10</size><downloadUrl>u</downloadUrl><suggestedPackageSize>-7</suggestedPackageSize>", kOutcomeSuccess,
         10, 307200, "u"},
        {"<size>10</size><downloadUrl>u</downloadUrl><suggestedPackageSize>z</suggestedPackageSize>", kOutcomeSuccess,
         10, 307200, "u"},
        {"<size></size><downloadUrl>u</downloadUrl>", kOutcomeFileSizeMissing, 0, 307200, ""},
        {"", kOutcomeFileSizeMissing, 0, 307200, ""},
        {"<html>404 Not Found</html>", kOutcomeFileSizeMissing, 0, 307200, ""},
        {"<size>10</size><hash></hash>", kOutcomeDownloadUrlMissing, 10, 307200, ""},
        {"<size>10</size><downloadUrl></downloadUrl>", kOutcomeDownloadUrlMissing, 10, 307200, ""},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.document);
        Progress().totalSize = 0;
        Progress().reportedSize = 0;
        InstallerMetadata metadata;
        EXPECT_EQ(ParseMetadataDocument(c.document, metadata), c.outcome);
        EXPECT_EQ(Progress().totalSize.load(), c.size);
        EXPECT_EQ(metadata.downloadUrl, c.url);
        if (c.outcome == kOutcomeSuccess) {
            EXPECT_EQ(metadata.suggestedPackageSize, c.packageSize);
            EXPECT_EQ(Progress().reportedSize.load(), c.size);
        } else {
            EXPECT_EQ(Progress().reportedSize.load(), 0);  // only a complete document is reported
        }
    }
}

TEST(FormatRange, IsInclusiveDecimalWith64BitOffsets) {
    EXPECT_EQ(FormatRange(0, 0), "0-0");
    EXPECT_EQ(FormatRange(921600, 999999), "921600-999999");
    EXPECT_EQ(FormatRange(2147483648LL, 4294967296LL), "2147483648-4294967296");
}

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

TEST(UserAgent, CarriesVersionOsAndSanitisedBranding) {
    EXPECT_EQ(FormatUserAgent("Windows", "Windows NT 6.1", "Tovik"),
              "Tovik-Lumen-Downloader/2.1.2 (OS;Windows;Windows NT 6.1) (BRANDING;Tovik)");
    EXPECT_EQ(FormatUserAgent("Windows", "Windows NT 0.0", "a;b(c)"),
              "Tovik-Lumen-Downloader/2.1.2 (OS;Windows;Windows NT 0.0) (BRANDING;a,b[c])");
    EXPECT_TRUE(UserAgent().empty());  // nothing until the statistics record exists
    BuildUserAgent();
    EXPECT_EQ(UserAgent(), "Tovik-Lumen-Downloader/2.1.2 (OS;" + platform::OsFamily() + ";" +
                               platform::OsVersionText() + ") (BRANDING;Tovik)");
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
    EXPECT_EQ(EscapedLength("{\"number\":0,\"errCode\":28}"),
              std::strlen("%7B%22number%22%3A0%2C%22errCode%22%3A28%7D"));
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
