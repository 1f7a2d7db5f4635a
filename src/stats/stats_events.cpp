#include "stats/stats_events.h"

#include <algorithm>
#include <climits>
#include <cstring>

EscapedArgs::~EscapedArgs() {
    for (char* copy : copies_) curl_free(copy);
}

const char* EscapedArgs::Escape(const std::string& text) {
    char* copy = curl_easy_escape(handle_, text.c_str(), 0);
    if (copy) copies_.push_back(copy);
    return copy;
}

std::size_t EscapedLength(const std::string& text) {
    std::size_t length = 0;
    for (unsigned char c : text) {
        const bool unreserved = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                                c == '-' || c == '.' || c == '_' || c == '~';
        length += unreserved ? 1 : 3;
    }
    return length;
}

namespace {

// The URL into out when it fits whole, rather than cut somewhere inside an
// escape; returns its length, as snprintf would. (Concatenation, not
// snprintf: the Windows runtime's printf engine would add 20 KiB to the exe.)
int CopyWhole(char* out, std::size_t capacity, const std::string& url) {
    if (url.size() > static_cast<std::size_t>(INT_MAX)) return -1;
    if (url.size() < capacity) std::memcpy(out, url.c_str(), url.size() + 1);
    return static_cast<int>(url.size());
}

// A resumed run's final events end with where its bytes start; others do not say it.
std::string ResumedFrom(const FinalEventValues& v) {
    return v.resumedFrom > 0 ? "&resumedFrom=" + std::to_string(v.resumedFrom) : std::string();
}

// The canceled and succeeded events carry the same keys.
int FormatOutcomeUrl(CURL* handle, char* out, std::size_t capacity, const std::string& base, const char* event,
                     const FinalEventValues& v) {
    EscapedArgs args(handle);
    const char* texts[] = {args.Escape(v.id), args.Escape(v.branding), args.Escape(v.url), args.Escape(v.errors),
                           args.Escape(v.packageTimes)};
    for (const char* text : texts)
        if (!text) return -1;
    return CopyWhole(out, capacity,
                     base + "/Tovik-Downloader/evt/" + event + "?id=" + texts[0] + "&branding=" + texts[1] +
                         "&url=" + texts[2] + "&errorCount=" + std::to_string(v.errorCount) + "&errors=" + texts[3] +
                         "&packageNumber=" + std::to_string(v.packageNumber) +
                         "&totalTime=" + std::to_string(v.totalTime) + "&packageTimes=" + texts[4] + ResumedFrom(v));
}

}  // namespace

int FormatStartedUrl(CURL* handle, char* out, std::size_t capacity, const std::string& base, const std::string& id,
                     const std::string& branding) {
    EscapedArgs args(handle);
    const char* eid = args.Escape(id);
    const char* ebranding = args.Escape(branding);
    if (!eid || !ebranding) return -1;
    return CopyWhole(out, capacity,
                     base + "/Tovik-Downloader/evt/download-started?id=" + eid + "&branding=" + ebranding);
}

int FormatFailedUrl(CURL* handle, char* out, std::size_t capacity, const std::string& base, const FinalEventValues& v) {
    EscapedArgs args(handle);
    const char* texts[] = {args.Escape(v.id),  args.Escape(v.branding), args.Escape(v.message),
                           args.Escape(v.url), args.Escape(v.errors),   args.Escape(v.packageTimes)};
    for (const char* text : texts)
        if (!text) return -1;
    return CopyWhole(out, capacity,
                     base + "/Tovik-Downloader/evt/download-failed?id=" + texts[0] + "&branding=" + texts[1] +
                         "&errorCode=" + std::to_string(v.code) + "&errorMsg=" + texts[2] + "&url=" + texts[3] +
                         "&errorCount=" + std::to_string(v.errorCount) + "&errors=" + texts[4] +
                         "&packageNumber=" + std::to_string(v.packageNumber) +
                         "&totalTime=" + std::to_string(v.totalTime) + "&packageTimes=" + texts[5] + ResumedFrom(v));
}

int FormatCanceledUrl(CURL* handle, char* out, std::size_t capacity, const std::string& base,
                      const FinalEventValues& values) {
    return FormatOutcomeUrl(handle, out, capacity, base, "download-canceled", values);
}

int FormatSucceededUrl(CURL* handle, char* out, std::size_t capacity, const std::string& base,
                       const FinalEventValues& values) {
    return FormatOutcomeUrl(handle, out, capacity, base, "download-succeeded", values);
}

// ---------------------------------------------------------------- final event

namespace {

std::string ErrorItem(std::int32_t number, std::int32_t code) {
    return "{\"number\":" + std::to_string(number) + ",\"errCode\":" + std::to_string(code) + "}";
}

constexpr std::size_t kEscapedCommaLength = 3;  // %2C

}  // namespace

std::string FormatErrorList(const std::vector<std::int32_t>& numbers, const std::vector<std::int32_t>& codes,
                            std::size_t skipOldest) {
    std::string text = "[";
    for (std::size_t i = skipOldest; i < numbers.size(); ++i) {
        if (i > skipOldest) text += ',';
        text += ErrorItem(numbers[i], codes[i]);
    }
    return text + "]";
}

std::string FormatTimeList(const std::vector<std::int32_t>& times, std::size_t skipOldest) {
    std::string text = "[";
    for (std::size_t i = skipOldest; i < times.size(); ++i) {
        if (i > skipOldest) text += ',';
        text += std::to_string(times[i]);
    }
    return text + "]";
}

std::int32_t SumTimes(const std::vector<std::int32_t>& times) {
    std::uint32_t total = 0;  // wraps like the 32-bit sum it stands for, without overflow
    for (std::int32_t time : times) total += static_cast<std::uint32_t>(time);
    return static_cast<std::int32_t>(total);
}

FinalEventValues::FinalEventValues(const FinalEventRecord& record, std::int32_t outcome,
                                   const std::string& outcomeMessage)
    : id(record.id),
      branding(record.branding),
      code(outcome),
      message(outcomeMessage),
      url(record.url),
      errorCount(static_cast<int>(record.errorNumbers.size())),
      errors(FormatErrorList(record.errorNumbers, record.errorCodes)),
      packageNumber(static_cast<int>(record.packageTimes.size())),
      totalTime(SumTimes(record.packageTimes)),
      packageTimes(FormatTimeList(record.packageTimes)),
      resumedFrom(record.resumedFrom) {}

int FormatFinalEventUrl(FinalEventFormat format, CURL* handle, char* out, std::size_t capacity, const std::string& base,
                        std::int32_t code, const std::string& message, const FinalEventRecord& record) {
    FinalEventValues values(record, code, message);

    std::size_t skipErrors = 0, skipTimes = 0;
    for (;;) {
        const int length = format(handle, out, capacity, base, values);
        if (length < 0) return -1;
        if (static_cast<std::size_t>(length) < capacity) return length;

        std::size_t excess = static_cast<std::size_t>(length) - (capacity - 1);
        // What dropping every remaining item would save; the brackets stay.
        const std::size_t removable =
            EscapedLength(values.errors) + EscapedLength(values.packageTimes) - 2 * EscapedLength("[]");
        if (excess <= removable) {
            while (excess > 0 && skipErrors < record.errorNumbers.size()) {
                const std::string item = ErrorItem(record.errorNumbers[skipErrors], record.errorCodes[skipErrors]);
                excess -= std::min(excess, EscapedLength(item) + kEscapedCommaLength);
                ++skipErrors;
            }
            while (excess > 0 && skipTimes < record.packageTimes.size()) {
                const std::string item = std::to_string(record.packageTimes[skipTimes]);
                excess -= std::min(excess, EscapedLength(item) + kEscapedCommaLength);
                ++skipTimes;
            }
            values.errors = FormatErrorList(record.errorNumbers, record.errorCodes, skipErrors);
            values.packageTimes = FormatTimeList(record.packageTimes, skipTimes);
            continue;
        }
        // No list could make room: the longest text goes, rather than the event.
        std::string* texts[] = {&values.url, &values.message, &values.id, &values.branding};
        std::string* longest = *std::max_element(
            std::begin(texts), std::end(texts), [](auto* a, auto* b) { return EscapedLength(*a) < EscapedLength(*b); });
        if (longest->empty()) return -1;  // the base address alone is too long
        longest->clear();
    }
}
