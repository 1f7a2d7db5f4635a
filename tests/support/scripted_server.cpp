#include "scripted_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>

namespace {

constexpr int kMaxStallMs = 60000;
constexpr int kReadTimeoutMs = 5000;

// port 0 takes any free port.
int BindLoopback(int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int reuse = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

bool SendAll(int fd, const char* data, std::size_t length) {
    while (length > 0) {
        const ssize_t sent = ::send(fd, data, length, MSG_NOSIGNAL);
        if (sent <= 0) return false;
        data += sent;
        length -= static_cast<std::size_t>(sent);
    }
    return true;
}

void SendPattern(int fd, long long from, long long count) {
    std::vector<char> chunk(1 << 16);
    while (count > 0) {
        const std::size_t n = static_cast<std::size_t>(std::min<long long>(count, chunk.size()));
        for (std::size_t i = 0; i < n; ++i) chunk[i] = PatternByte(from + static_cast<long long>(i));
        if (!SendAll(fd, chunk.data(), n)) return;
        from += static_cast<long long>(n);
        count -= static_cast<long long>(n);
    }
}

}  // namespace

std::string ScriptedRequest::Header(const std::string& lowerName) const {
    const std::string key = "\n" + lowerName + ":";
    const std::size_t at = ("\n" + headers).find(key);
    if (at == std::string::npos) return {};
    std::size_t begin = at + key.size() - 1;
    std::size_t end = headers.find('\r', begin);
    std::string value = headers.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    value.erase(0, value.find_first_not_of(' '));
    return value;
}

ScriptedReply ScriptedReply::Status(int status, const std::string& body, const std::string& extraHeaders) {
    ScriptedReply reply;
    reply.head = "HTTP/1.1 " + std::to_string(status) + " Scripted\r\nContent-Length: " + std::to_string(body.size()) +
                 "\r\nConnection: close\r\n" + extraHeaders;
    reply.body = body;
    return reply;
}

ScriptedReply ScriptedReply::Redirect(const std::string& location) {
    return Status(302, "", "Location: " + location + "\r\n");
}

ScriptedReply ScriptedReply::Close() {
    ScriptedReply reply;
    reply.closeWithoutReply = true;
    return reply;
}

namespace {

// The requested range of a file of size bytes; false when unusable.
bool RequestedRange(const ScriptedRequest& request, long long size, long long& first, long long& last) {
    if (std::sscanf(request.Header("range").c_str(), "bytes=%lld-%lld", &first, &last) != 2 || first > last ||
        first >= size)
        return false;
    last = std::min(last, size - 1);
    return true;
}

std::string ContentRange(long long first, long long last, long long size) {
    return "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" + std::to_string(size) +
           "\r\n";
}

}  // namespace

ScriptedReply ServeRange(const std::string& content, const ScriptedRequest& request) {
    const long long size = static_cast<long long>(content.size());
    if (request.Header("range").empty()) return ScriptedReply::Status(200, content);
    long long first, last;
    if (!RequestedRange(request, size, first, last)) return ScriptedReply::Status(416);
    return ScriptedReply::Status(206, content.substr(first, last - first + 1), ContentRange(first, last, size));
}

ScriptedReply ServePatternRange(long long size, const ScriptedRequest& request) {
    long long first, last;
    if (!RequestedRange(request, size, first, last)) return ScriptedReply::Status(416);
    ScriptedReply reply;
    reply.head = "HTTP/1.1 206 Scripted\r\nContent-Length: " + std::to_string(last - first + 1) +
                 "\r\nConnection: close\r\n" + ContentRange(first, last, size);
    reply.patternFrom = first;
    reply.patternBytes = last - first + 1;
    return reply;
}

ScriptedServer::ScriptedServer(Handler handler, int port) : handler_(std::move(handler)), port_(port) {
    listenFd_ = BindLoopback(port_);
    ::listen(listenFd_, 64);
    acceptThread_ = std::thread(&ScriptedServer::AcceptLoop, this);
}

ScriptedServer::~ScriptedServer() {
    stopping_ = true;
    acceptThread_.join();
    ::close(listenFd_);
    std::vector<std::thread> connections;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connections.swap(connections_);
    }
    for (std::thread& t : connections) t.join();
}

std::string ScriptedServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<ScriptedRequest> ScriptedServer::Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void ScriptedServer::AcceptLoop() {
    while (!stopping_) {
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        connections_.emplace_back(&ScriptedServer::Serve, this, fd);
    }
}

// Waits, but gives up early when the server stops or the client has gone.
void ScriptedServer::Pause(int milliseconds, int fd) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::min(milliseconds, kMaxStallMs));
    while (!stopping_ && std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) > 0) {
            char byte;
            if (::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0) return;  // peer closed
        }
    }
}

void ScriptedServer::Serve(int fd) {
    std::string raw;
    char buffer[4096];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReadTimeoutMs);
    while (raw.find("\r\n\r\n") == std::string::npos && std::chrono::steady_clock::now() < deadline && !stopping_) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) continue;
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        raw.append(buffer, static_cast<std::size_t>(got));
    }
    const std::size_t headEnd = raw.find("\r\n\r\n");
    if (headEnd == std::string::npos) {
        ::close(fd);
        return;
    }
    ScriptedRequest request;
    const std::size_t lineEnd = raw.find("\r\n");
    const std::string line = raw.substr(0, lineEnd);
    const std::size_t s1 = line.find(' '), s2 = line.rfind(' ');
    request.target = line.substr(s1 + 1, s2 - s1 - 1);
    request.headers = raw.substr(lineEnd + 2, headEnd - lineEnd - 2);
    // Lower-case the header names only.
    bool inName = true;
    for (char& c : request.headers) {
        if (c == '\n')
            inName = true;
        else if (c == ':')
            inName = false;
        else if (inName)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }

    int index;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        index = static_cast<int>(requests_.size());
        requests_.push_back(request);
    }
    const ScriptedReply reply = handler_(request, index);
    if (reply.stallBeforeMs > 0) Pause(reply.stallBeforeMs, fd);
    if (!reply.closeWithoutReply) {
        const std::string head = reply.head + "\r\n";
        if (SendAll(fd, head.data(), head.size())) {
            if (reply.stallAfterHeadMs > 0) Pause(reply.stallAfterHeadMs, fd);
            if (reply.patternBytes > 0) {
                const long long cut = reply.sendBodyBytes == std::string::npos
                                          ? reply.patternBytes
                                          : static_cast<long long>(reply.sendBodyBytes);
                SendPattern(fd, reply.patternFrom, std::min(reply.patternBytes, cut));
            } else {
                SendAll(fd, reply.body.data(), std::min(reply.sendBodyBytes, reply.body.size()));
            }
        }
    }
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
}

int ClosedPort() {
    int port = 0;
    const int fd = BindLoopback(port);  // bound, never listening: connections are refused
    ::close(fd);
    return port;
}
