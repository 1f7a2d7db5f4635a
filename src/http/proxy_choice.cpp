#include "http/proxy_choice.h"

#include <map>
#include <mutex>
#include <optional>
#include <set>

#include "platform/platform.h"

namespace {

struct ProxyMemory {
    std::mutex lock;
    std::map<std::string, std::optional<std::string>> byHost;
    std::set<std::string> unreachable;
};

ProxyMemory& Memory() {
    static ProxyMemory* const memory = new ProxyMemory;  // threads may still use it at exit
    return *memory;
}

std::string HostOf(const std::string& url) {
    std::string host;
    CURLU* parts = curl_url();
    char* text = nullptr;
    if (parts && curl_url_set(parts, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
        curl_url_get(parts, CURLUPART_HOST, &text, 0) == CURLUE_OK)
        host = text;
    curl_free(text);
    curl_url_cleanup(parts);
    return host;
}

// A proxy this libcurl can talk to: an https proxy needs TLS to the proxy itself.
bool Speakable(const std::string& proxy) {
    const bool https = proxy.size() > 8 && curl_strnequal(proxy.c_str(), "https://", 8);
    return !https || (curl_version_info(CURLVERSION_NOW)->features & CURL_VERSION_HTTPS_PROXY);
}

}  // namespace

std::string ChooseProxy(CURL* handle, const std::string& url) {
    ProxyMemory& memory = Memory();
    const std::string host = HostOf(url);
    std::optional<std::string> proxy;
    bool known = false;
    {
        std::lock_guard<std::mutex> hold(memory.lock);
        const auto found = memory.byHost.find(host);
        if (found != memory.byHost.end()) {
            known = true;
            proxy = found->second;
        }
    }
    if (!known) {
        // Looked up outside the lock: a script may take seconds.
        proxy = platform::SystemProxyFor(url);
        std::lock_guard<std::mutex> hold(memory.lock);
        memory.byHost.emplace(host, proxy);
    }
    if (!proxy) return {};  // libcurl's own choice
    {
        std::lock_guard<std::mutex> hold(memory.lock);
        if (memory.unreachable.count(*proxy) || !Speakable(*proxy)) proxy = std::string();
    }
    curl_easy_setopt(handle, CURLOPT_PROXY, proxy->c_str());  // "": direct, whatever the environment says
    return *proxy;
}

void NoteProxyResult(CURL* handle, const std::string& proxy, CURLcode code) {
    if (proxy.empty()) return;
    // A proxy that accepted and then said nothing (no status line) has
    // stalled like one that refuses: both leave the run to direct requests.
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    const bool silent =
        status == 0 && (code == CURLE_OPERATION_TIMEDOUT || code == CURLE_GOT_NOTHING || code == CURLE_RECV_ERROR);
    const bool unreachable = code == CURLE_COULDNT_RESOLVE_PROXY || code == CURLE_COULDNT_CONNECT ||
                             code == CURLE_PROXY || code == CURLE_UNSUPPORTED_PROTOCOL || silent;
    if (!unreachable) return;
    std::lock_guard<std::mutex> hold(Memory().lock);
    Memory().unreachable.insert(proxy);
}
