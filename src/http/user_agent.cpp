#include "http/user_agent.h"

#include <algorithm>
#include <mutex>

#include "http/program_version.h"
#include "platform/platform.h"

const char* const programVersion = TOVIK_PROGRAM_VERSION;
const char* const branding = "Tovik";

namespace {
// Written once by the thread that creates the statistics record, possibly
// while a probe on another thread reads it. Never destroyed: threads still in
// a transfer at exit may read it.
std::mutex& userAgentMutex = *new std::mutex;
std::string& userAgent = *new std::string;
}  // namespace

std::string UserAgent() {
    std::lock_guard<std::mutex> lock(userAgentMutex);
    return userAgent;
}

std::string FormatUserAgent(const std::string& osFamily, const std::string& osVersion, std::string brandingText) {
    // The branding sits inside a parenthesised, semicolon-separated comment.
    std::replace(brandingText.begin(), brandingText.end(), ';', ',');
    std::replace(brandingText.begin(), brandingText.end(), '(', '[');
    std::replace(brandingText.begin(), brandingText.end(), ')', ']');
    return std::string("Tovik-Lumen-Downloader/") + programVersion + " (OS;" + osFamily + ";" + osVersion +
           ") (BRANDING;" + brandingText + ")";
}

void BuildUserAgent() {
    std::string text = FormatUserAgent(platform::OsFamily(), platform::OsVersionText(), branding);
    std::lock_guard<std::mutex> lock(userAgentMutex);
    userAgent = std::move(text);
}
