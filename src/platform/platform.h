// The few operating-system services the portable core needs. One implementation
// per OS: platform_linux.cpp, platform_win32.cpp; the standard error queue and
// the exit, shared by both, in error_stream.cpp. No OS header leaks from here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#ifdef _WIN32
struct HWND__;
using WindowHandle = HWND__*;
#else
// On Linux the window is whatever object receives posted messages.
class MessageSink {
public:
    // Called from any thread; must only queue the message for the window thread.
    virtual void Post(unsigned message, std::uintptr_t wParam) = 0;

protected:
    ~MessageSink() = default;
};
using WindowHandle = MessageSink*;
#endif

namespace platform {

#ifdef _WIN32
using PathChar = wchar_t;
#else
using PathChar = char;
#endif
using PathString = std::basic_string<PathChar>;

// The user's temporary folder followed by "toviksetup<nameId>.tmp"; empty when
// no such path can be formed.
PathString TempInstallerPath(int nameId);

// The user's temporary folder followed by "toviksetup-<sha256>.part": where a
// download of that release is kept until it is verified, across runs; empty
// when no such path can be formed.
PathString TempPartialPath(const std::string& sha256);

// Opens the partial download at path for reading and writing (binary),
// creating it empty where nothing is there. Only a regular file of this user's
// with no other link, that neither group nor others may write, and that no
// other run holds, is used, never through a symbolic link; it is held for this
// run until closed. Anything else gives nullptr and is left exactly as it is.
std::FILE* OpenPartialFile(const PathString& path);

// Removes this user's own regular files "toviksetup-*.part" in the temporary
// folder but the one at keep: partials of other releases.
void RemoveOtherPartials(const PathString& keep);

// Closes a file of ours and gives it the name to, replacing a file of ours
// there; false when either step failed (what is at from is then left).
bool CloseAndRename(std::FILE* file, const PathString& from, const PathString& to);

// The file's length; -1 where it cannot be known.
std::int64_t FileLength(std::FILE* file);
// Cuts the file to length bytes and positions it there.
bool TruncateFile(std::FILE* file, std::int64_t length);

// Creates or truncates a regular file for binary writing. Never follows a
// symbolic link and never truncates anything but a regular file of ours:
// such a path gives nullptr.
std::FILE* CreateFileForWriting(const PathString& path);

// What ClaimWholeFile found at a path (docs/report-protocol.md).
enum class Claim {
    kClaimed,      // this run's file will be put there; nothing else can be
    kNotRegular,   // a folder, device, FIFO or symbolic link: left alone
    kInUse,        // another run (or program) holds the path
    kCannotEmpty,  // a file there that cannot be emptied: what it holds is not this run's
};

// At the start of a run, for the file WriteWholeFile will put at path. A file
// already there (the caller's, or an earlier report) is kept and emptied in
// place, never removed; else "<path>.part" takes the room the file will need,
// while the disk has it. What is claimed stays locked until the process ends.
Claim ClaimWholeFile(const PathString& path, std::size_t capacity);

// Puts bytes at path whole or not at all: into the claimed file in one write,
// or into the file beside it, renamed into place. false when nothing usable
// is there.
bool WriteWholeFile(const PathString& path, const std::string& bytes);
// Binary, not shared with other openers where the OS can say so.
std::FILE* OpenFileForReading(const PathString& path);

// 64-bit file positioning from the start of the file.
bool SeekFile(std::FILE* file, std::int64_t offset);

// Removes a file of ours; false when it is still there.
bool RemoveFile(const PathString& path);

// Windows: whether the file carries an Authenticode signature that the system
// trusts, whose signer's simple display name is publisher (UTF-8) exactly.
// Never goes online, so it cannot hang offline; revocation is not checked.
// Other systems have no such signatures: false.
bool SignedByPublisher(const PathString& path, const std::string& publisher);

// SHA-256 by the OS's own implementation (BCrypt on Windows, the libcrypto
// libcurl brings on Linux). A copy carries the state so far, so that an
// attempt that may fail can add to a copy while the confirmed state is kept.
class Sha256 {
public:
    Sha256();
    Sha256(const Sha256& other);
    Sha256& operator=(const Sha256& other);
    ~Sha256();

    void Add(const void* data, std::size_t size);
    // The 32 bytes of the digest so far; "" where the OS failed at any step.
    std::string Digest() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

std::uint32_t ProcessId();
std::int64_t CalendarSeconds();  // seconds since 1970-01-01 UTC
std::int64_t PerformanceCounter();
double PerformanceFrequency();  // counts per second
void SleepMilliseconds(unsigned milliseconds);
// Runs body on a thread of its own that is never joined; false when no thread
// can be started (body is then not run).
bool StartDetachedThread(std::function<void()> body);

// A lock and one condition to wait for under it: what a queue between two
// threads needs. std::mutex and std::condition_variable on Linux; on Windows
// the system's own SRW lock and condition variable, where the C++ library's
// would bring a thread library of their own into the exe. lock() and unlock()
// let std::lock_guard and std::unique_lock hold it.
class Monitor {
public:
    Monitor();
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;
    ~Monitor();

    void lock();
    void unlock();
    // With the lock held: until ready() holds, lets the lock go and sleeps
    // until NotifyAll, then holds the lock again.
    template <class Ready>
    void WaitUntil(Ready ready) {
        while (!ready()) WaitLocked();
    }
    void NotifyAll();

private:
    void WaitLocked();
    struct State;
    std::unique_ptr<State> state_;
};

// The proxy the user's system names for an http URL, found the way the
// system's own programs find it: "" for none (direct), else "host:port".
// Without a value the choice is libcurl's own: on Linux that is the standard
// proxy environment variables. May take seconds (an auto-config script, or
// auto-detection): never on the window thread.
std::optional<std::string> SystemProxyFor(const std::string& url);

// The User-Agent's operating-system pair, e.g. "Windows" and "Windows NT 6.1".
std::string OsFamily();
std::string OsVersionText();

// The program's file name without folder and extension, e.g. for captions.
std::string ProgramName();
// A path as UTF-8 text, for messages.
std::string PathText(const PathString& path);

// Writes text to standard error without ever waiting: a thread of its own
// writes it; what a reader that stopped reading leaves queued beyond 64 KiB is
// dropped. Any thread.
void WriteToStandardError(const std::string& text);
// Waits at most milliseconds for what standard error has queued to be written.
void DrainStandardError(unsigned milliseconds);

// First thing in main: makes safe what the process inherited. On Linux,
// standard streams that were closed are opened on /dev/null (else the next
// file opened, the X connection, would take their numbers and receive libcurl's
// trace), and neither a reader closing standard error (SIGPIPE) nor a
// file-size limit (SIGXFSZ) ends the run: the write fails instead.
void PrepareProcess();

// Ends the process with code 0 without running static destructors, which
// could race a background thread still blocked in a transfer, and without
// flushing streams, whose locks such a thread may hold. What standard error
// still has queued gets at most 200 ms first.
[[noreturn]] void ExitProcessNow();

void PostWindowMessage(WindowHandle window, unsigned message, std::uintptr_t wParam);

}  // namespace platform
