// URLs of the four statistics events. Every text value is escaped with
// curl_easy_escape; numbers are written as they are.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
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

// One moment of the statistics record: everything a final event tells.
struct FinalEventRecord {
    std::string id;
    std::string branding;
    std::string url;
    std::vector<std::int32_t> errorNumbers;  // errorCodes has the same length
    std::vector<std::int32_t> errorCodes;
    std::vector<std::int32_t> packageTimes;
    std::int64_t resumedFrom = 0;  // the byte from which the file handed over was downloaded by this run
};

// A final event as its URL says it: a view of a record with the run's
// outcome, its lists written as texts (and, where the URL must be shorter,
// without their oldest items or with a text emptied).
struct FinalEventValues {
    FinalEventValues() = default;
    FinalEventValues(const FinalEventRecord& record, std::int32_t outcome, const std::string& outcomeMessage);

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
    std::int64_t resumedFrom = 0;
};

// Each writes base + the event's path and query into out (capacity bytes with
// the terminating zero) and returns the length the whole URL needs, as
// snprintf does; -1 when an escaped copy could not be made. A URL that does
// not fit is not written at all.
int FormatStartedUrl(CURL* handle, char* out, std::size_t capacity, const std::string& base, const std::string& id,
                     const std::string& branding);
int FormatCanceledUrl(CURL* handle, char* out, std::size_t capacity, const std::string& base,
                      const FinalEventValues& values);
int FormatFailedUrl(CURL* handle, char* out, std::size_t capacity, const std::string& base,
                    const FinalEventValues& values);
int FormatSucceededUrl(CURL* handle, char* out, std::size_t capacity, const std::string& base,
                       const FinalEventValues& values);
using FinalEventFormat = int (*)(CURL*, char*, std::size_t, const std::string&, const FinalEventValues&);

// The lists of a final event as texts: [{"number":n,"errCode":c},...] and
// [t,...], without their oldest skipOldest items; the sum of the times in
// 32-bit arithmetic.
std::string FormatErrorList(const std::vector<std::int32_t>& numbers, const std::vector<std::int32_t>& codes,
                            std::size_t skipOldest = 0);
std::string FormatTimeList(const std::vector<std::int32_t>& times, std::size_t skipOldest = 0);
std::int32_t SumTimes(const std::vector<std::int32_t>& times);

// Formats one final event with format. A URL too long for capacity loses
// whole list items, oldest first (error items, then package times; the
// counts and the total time stay whole), then its longest text values; it is
// never cut. Returns the URL's length, or -1 when it cannot be formatted at all.
int FormatFinalEventUrl(FinalEventFormat format, CURL* handle, char* out, std::size_t capacity, const std::string& base,
                        std::int32_t code, const std::string& message, const FinalEventRecord& record);
