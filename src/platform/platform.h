// The few operating-system services the portable core needs. One implementation
// per OS: platform_linux.cpp, platform_win32.cpp. No OS header leaks from here.
#pragma once

#include <cstdint>
#include <cstdio>
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

// Creates or truncates a regular file for binary writing. Never follows a
// symbolic link and never truncates anything but a regular file of ours:
// such a path gives nullptr.
std::FILE* CreateFileForWriting(const PathString& path);

// Puts bytes at path whole or not at all: a reader never sees part of them.
// Linux writes a file beside it and renames it into place; Windows writes the
// file itself, not shared with any other opener until it is closed, and
// removes what it wrote when the write fails. false when nothing usable is there.
bool WriteWholeFile(const PathString& path, const std::string& bytes);
// Binary, not shared with other openers where the OS can say so.
std::FILE* OpenFileForReading(const PathString& path);

// 64-bit file positioning from the start of the file.
bool SeekFile(std::FILE* file, std::int64_t offset);

std::uint32_t ProcessId();
std::int64_t CalendarSeconds();  // seconds since 1970-01-01 UTC
std::int64_t PerformanceCounter();
double PerformanceFrequency();  // counts per second
void SleepMilliseconds(unsigned milliseconds);

// The User-Agent's operating-system pair, e.g. "Windows" and "Windows NT 6.1".
std::string OsFamily();
std::string OsVersionText();

// The program's file name without folder and extension, e.g. for captions.
std::string ProgramName();
// A path as UTF-8 text, for messages.
std::string PathText(const PathString& path);

// Ends the process with code 0 without running static destructors, which
// could race a background thread still blocked in a transfer.
[[noreturn]] void ExitProcessNow();

void PostWindowMessage(WindowHandle window, unsigned message, std::uintptr_t wParam);

}  // namespace platform
