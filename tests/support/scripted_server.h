// A small HTTP server on loopback whose every answer a test scripts: status,
// headers, body, a body cut short, a stall, a close. One request per
// connection; it stops when destroyed, and every wait in it is bounded.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct ScriptedRequest {
    std::string target;   // path and query
    std::string headers;  // raw header lines, lower-cased names
    std::string Header(const std::string& lowerName) const;
};

struct ScriptedReply {
    std::string head;  // status line and headers, without the blank line
    std::string body;
    // Instead of body: PatternBytes of a virtual file from this offset on.
    long long patternFrom = 0;
    long long patternBytes = 0;
    std::size_t sendBodyBytes = std::string::npos;  // then close: a body cut short
    int stallBeforeMs = 0;                          // silence before anything is sent
    int stallAfterHeadMs = 0;                       // head sent, then silence
    bool closeWithoutReply = false;

    static ScriptedReply Status(int status, const std::string& body = "", const std::string& extraHeaders = "");
    static ScriptedReply Redirect(const std::string& location);
    static ScriptedReply Close();
};

// The byte at a position of the virtual file that pattern bodies come from.
inline char PatternByte(long long position) {
    const unsigned long long p = static_cast<unsigned long long>(position);
    return static_cast<char>((p ^ (p >> 8) ^ (p >> 16) ^ (p >> 24) ^ (p >> 32)) & 0xFF);
}

// Like ServeRange, for a virtual file of size bytes of PatternByte.
ScriptedReply ServePatternRange(long long size, const ScriptedRequest& request);

// A 206 answer with the requested bytes of content, or 416 when the range is
// unusable; without a Range header, a 200 with the whole content.
ScriptedReply ServeRange(const std::string& content, const ScriptedRequest& request);

class ScriptedServer {
public:
    // handler gets each request and its zero-based index among all requests.
    using Handler = std::function<ScriptedReply(const ScriptedRequest&, int index)>;

    // port 0: any free port on loopback.
    explicit ScriptedServer(Handler handler, int port = 0);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    int Port() const { return port_; }
    std::string Url(const std::string& path) const;
    std::vector<ScriptedRequest> Requests() const;

private:
    void AcceptLoop();
    void Serve(int fd);
    void Pause(int milliseconds, int fd);

    Handler handler_;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread acceptThread_;
    mutable std::mutex mutex_;
    std::vector<std::thread> connections_;
    std::vector<ScriptedRequest> requests_;
};

// A port on loopback where nothing listens.
int ClosedPort();
