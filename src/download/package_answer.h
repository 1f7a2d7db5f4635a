// The judge of one package answer: exactly the requested bytes at the
// requested offset, or the attempt fails. Its two functions are libcurl's
// header and write callbacks of a package request.
#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "download/background_digest.h"

struct PackageAnswer {
    PackageAnswer(std::FILE* f, std::int64_t firstByte, std::int64_t lastByte, std::int64_t size)
        : file(f), first(firstByte), last(lastByte), fileSize(size) {}

    std::FILE* file;  // positioned at first
    std::int64_t first;
    std::int64_t last;      // inclusive
    std::int64_t fileSize;  // a plain 200 is right only for a range covering the whole file
    std::int64_t received = 0;
    int status = 0;
    std::string contentRange;
    BackgroundDigest* digest = nullptr;  // when set, every byte written is handed to it
    bool secure = false;                 // the request now being answered is https
    bool judged = false;
    CURLcode rejected = CURLE_OK;

    std::int64_t Length() const { return last - first + 1; }
};

// Whether url's scheme is https, in any case: the answer's starting point.
bool IsHttpsUrl(const std::string& url);

// CURLOPT_HEADERFUNCTION: notes the final response's status and Content-Range;
// refuses a redirect from https to plain http (a downgrade anyone on the path
// could then answer).
std::size_t ReadPackageHeader(char* data, std::size_t size, std::size_t count, void* answer);
// CURLOPT_WRITEFUNCTION: writes the body into the file, never past the
// package's end; refuses an answer that is not the requested range.
std::size_t WritePackageData(char* data, std::size_t size, std::size_t count, void* answer);

// The attempt's result once libcurl has returned transferCode: CURLE_OK only
// for exactly the requested bytes, handed to the OS.
CURLcode JudgePackageAnswer(const PackageAnswer& answer, CURLcode transferCode);
