#include "http/user_agent.h"

#include <algorithm>

#include "platform/platform.h"

const char* const programVersion = "2.1.2";
const char* const branding = "Tovik";

namespace {
// Written once by the thread that creates the statistics record, before any
// request that reads it is made. Never destroyed: threads still in a transfer
// at exit may read it.
std::string& userAgent = *new std::string;
}  // namespace

const std::string& UserAgent() { return userAgent; }

std::string FormatUserAgent(const std::string& osFamily, const std::string& osVersion,
                            std::string brandingText) {
    // The branding sits inside a parenthesised, semicolon-separated comment.
    std::replace(brandingText.begin(), brandingText.end(), ';', ',');
    std::replace(brandingText.begin(), brandingText.end(), '(', '[');
    std::replace(brandingText.begin(), brandingText.end(), ')', ']');
    return std::string("Tovik-Lumen-Downloader/") + programVersion + " (OS;" + osFamily + ";" +
           osVersion + ") (BRANDING;" + brandingText + ")";
}

void BuildUserAgent() {
    userAgent = FormatUserAgent(platform::OsFamily(), platform::OsVersionText(), branding);
}
