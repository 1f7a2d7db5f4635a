// Windows implementation of the platform layer.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <time.h>

#include <cstdio>
#include <cwchar>

#include "platform/platform.h"
#include "platform/win32_text.h"

namespace platform {

PathString TempInstallerPath(int nameId) {
    wchar_t folder[MAX_PATH];
    // 0 is a failure; a length of MAX_PATH or more did not fit and left the buffer undefined.
    const DWORD folderLength = GetTempPathW(MAX_PATH, folder);
    if (folderLength == 0 || folderLength >= MAX_PATH) return {};
    // A folder too long for the name leaves no path rather than a cut one.
    // wsprintfW writes at most 1024 characters, more than a folder and the name take.
    wchar_t path[1024];
    const int length = wsprintfW(path, L"%s%s%d.tmp", folder, L"toviksetup", nameId);
    if (length >= MAX_PATH + 2) return {};
    return PathString(path, static_cast<std::size_t>(length));
}

std::FILE* CreateFileForWriting(const PathString& path) {
    // Not shared while open; a reparse point at the name is opened itself, not followed.
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) || !SetEndOfFile(handle)) {
        CloseHandle(handle);
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY | _O_WRONLY);
    if (fd < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, "wb");
    if (!file) _close(fd);
    return file;
}

bool WriteWholeFile(const PathString& path, const std::string& bytes) {
    // _wfopen_s does not share the file: the caller cannot read it before it is closed.
    std::FILE* file = nullptr;
    if (_wfopen_s(&file, path.c_str(), L"wb") != 0 || !file) return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (std::fclose(file) != 0 || !written) {
        _wremove(path.c_str());  // a half report is no report
        return false;
    }
    return true;
}

std::FILE* OpenFileForReading(const PathString& path) {
    std::FILE* file = nullptr;
    return _wfopen_s(&file, path.c_str(), L"rb") == 0 ? file : nullptr;
}

bool SeekFile(std::FILE* file, std::int64_t offset) { return _fseeki64(file, offset, SEEK_SET) == 0; }

std::uint32_t ProcessId() { return GetProcessId(GetCurrentProcess()); }

std::int64_t CalendarSeconds() { return _time64(nullptr); }

std::int64_t PerformanceCounter() {
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    return count.QuadPart;
}

double PerformanceFrequency() {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(frequency.QuadPart);
}

void SleepMilliseconds(unsigned milliseconds) { Sleep(milliseconds); }

std::string OsFamily() { return "Windows"; }

std::string OsVersionText() {
    OSVERSIONINFOW version;
    ZeroMemory(&version, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;  // 276
    GetVersionExW(&version);                       // zeros stay when it fails: "Windows NT 0.0"
    char text[4096];
    std::snprintf(text, sizeof text, "Windows NT %lu.%lu", version.dwMajorVersion, version.dwMinorVersion);
    return text;
}

std::string ProgramName() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring name(path, length);
    name = name.substr(name.find_last_of(L"\\/") + 1);
    const std::size_t dot = name.rfind(L'.');
    return Utf8(dot == std::wstring::npos || dot == 0 ? name : name.substr(0, dot));
}

std::string PathText(const PathString& path) { return Utf8(path); }

void ExitProcessNow() {
    std::fflush(nullptr);
    _exit(0);
}

void PostWindowMessage(WindowHandle window, unsigned message, std::uintptr_t wParam) {
    PostMessageW(window, message, static_cast<WPARAM>(wParam), 0);
}

}  // namespace platform
