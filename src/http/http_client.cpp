#include "http/http_client.h"

#include "http/user_agent.h"

namespace {

// Redirect hops a followed request may take; libcurl's own default is unlimited.
constexpr long kMaxRedirects = 20;

// Bounds for the requests whose server could otherwise hold a thread forever.
// The probe runs beside the window, so a slow but working server may take as
// long as the metadata request itself would: any exchange that completes counts.
constexpr long kProbeConnectSeconds = 3;
constexpr long kDocumentConnectSeconds = 10;
constexpr long kDocumentTotalSeconds = 60;
constexpr long kHitConnectSeconds = 5;
constexpr long kHitTotalSeconds = 10;
// A server that sends nothing at all for this long has stalled.
constexpr long kStallSeconds = 10;

// Package requests.
constexpr long kPackageConnectSeconds = 17;
constexpr long kPackageLowSpeedSeconds = 10;
constexpr long kPackageLowSpeedBytes = 100;

// Only web schemes: a URL or redirect to file://, ftp:// and the like must
// never be fetched, least of all into the installer file.
const char* AllowedProtocols() {
    static const char* const allowed =
        (curl_version_info(CURLVERSION_NOW)->features & CURL_VERSION_SSL) ? "http,https" : "http";
    return allowed;
}

// A libcurl that refuses the restriction would allow every scheme it has:
// such a request is not made at all.
CURLcode RestrictProtocols(CURL* handle) {
    const CURLcode code = curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, AllowedProtocols());
    if (code != CURLE_OK) return code;
    return curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, AllowedProtocols());
}

CURLcode RestrictedPerform(CURL* handle) {
    const CURLcode restricted = RestrictProtocols(handle);
    return restricted != CURLE_OK ? restricted : curl_easy_perform(handle);
}

}  // namespace

void HttpClient::GlobalInit() { curl_global_init(CURL_GLOBAL_ALL); }

void HttpClient::Renew() {
    handle_.reset();
    handle_.reset(curl_easy_init());
}

std::size_t DiscardBody(char*, std::size_t size, std::size_t count, void*) { return size * count; }

CURLcode HttpClient::ProbeUrl(const std::string& url) {
    CURL* h = handle_.get();
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_USERAGENT, UserAgent().c_str());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, DiscardBody);  // never onto stdout
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, kProbeConnectSeconds);
    curl_easy_setopt(h, CURLOPT_TIMEOUT, kDocumentTotalSeconds);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    return RestrictedPerform(h);
}

CURLcode HttpClient::FetchDocument(const std::string& url, curl_write_callback write, void* data) {
    CURL* h = handle_.get();
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_USERAGENT, UserAgent().c_str());
    curl_easy_setopt(h, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(h, CURLOPT_NOBODY, 0L);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, write);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, data);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, kDocumentConnectSeconds);
    curl_easy_setopt(h, CURLOPT_TIMEOUT, kDocumentTotalSeconds);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    return RestrictedPerform(h);
}

CURLcode HttpClient::FetchRange(const std::string& url, const char* range, const RangeReceiver& receiver) {
    CURL* h = handle_.get();
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_USERAGENT, UserAgent().c_str());
    curl_easy_setopt(h, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(h, CURLOPT_HEADER, 0L);
    curl_easy_setopt(h, CURLOPT_NOBODY, 0L);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, receiver.writeBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, receiver.data);
    // The header function lets the receiver check which bytes the answer holds.
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, receiver.writeHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, receiver.data);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, kPackageConnectSeconds);
    curl_easy_setopt(h, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_PROGRESSDATA, receiver.progressContext);
    curl_easy_setopt(h, CURLOPT_PROGRESSFUNCTION, receiver.onProgress);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);  // time limits without signals
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, kPackageLowSpeedSeconds);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, kPackageLowSpeedBytes);
    curl_easy_setopt(h, CURLOPT_RANGE, range);
    return RestrictedPerform(h);
}

void HttpClient::SendStartHit(const std::string& url) {
    CURL* h = handle_.get();
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_USERAGENT, UserAgent().c_str());
    curl_easy_setopt(h, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(h, CURLOPT_NOBODY, 0L);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, DiscardBody);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, kHitConnectSeconds);
    curl_easy_setopt(h, CURLOPT_TIMEOUT, kHitTotalSeconds);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    RestrictedPerform(h);  // a failed hit changes nothing
}

void HttpClient::SendFinalHit(const std::string& url) {
    CURL* h = handle_.get();
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_USERAGENT, UserAgent().c_str());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, DiscardBody);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, kHitConnectSeconds);
    curl_easy_setopt(h, CURLOPT_TIMEOUT, kHitTotalSeconds);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    RestrictedPerform(h);  // a failed hit changes nothing
}
