// One libcurl easy handle and the fixed option group of each request kind.
// A request's outcome is libcurl's result code alone; the HTTP status is never read.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <memory>
#include <string>

// Where a package request delivers its body and headers, and whom its
// progress function reports to.
struct RangeReceiver {
    curl_write_callback writeBody;
    curl_write_callback writeHeader;
    void* data;
    curl_progress_callback onProgress;
    void* progressContext;
};

// What a run's final event may take in all, its direct resend included: the
// window waits no longer than this for its answer.
constexpr long kFinalEventBudgetMs = 10000;

class HttpClient {
public:
    HttpClient() : handle_(curl_easy_init()) {}
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    static void GlobalInit();

    bool HasHandle() const { return handle_ != nullptr; }
    CURL* Handle() const { return handle_.get(); }
    void Renew();

    CURLcode ProbeUrl(const std::string& url);
    CURLcode FetchDocument(const std::string& url, curl_write_callback write, void* data);
    CURLcode FetchRange(const std::string& url, const char* range, const RangeReceiver& receiver);
    void SendStartHit(const std::string& url);
    void SendFinalHit(const std::string& url);

private:
    struct Cleanup {
        void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
    };
    std::unique_ptr<CURL, Cleanup> handle_;
};

// A write function that keeps nothing and lets the transfer go on.
std::size_t DiscardBody(char* data, std::size_t size, std::size_t count, void* userData);
