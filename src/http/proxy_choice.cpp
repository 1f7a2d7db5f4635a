#include "http/proxy_choice.h"

#include <map>
#include <mutex>
#include <optional>
#include <set>

#include "platform/platform.h"

namespace {

struct ProxyMemory {
    std::mutex lock;
    std::map<std::string, std::optional<std::string>> bySchemeAndHost;
    std::set<std::string> unreachable;
};

ProxyMemory& Memory() {
    static ProxyMemory* const memory = new ProxyMemory;  // threads may still use it at exit
    return *memory;
}

// "scheme://host": the system may name one proxy for http and another for
// https on the same host.
std::string SchemeAndHostOf(const std::string& url) {
    std::string key;
    CURLU* parts = curl_url();
    char* scheme = nullptr;
    char* host = nullptr;
    if (parts && curl_url_set(parts, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
        curl_url_get(parts, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
        curl_url_get(parts, CURLUPART_HOST, &host, 0) == CURLUE_OK)
        key = std::string(scheme) + "://" + host;
    curl_free(scheme);
    curl_free(host);
    curl_url_cleanup(parts);
    return key;
}

// A proxy this libcurl can talk to: an https proxy needs TLS to the proxy itself.
bool Speakable(const std::string& proxy) {
    const bool https = proxy.size() > 8 && curl_strnequal(proxy.c_str(), "https://", 8);
    return !https || (curl_version_info(CURLVERSION_NOW)->features & CURL_VERSION_HTTPS_PROXY);
}

}  // namespace

std::string ChooseProxy(CURL* handle, const std::string& url) {
    ProxyMemory& memory = Memory();
    const std::string key = SchemeAndHostOf(url);
    std::optional<std::string> proxy;
    bool known = false;
    {
        std::lock_guard<std::mutex> hold(memory.lock);
        const auto found = memory.bySchemeAndHost.find(key);
        if (found != memory.bySchemeAndHost.end()) {
            known = true;
            proxy = found->second;
        }
    }
    if (!known) {
        // Looked up outside the lock: a script may take seconds.
        proxy = platform::SystemProxyFor(url);
        std::lock_guard<std::mutex> hold(memory.lock);
        memory.bySchemeAndHost.emplace(key, proxy);
    }
    if (!proxy) return {};  // libcurl's own choice
    {
        std::lock_guard<std::mutex> hold(memory.lock);
        if (memory.unreachable.count(*proxy) || !Speakable(*proxy)) proxy = std::string();
    }
    curl_easy_setopt(handle, CURLOPT_PROXY, proxy->c_str());  // "": direct, whatever the environment says
    return *proxy;
}

void NoteProxyResult(CURL* handle, const std::string& proxy, CURLcode code, bool requestSent) {
    if (proxy.empty()) return;
    // Only what shows the proxy itself failing counts: it could not be
    // reached, its handshake failed or never completed, or it closed without
    // any answer (a working proxy answers an upstream's failure with a
    // status). A timeout after the request went is the upstream being slow.
    long status = 0, tunnelStatus = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(handle, CURLINFO_HTTP_CONNECTCODE, &tunnelStatus);
    const bool unanswered = status == 0 && tunnelStatus == 0;
    const bool closed = code == CURLE_GOT_NOTHING || code == CURLE_RECV_ERROR || code == CURLE_SEND_ERROR;
    const bool neverThrough = !requestSent && code == CURLE_OPERATION_TIMEDOUT;
    const bool unreachable = code == CURLE_COULDNT_RESOLVE_PROXY || code == CURLE_COULDNT_CONNECT ||
                             code == CURLE_PROXY || code == CURLE_UNSUPPORTED_PROTOCOL ||
                             (unanswered && (closed || neverThrough));
    if (!unreachable) return;
    std::lock_guard<std::mutex> hold(Memory().lock);
    Memory().unreachable.insert(proxy);
}
