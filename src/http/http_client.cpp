#include "http/http_client.h"

#include "http/endpoints.h"
#include "http/proxy_choice.h"
#include "http/user_agent.h"
#include "platform/platform.h"
#include "platform/stopwatch.h"

namespace {

// Redirect hops a followed request may take; libcurl's own default is unlimited.
constexpr long kMaxRedirects = 20;

// Bounds for the requests whose server could otherwise hold a thread forever.
// The probe runs beside the window, so a slow but working server may take as
// long as the metadata request itself would: any exchange that completes counts.
constexpr long kProbeConnectSeconds = 3;
constexpr long kDocumentConnectSeconds = 10;
constexpr long kDocumentTotalSeconds = 60;
// A statistics event and its direct resend share one budget, connections
// included: the first package waits at most for the start's, the window's
// report at most for the final's (kFinalEventBudgetMs in the header).
constexpr long kHitConnectSeconds = 5;
constexpr long kStartEventBudgetMs = 5000;
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

int NoteRequestSent(void* sent, char*, char*, int, int) {
    *static_cast<bool*>(sent) = true;
    return CURL_PREREQFUNC_OK;
}

// Through the proxy the system names for url, if any. What the transfer shows
// of the proxy itself decides whether the run keeps using it.
CURLcode RestrictedPerform(CURL* handle, const std::string& url) {
    const CURLcode restricted = RestrictProtocols(handle);
    if (restricted != CURLE_OK) return restricted;
    const std::string chosen = ChooseProxy(handle, url);
    // libcurl calls this once the connection, through the proxy's handshake,
    // is made and the request is about to go.
    bool requestSent = false;
    curl_easy_setopt(handle, CURLOPT_PREREQFUNCTION, NoteRequestSent);
    curl_easy_setopt(handle, CURLOPT_PREREQDATA, &requestSent);
    const CURLcode code = curl_easy_perform(handle);
    curl_easy_setopt(handle, CURLOPT_PREREQFUNCTION, nullptr);
    NoteProxyResult(handle, chosen, code, requestSent);
    return code;
}

// A statistics event within budgetMs in all: through the system's proxy, and
// once more direct when the proxy failed it or answered with an error (the
// statistics server answers an event with success, so the failure is the
// proxy's). Its failures cost nothing but the event: no proxy is judged by it.
void SendEvent(CURL* handle, const std::string& url, long budgetMs) {
    if (RestrictProtocols(handle) != CURLE_OK) return;
    Stopwatch spent;
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, kHitConnectSeconds);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, budgetMs);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);  // time limits without signals
    const bool throughProxy = !ChooseProxy(handle, url).empty();
    const CURLcode code = curl_easy_perform(handle);
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    const long left = budgetMs - static_cast<long>(spent.ElapsedMilliseconds());
    if (!throughProxy || (code == CURLE_OK && status < 400) || left <= 0) return;
    curl_easy_setopt(handle, CURLOPT_PROXY, "");
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, left);
    curl_easy_perform(handle);
}

// What every kind sets first: where it goes and who asks.
void SetTarget(CURL* handle, const std::string& url) {
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_USERAGENT, UserAgent().c_str());  // libcurl copies the text
}

void FollowRedirects(CURL* handle) {
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle, CURLOPT_MAXREDIRS, kMaxRedirects);
}

// A server that could otherwise hold the thread for ever.
void LimitTime(CURL* handle, long connectSeconds, long totalSeconds) {
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, connectSeconds);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, totalSeconds);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);  // time limits without signals
}

// libcurl's own trace, the run's only record: its lines ("* " text, "< " and
// "> " headers) as libcurl prints them, on standard error. A standard error
// nobody drains drops them rather than holding the transfer.
int TraceToStandardError(CURL*, curl_infotype type, char* data, std::size_t size, void*) {
    static const char* const kPrefixes[] = {"* ", "< ", "> "};  // CURLINFO_TEXT, _HEADER_IN, _HEADER_OUT
    if (type <= CURLINFO_HEADER_OUT) platform::WriteToStandardError(kPrefixes[type] + std::string(data, size));
    return 0;
}

void Trace(CURL* handle) {
    curl_easy_setopt(handle, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(handle, CURLOPT_DEBUGFUNCTION, TraceToStandardError);
}

// Below bytes per second for seconds ends the transfer with 28.
void StopOnStall(CURL* handle, long seconds, long bytes) {
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, seconds);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, bytes);
}

// https with the system's trust: peer and host verified (libcurl's default,
// said here), against the system's store. On Windows a revocation list that
// cannot be reached offline does not fail a download whose chain is trusted.
void TrustSystemStore(CURL* handle) {
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
#ifdef _WIN32
    curl_easy_setopt(handle, CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_REVOKE_BEST_EFFORT));
#endif
    const std::string& authorities = TestAuthorities();
    if (!authorities.empty()) curl_easy_setopt(handle, CURLOPT_CAINFO, authorities.c_str());
}

}  // namespace

void HttpClient::GlobalInit() { curl_global_init(CURL_GLOBAL_ALL); }

void HttpClient::Renew() {
    handle_.reset();
    handle_.reset(curl_easy_init());
}

std::size_t DiscardBody(char*, std::size_t size, std::size_t count, void*) { return size * count; }

// ---------------------------------------------------------------- the five request kinds
// In the order a run makes them: probe, document, packages, start event, final
// event. Options several kinds share are the helpers above.

CURLcode HttpClient::ProbeUrl(const std::string& url) {
    CURL* h = handle_.get();
    SetTarget(h, url);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, DiscardBody);  // never onto stdout
    // Off the window thread, so as patient as the metadata request: any
    // exchange that completes counts as reachable.
    LimitTime(h, kProbeConnectSeconds, kDocumentTotalSeconds);
    StopOnStall(h, kStallSeconds, 1);
    return RestrictedPerform(h, url);
}

CURLcode HttpClient::FetchDocument(const std::string& url, curl_write_callback write, void* data) {
    CURL* h = handle_.get();
    SetTarget(h, url);
    Trace(h);
    curl_easy_setopt(h, CURLOPT_NOBODY, 0L);
    FollowRedirects(h);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, write);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, data);
    LimitTime(h, kDocumentConnectSeconds, kDocumentTotalSeconds);
    StopOnStall(h, kStallSeconds, 1);
    return RestrictedPerform(h, url);
}

CURLcode HttpClient::FetchRange(const std::string& url, const char* range, const RangeReceiver& receiver) {
    CURL* h = handle_.get();
    SetTarget(h, url);
    Trace(h);
    curl_easy_setopt(h, CURLOPT_HEADER, 0L);
    curl_easy_setopt(h, CURLOPT_NOBODY, 0L);
    FollowRedirects(h);  // mirrors may send the client elsewhere
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, receiver.writeBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, receiver.data);
    // The header function lets the receiver check which bytes the answer holds.
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, receiver.writeHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, receiver.data);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, kPackageConnectSeconds);
    curl_easy_setopt(h, CURLOPT_FAILONERROR, 1L);  // a status of 400 or more fails the attempt
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_PROGRESSDATA, receiver.progressContext);
    curl_easy_setopt(h, CURLOPT_PROGRESSFUNCTION, receiver.onProgress);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);  // time limits without signals
    // No total limit: a large package on a slow line may take long, but not stall.
    StopOnStall(h, kPackageLowSpeedSeconds, kPackageLowSpeedBytes);
    curl_easy_setopt(h, CURLOPT_RANGE, range);
    TrustSystemStore(h);
    return RestrictedPerform(h, url);
}

void HttpClient::SendStartHit(const std::string& url) {
    CURL* h = handle_.get();
    SetTarget(h, url);
    Trace(h);
    curl_easy_setopt(h, CURLOPT_NOBODY, 0L);
    FollowRedirects(h);  // a moved statistics server still learns of the start
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, DiscardBody);
    SendEvent(h, url, kStartEventBudgetMs);  // a failed hit changes nothing
}

void HttpClient::SendFinalHit(const std::string& url) {
    CURL* h = handle_.get();
    // The last request of a run: one exchange, no redirect, no trace.
    SetTarget(h, url);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, DiscardBody);
    SendEvent(h, url, kFinalEventBudgetMs);
}
