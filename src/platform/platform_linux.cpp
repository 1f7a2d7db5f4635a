// Linux implementation of the platform layer.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>

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

bool WriteWholeFile(const PathString& path, const std::string& bytes) {
    // Same folder, so the rename cannot cross file systems; the mode honours the umask.
    const std::string temporary = path + ".part" + std::to_string(::getpid());
    ::unlink(temporary.c_str());  // what an earlier run of this process id left
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) break;  // a full disk or a file-size limit: a short write
        done += static_cast<std::size_t>(n);
    }
    const bool closed = ::close(fd) == 0;
    if (done != bytes.size() || !closed || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

std::FILE* OpenFileForReading(const PathString& path) { return std::fopen(path.c_str(), "rbe"); }

bool SeekFile(std::FILE* file, std::int64_t offset) {
    return ::fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

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

void ExitProcessNow() {
    std::fflush(nullptr);
    ::_exit(0);
}

void PostWindowMessage(WindowHandle window, unsigned message, std::uintptr_t wParam) {
    if (window) window->Post(message, wParam);
}

}  // namespace platform
