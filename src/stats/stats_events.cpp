#include "stats/stats_events.h"

#include <cstdio>

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

// snprintf that leaves out a URL that would not fit, rather than cutting it
// somewhere inside an escape.
template <typename... Args>
int FormatWhole(char* out, std::size_t capacity, const char* format, Args... args) {
    const int needed = std::snprintf(nullptr, 0, format, args...);
    if (needed >= 0 && static_cast<std::size_t>(needed) < capacity)
        std::snprintf(out, capacity, format, args...);
    return needed;
}

// The canceled and succeeded events carry the same keys.
int FormatOutcomeUrl(CURL* handle, char* out, std::size_t capacity, const std::string& base,
                     const char* event, const FinalEventValues& v) {
    EscapedArgs args(handle);
    const char* texts[] = {args.Escape(v.id), args.Escape(v.branding), args.Escape(v.url),
                           args.Escape(v.errors), args.Escape(v.packageTimes)};
    for (const char* text : texts)
        if (!text) return -1;
    return FormatWhole(out, capacity,
                       "%s/Tovik-Downloader/evt/%s?id=%s&branding=%s&url=%s&errorCount=%d"
                       "&errors=%s&packageNumber=%d&totalTime=%d&packageTimes=%s",
                       base.c_str(), event, texts[0], texts[1], texts[2], v.errorCount, texts[3],
                       v.packageNumber, v.totalTime, texts[4]);
}

}  // namespace

int FormatStartedUrl(CURL* handle, char* out, std::size_t capacity, const std::string& base,
                     const std::string& id, const std::string& branding) {
    EscapedArgs args(handle);
    const char* eid = args.Escape(id);
    const char* ebranding = args.Escape(branding);
    if (!eid || !ebranding) return -1;
    return FormatWhole(out, capacity, "%s/Tovik-Downloader/evt/download-started?id=%s&branding=%s",
                       base.c_str(), eid, ebranding);
}

int FormatFailedUrl(CURL* handle, char* out, std::size_t capacity, const std::string& base,
                    const FinalEventValues& v) {
    EscapedArgs args(handle);
    const char* texts[] = {args.Escape(v.id),  args.Escape(v.branding), args.Escape(v.message),
                           args.Escape(v.url), args.Escape(v.errors),   args.Escape(v.packageTimes)};
    for (const char* text : texts)
        if (!text) return -1;
    return FormatWhole(out, capacity,
                       "%s/Tovik-Downloader/evt/download-failed?id=%s&branding=%s&errorCode=%d&errorMsg=%s"
                       "&url=%s&errorCount=%d&errors=%s&packageNumber=%d&totalTime=%d&packageTimes=%s",
                       base.c_str(), texts[0], texts[1], v.code, texts[2], texts[3], v.errorCount, texts[4],
                       v.packageNumber, v.totalTime, texts[5]);
}

int FormatCanceledUrl(CURL* handle, char* out, std::size_t capacity, const std::string& base,
                      const FinalEventValues& values) {
    return FormatOutcomeUrl(handle, out, capacity, base, "download-canceled", values);
}

int FormatSucceededUrl(CURL* handle, char* out, std::size_t capacity, const std::string& base,
                       const FinalEventValues& values) {
    return FormatOutcomeUrl(handle, out, capacity, base, "download-succeeded", values);
}
