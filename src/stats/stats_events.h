// URLs of the four statistics events. Every text value is escaped with
// curl_easy_escape; numbers are written as they are.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <string>
#include <vector>

// Owns the escaped copies made for one URL and frees them with curl_free.
class EscapedArgs {
public:
    explicit EscapedArgs(CURL* handle) : handle_(handle) {}
    EscapedArgs(const EscapedArgs&) = delete;
    EscapedArgs& operator=(const EscapedArgs&) = delete;
    ~EscapedArgs();

    // nullptr when libcurl could not make the copy.
    const char* Escape(const std::string& text);

private:
    CURL* handle_;
    std::vector<char*> copies_;
};

// The length of text once escaped: unreserved bytes stay, others take three.
std::size_t EscapedLength(const std::string& text);

struct FinalEventValues {
    std::string id;
    std::string branding;
    int code = 0;
    std::string message;
    std::string url;
    int errorCount = 0;
    std::string errors;
    int packageNumber = 0;
    int totalTime = 0;
    std::string packageTimes;
};

// Each writes base + the event's path and query into out (capacity bytes with
// the terminating zero) and returns the length the whole URL needs, as
// snprintf does; -1 when an escaped copy could not be made. A URL that does
// not fit is not written at all.
int FormatStartedUrl(CURL* handle, char* out, std::size_t capacity, const std::string& base,
                     const std::string& id, const std::string& branding);
int FormatCanceledUrl(CURL* handle, char* out, std::size_t capacity, const std::string& base,
                      const FinalEventValues& values);
int FormatFailedUrl(CURL* handle, char* out, std::size_t capacity, const std::string& base,
                    const FinalEventValues& values);
int FormatSucceededUrl(CURL* handle, char* out, std::size_t capacity, const std::string& base,
                       const FinalEventValues& values);
