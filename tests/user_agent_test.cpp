// The User-Agent text: version, operating system and sanitised branding.
#include <gtest/gtest.h>

#include "http/user_agent.h"
#include "platform/platform.h"

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
