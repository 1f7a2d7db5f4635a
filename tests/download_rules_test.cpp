// The download engine's text rules: element extraction and number scanning
// of the metadata document, and the range text of a package.
#include <gtest/gtest.h>

#include "download/download_progress.h"
#include "download/installer_metadata.h"
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
