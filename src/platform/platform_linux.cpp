// Linux implementation of the platform layer.
#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/error_stream.h"
#include "platform/platform.h"

namespace platform {

namespace {

std::string TempFolder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string folder = (tmp && *tmp) ? tmp : "/tmp";
    if (folder.back() != '/') folder += '/';
    return folder;
}

constexpr char kPartialPrefix[] = "toviksetup-";
constexpr char kPartialSuffix[] = ".part";

}  // namespace

PathString TempInstallerPath(int nameId) { return TempFolder() + "toviksetup" + std::to_string(nameId) + ".tmp"; }

PathString TempPartialPath(const std::string& sha256) {
    return TempFolder() + kPartialPrefix + sha256 + kPartialSuffix;
}

std::FILE* OpenPartialFile(const PathString& path) {
    // The temporary folder may be shared (/tmp): whatever another user put at
    // the name is neither followed, written, truncated nor removed. The checks
    // are made on the open descriptor, so the name cannot change under them;
    // the lock keeps a second run of the same release out.
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) return nullptr;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || st.st_nlink != 1 ||
        (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0 ||
        ::fcntl(fd, F_SETFL, 0) != 0) {
        ::close(fd);
        return nullptr;
    }
    std::FILE* file = ::fdopen(fd, "r+b");
    if (!file) ::close(fd);
    return file;
}

void RemoveOtherPartials(const PathString& keep) {
    const std::string folder = TempFolder();
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return;
    const std::string keptName = keep.substr(keep.rfind('/') + 1);
    const std::size_t prefix = sizeof kPartialPrefix - 1, suffix = sizeof kPartialSuffix - 1;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == keptName || name.size() <= prefix + suffix || name.compare(0, prefix, kPartialPrefix) != 0 ||
            name.compare(name.size() - suffix, suffix, kPartialSuffix) != 0)
            continue;
        // Only this user's own files, also for root; in a sticky folder no
        // one else can swap the name between the look and the removal.
        struct stat st;
        if (::fstatat(::dirfd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            st.st_uid == ::geteuid())
            ::unlinkat(::dirfd(dir), name.c_str(), 0);
    }
    ::closedir(dir);
}

bool CloseAndRename(std::FILE* file, const PathString& from, const PathString& to) {
    // Renamed while still open and locked, so no other run can take it up in
    // between. Only a regular file of ours is replaced; a free name must still
    // be free at the rename (root could otherwise replace what another user put there).
    struct stat st;
    const bool taken = ::lstat(to.c_str(), &st) == 0;
    bool renamed = false;
    if (!taken) {
        renamed = ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0;
        if (!renamed && errno == EINVAL) renamed = ::rename(from.c_str(), to.c_str()) == 0;  // no such flag here
    } else if (S_ISREG(st.st_mode) && st.st_uid == ::geteuid()) {
        renamed = ::rename(from.c_str(), to.c_str()) == 0;
    }
    const bool closed = std::fclose(file) == 0;
    return renamed && closed;
}

std::int64_t FileLength(std::FILE* file) {
    struct stat st;
    return ::fstat(::fileno(file), &st) == 0 ? static_cast<std::int64_t>(st.st_size) : -1;
}

bool TruncateFile(std::FILE* file, std::int64_t length) {
    return std::fflush(file) == 0 && ::ftruncate(::fileno(file), static_cast<off_t>(length)) == 0 &&
           SeekFile(file, length);
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

// What this run holds at the report's path: the caller's own file, written in
// place, or the file beside it, renamed into place at the end. Its lock, kept
// until the process ends, is what a second run on the same path finds.
struct HeldFile {
    std::string target;
    std::size_t capacity = 0;
    int fd = -1;
    bool beside = false;
    int lock = -1;  // the written report's descriptor, kept for its lock
};

HeldFile& Held() {
    static HeldFile held;
    return held;
}

// "<path>.part"; where that name is too long for the folder, a shorter hidden
// one in the same folder, so that the rename never crosses file systems.
std::string BesideName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string name = path.substr(folder.size());
    const long limit = ::pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
    if (limit < 7 || name.size() + 5 <= static_cast<std::size_t>(limit)) return path + ".part";
    return folder + "." + name.substr(0, static_cast<std::size_t>(limit) - 6) + ".part";
}

bool Lock(int fd) { return ::flock(fd, LOCK_EX | LOCK_NB) == 0; }

bool WriteAllAt(int fd, const char* data, std::size_t size) {
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = ::pwrite(fd, data + done, size - done, static_cast<off_t>(done));
        if (n <= 0) return false;  // a full disk or a file-size limit: a short write
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool WriteWhole(int fd, const std::string& bytes) {
    return WriteAllAt(fd, bytes.data(), bytes.size()) && ::ftruncate(fd, static_cast<off_t>(bytes.size())) == 0;
}

void KeepLock(HeldFile& held, int fd) {
    if (held.lock >= 0) ::close(held.lock);
    held.lock = fd;
}

}  // namespace

Claim ClaimWholeFile(const PathString& path, std::size_t capacity) {
    HeldFile& held = Held();
    if (held.fd >= 0) ::close(held.fd);
    held = {path, capacity, -1, false, held.lock};
    if (path.empty()) return Claim::kClaimed;
    // The beside name is locked first: two runs that start together meet there.
    const std::string beside = BesideName(path);
    int fd = ::open(beside.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0666);
    struct stat st {};
    if (fd >= 0 &&
        (!Lock(fd) || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || st.st_nlink != 1)) {
        ::close(fd);  // another run's, or a name someone else planted: not ours to take
        return Claim::kInUse;
    }
    if (fd < 0 && ::lstat(beside.c_str(), &st) == 0) return Claim::kInUse;
    if (::lstat(path.c_str(), &st) != 0) {
        // Nothing there: the report appears by a rename, whole. Its room is
        // taken now, while the disk has it.
        if (fd >= 0) {
            const std::string room(capacity, ' ');
            if (WriteWhole(fd, room)) {
                held.fd = fd;
                held.beside = true;
            } else {
                ::unlink(beside.c_str());
                ::close(fd);
            }
        }
        return Claim::kClaimed;  // where nothing can be made, the write at the end says so
    }
    if (fd >= 0) {
        ::unlink(beside.c_str());
        ::close(fd);
    }
    // The caller's file, or an earlier report: kept, and emptied, so that what
    // it held never passes for this run's report.
    if (!S_ISREG(st.st_mode)) return Claim::kNotRegular;
    fd = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return errno == ELOOP || errno == ENXIO ? Claim::kNotRegular : Claim::kCannotEmpty;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return Claim::kNotRegular;
    }
    if (!Lock(fd)) {
        ::close(fd);
        return Claim::kInUse;
    }
    if (::ftruncate(fd, 0) != 0) {
        ::close(fd);
        return Claim::kCannotEmpty;
    }
    // Room beyond the end, where the file system can keep it; the size stays 0.
    ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(capacity));
    held.fd = fd;
    return Claim::kClaimed;
}

bool WriteWholeFile(const PathString& path, const std::string& bytes) {
    HeldFile& held = Held();
    const bool claimed = held.fd >= 0 && held.target == path;
    int fd = claimed ? held.fd : -1;
    if (claimed) held.fd = -1;
    if (claimed && !held.beside) {
        // Emptied at the start; one small write, so a reader sees it empty or whole.
        const bool written = WriteWhole(fd, bytes);
        if (!written) ::ftruncate(fd, 0);  // no part of a report
        KeepLock(held, fd);
        return written;
    }
    const std::string beside = BesideName(path);
    if (fd >= 0 && (bytes.size() > held.capacity || !WriteWhole(fd, bytes))) {
        ::close(fd);
        fd = -1;
    }
    if (fd < 0) {  // made anew: what a failed write left beside goes first
        ::unlink(beside.c_str());
        fd = ::open(beside.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 && !WriteWhole(fd, bytes)) {
            ::close(fd);
            fd = -1;
        }
    }
    if (fd >= 0 && ::rename(beside.c_str(), path.c_str()) == 0) {
        KeepLock(held, fd);  // still this run's: a second run on the path finds it locked
        return true;
    }
    if (fd >= 0) ::close(fd);
    ::unlink(beside.c_str());
    return false;
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

struct Monitor::State {
    std::mutex mutex;
    std::condition_variable changed;
};

Monitor::Monitor() : state_(std::make_unique<State>()) {}
Monitor::~Monitor() = default;
void Monitor::lock() { state_->mutex.lock(); }
void Monitor::unlock() { state_->mutex.unlock(); }
void Monitor::NotifyAll() { state_->changed.notify_all(); }

void Monitor::WaitLocked() {
    std::unique_lock<std::mutex> held(state_->mutex, std::adopt_lock);
    state_->changed.wait(held);
    held.release();  // still held, by the caller
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
