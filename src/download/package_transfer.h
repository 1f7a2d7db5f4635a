// The installer file in consecutive byte-range packages, each on a renewed
// handle, with up to MaxPackageAttempts consecutive attempts per package.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

#include "download/background_digest.h"
#include "http/http_client.h"
#include "platform/platform.h"

constexpr int MaxPackageAttempts = 5;

// Milliseconds before the second to fifth attempt of a package.
using RetryPauses = std::array<unsigned, MaxPackageAttempts - 1>;
constexpr RetryPauses kRetryPauses = {500, 1000, 2000, 4000};
// Tests shorten the pauses before any download starts; the product keeps kRetryPauses.
void UseRetryPauses(const RetryPauses& pauses);

// Writes the bytes of url from `from` (0, or a package boundary up to which
// the file holds them already) to totalSize into file (open for writing,
// positioned at from). window is the progress context libcurl hands to the
// progress function. digest, when given, is handed every byte written, with
// each attempt's end: committed when its package arrived whole, rolled back
// when not. Package indices go on from the packages the record has. Returns 0
// when every package arrived, else the libcurl code of the attempt that
// exhausted its package's attempts.
int TransferPackages(HttpClient& client, const std::string& url, std::int64_t totalSize, std::int64_t packageSize,
                     std::int64_t from, std::FILE* file, WindowHandle window, BackgroundDigest* digest = nullptr);

// Publishes the percent of the bytes written when it has changed.
void PublishProgress();

// "first-last", both inclusive, as the Range header wants them.
std::string FormatRange(std::int64_t first, std::int64_t last);
