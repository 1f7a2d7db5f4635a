// Linux implementation of the platform layer.
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <system_error>
#include <thread>

#include "platform/error_stream.h"
#include "platform/platform.h"

namespace platform {

PathString TempInstallerPath(int nameId) {
    const char* tmp = std::getenv("TMPDIR");
    std::string folder = (tmp && *tmp) ? tmp : "/tmp";
    if (folder.back() != '/') folder += '/';
    return folder + "toviksetup" + std::to_string(nameId) + ".tmp";
}

std::FILE* CreateFileForWriting(const PathString& path) {
    // O_NONBLOCK so that a FIFO planted at the name cannot block the open;
    // no O_TRUNC until we know it is our own regular file. A new file is not
    // truncated at all: on ext4 a truncate arms the replace-by-truncate
    // heuristic, and closing the written file would then wait for the disk.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) return nullptr;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
        (st.st_size != 0 && ::ftruncate(fd, 0) != 0) || ::fcntl(fd, F_SETFL, 0) != 0) {
        ::close(fd);
        return nullptr;
    }
    std::FILE* file = ::fdopen(fd, "wb");
    if (!file) ::close(fd);
    return file;
}

// ---------------------------------------------------------------- whole files

namespace {

// The file beside the target that PrepareWholeFile made, kept open until the write.
struct BesideFile {
    std::string target;
    std::size_t capacity = 0;
    int fd = -1;
};

BesideFile& Prepared() {
    static BesideFile beside;
    return beside;
}

std::string BesideName(const std::string& path) { return path + ".part" + std::to_string(::getpid()); }

bool WriteAllAt(int fd, const char* data, std::size_t size) {
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = ::pwrite(fd, data + done, size - done, static_cast<off_t>(done));
        if (n <= 0) return false;  // a full disk or a file-size limit: a short write
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// A new file beside path holding size bytes of data; -1 when it cannot be made.
int CreateBeside(const std::string& path, const char* data, std::size_t size) {
    const std::string name = BesideName(path);
    ::unlink(name.c_str());  // what an earlier run of this process id left
    // Same folder, so the rename cannot cross file systems; the mode honours the umask.
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0 && !WriteAllAt(fd, data, size)) {
        ::close(fd);
        ::unlink(name.c_str());
        return -1;
    }
    return fd;
}

bool WriteInPlace(const std::string& path, const std::string& bytes) {
    // O_NONBLOCK: a FIFO at the name fails the open instead of waiting for a reader.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0) return false;
    struct stat st {};
    bool written = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && WriteAllAt(fd, bytes.data(), bytes.size());
    if (!written && S_ISREG(st.st_mode) && ::unlink(path.c_str()) != 0) ::ftruncate(fd, 0);  // no part of a report
    written = ::close(fd) == 0 && written;
    return written;
}

}  // namespace

void PrepareWholeFile(const PathString& path, std::size_t capacity) {
    if (path.empty()) return;
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd >= 0) ::close(fd);
    }
    BesideFile& beside = Prepared();
    if (beside.fd >= 0) ::close(beside.fd);
    const std::string room(capacity, ' ');
    beside = {path, capacity, CreateBeside(path, room.data(), room.size())};
}

bool WriteWholeFile(const PathString& path, const std::string& bytes) {
    BesideFile& beside = Prepared();
    const std::string name = BesideName(path);
    int fd = -1;
    if (beside.fd >= 0 && beside.target == path && bytes.size() <= beside.capacity) {
        // Overwrites bytes already on disk and cuts the rest: no new space needed.
        fd = beside.fd;
        beside.fd = -1;
        if (!WriteAllAt(fd, bytes.data(), bytes.size()) || ::ftruncate(fd, bytes.size()) != 0) {
            ::close(fd);
            fd = -1;
        }
    } else {
        fd = CreateBeside(path, bytes.data(), bytes.size());
    }
    if (fd >= 0 && ::close(fd) == 0 && ::rename(name.c_str(), path.c_str()) == 0) return true;
    ::unlink(name.c_str());  // its room is free again for the write in place
    return WriteInPlace(path, bytes);
}

std::FILE* OpenFileForReading(const PathString& path) { return std::fopen(path.c_str(), "rbe"); }

bool SeekFile(std::FILE* file, std::int64_t offset) {
    return ::fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

bool RemoveFile(const PathString& path) { return ::unlink(path.c_str()) == 0 || errno == ENOENT; }

bool SignedByPublisher(const PathString&, const std::string&) { return false; }

// ---------------------------------------------------------------- SHA-256

struct Sha256::State {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    bool ok = context && EVP_DigestInit_ex(context, EVP_sha256(), nullptr) == 1;
    ~State() { EVP_MD_CTX_free(context); }
};

Sha256::Sha256() : state_(new State) {}

Sha256::Sha256(const Sha256& other) : state_(new State) { *this = other; }

Sha256& Sha256::operator=(const Sha256& other) {
    if (this != &other)
        state_->ok =
            other.state_->ok && state_->context && EVP_MD_CTX_copy_ex(state_->context, other.state_->context) == 1;
    return *this;
}

Sha256::~Sha256() = default;

void Sha256::Add(const void* data, std::size_t size) {
    state_->ok = state_->ok && EVP_DigestUpdate(state_->context, data, size) == 1;
}

std::string Sha256::Digest() const {
    State last;  // finishing ends a context: a copy finishes, this one may go on
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!state_->ok || !last.ok || EVP_MD_CTX_copy_ex(last.context, state_->context) != 1 ||
        EVP_DigestFinal_ex(last.context, digest, &length) != 1 || length != 32)
        return "";
    return std::string(reinterpret_cast<const char*>(digest), length);
}

// ---------------------------------------------------------------- clocks and process

std::uint32_t ProcessId() { return static_cast<std::uint32_t>(::getpid()); }

std::int64_t CalendarSeconds() { return static_cast<std::int64_t>(::time(nullptr)); }

std::int64_t PerformanceCounter() {
    timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

double PerformanceFrequency() { return 1e9; }

void SleepMilliseconds(unsigned milliseconds) {
    timespec ts{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&ts, &ts) != 0) {
    }
}

bool StartDetachedThread(std::function<void()> body) {
    try {
        std::thread(std::move(body)).detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

std::optional<std::string> SystemProxyFor(const std::string&) { return std::nullopt; }

std::string OsFamily() { return "Linux"; }

std::string OsVersionText() {
    struct utsname name {};
    if (::uname(&name) != 0) return "Linux";
    return std::string("Linux ") + name.release;
}

std::string ProgramName() {
    char buffer[4096];
    const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    std::string path = length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : "tovik-downloader";
    path = path.substr(path.rfind('/') + 1);
    const std::size_t dot = path.rfind('.');
    return dot == std::string::npos || dot == 0 ? path : path.substr(0, dot);
}

std::string PathText(const PathString& path) { return path; }

// Only the error stream's own thread calls it: a write to a pipe or a
// terminal that nobody reads waits, whatever poll said before it.
bool WriteAllToStandardError(const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(STDERR_FILENO, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void PrepareProcess() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd)  // open takes the lowest free number
        if (::fcntl(fd, F_GETFD) == -1) ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

void PostWindowMessage(WindowHandle window, unsigned message, std::uintptr_t wParam) {
    if (window) window->Post(message, wParam);
}

}  // namespace platform
