// The download engine's text rules: element extraction and number scanning
// of the metadata document, the range text of a package, and the redirects a
// package answer may take.
#include <gtest/gtest.h>

#include "download/download_progress.h"
#include "download/installer_metadata.h"
#include "download/package_answer.h"
#include "download/package_transfer.h"
#include "stats/download_outcome.h"

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

// Each redirect chain from the package URL: whether the answer is refused as
// a downgrade from https to plain http.
TEST(PackageAnswer, RedirectFromHttpsToHttpIsRefused) {
    const struct {
        const char* url;
        std::vector<std::string> headers;
        bool refused;
    } cases[] = {
        {"https://a/i", {"HTTP/1.1 302 Found\r\n", "Location: http://b/i\r\n"}, true},
        {"HTTPS://a/i", {"HTTP/1.1 301 Moved\r\n", "location:HTTP://b/i\r\n"}, true},
        {"http://a/i",
         {"HTTP/1.1 301 Moved\r\n", "Location: https://b/i\r\n", "HTTP/1.1 302 Found\r\n", "Location: http://c/i\r\n"},
         true},
        {"http://a/i", {"HTTP/1.1 301 Moved\r\n", "Location: https://b/i\r\n"}, false},
        {"https://a/i", {"HTTP/1.1 302 Found\r\n", "Location: /mirror/i\r\n"}, false},
        {"https://a/i", {"HTTP/1.1 200 OK\r\n", "Location: http://b/i\r\n"}, false},  // not followed
        {"http://a/i", {"HTTP/1.1 302 Found\r\n", "Location: http://b/i\r\n"}, false},
    };
    for (const auto& c : cases) {
        PackageAnswer answer(nullptr, 0, 9, 10);
        answer.secure = IsHttpsUrl(c.url);
        bool aborted = false;
        for (std::string header : c.headers)
            aborted = aborted || ReadPackageHeader(&header[0], 1, header.size(), &answer) != header.size();
        EXPECT_EQ(aborted, c.refused) << c.url << " " << c.headers.back();
        EXPECT_EQ(JudgePackageAnswer(answer, aborted ? CURLE_WRITE_ERROR : CURLE_OK) == CURLE_UNSUPPORTED_PROTOCOL,
                  c.refused);
    }
}
