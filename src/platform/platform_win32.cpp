// Windows implementation of the platform layer.
#include <windows.h>

#include <bcrypt.h>
#include <fcntl.h>
#include <io.h>
#include <softpub.h>
#include <time.h>
#include <wincrypt.h>
#include <winhttp.h>
#include <wintrust.h>

#include <cstdio>
#include <cwchar>
#include <cwctype>

#include "platform/error_stream.h"
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

// ---------------------------------------------------------------- whole files

namespace {

// The file beside the target that PrepareWholeFile made, kept open until the write.
struct BesideFile {
    PathString target;
    std::size_t capacity = 0;
    HANDLE handle = INVALID_HANDLE_VALUE;
};

BesideFile& Prepared() {
    static BesideFile beside;
    return beside;
}

PathString BesideName(const PathString& path) {
    const std::string pid = std::to_string(GetCurrentProcessId());  // to_wstring would bring a wide printf
    return path + L".part" + PathString(pid.begin(), pid.end());
}

bool WriteAllAtStart(HANDLE handle, const std::string& bytes) {
    DWORD written = 0;
    return SetFilePointer(handle, 0, nullptr, FILE_BEGIN) == 0 &&
           WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size() && SetEndOfFile(handle);
}

// A new file beside path holding bytes; INVALID_HANDLE_VALUE when it cannot be made.
HANDLE CreateBeside(const PathString& path, const std::string& bytes) {
    const PathString name = BesideName(path);
    // Not shared: nobody reads it before it is renamed into place.
    HANDLE handle = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE && !WriteAllAtStart(handle, bytes)) {
        CloseHandle(handle);
        DeleteFileW(name.c_str());
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

bool WriteInPlace(const PathString& path, const std::string& bytes) {
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

}  // namespace

void PrepareWholeFile(const PathString& path, std::size_t capacity) {
    if (path.empty()) return;
    if (!DeleteFileW(path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
        HANDLE stale = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING, 0, nullptr);
        if (stale != INVALID_HANDLE_VALUE) CloseHandle(stale);
    }
    BesideFile& beside = Prepared();
    if (beside.handle != INVALID_HANDLE_VALUE) CloseHandle(beside.handle);
    beside = {path, capacity, CreateBeside(path, std::string(capacity, ' '))};
}

bool WriteWholeFile(const PathString& path, const std::string& bytes) {
    BesideFile& beside = Prepared();
    const PathString name = BesideName(path);
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (beside.handle != INVALID_HANDLE_VALUE && beside.target == path && bytes.size() <= beside.capacity) {
        // Overwrites bytes already on disk and cuts the rest: no new space needed.
        handle = beside.handle;
        beside.handle = INVALID_HANDLE_VALUE;
        if (!WriteAllAtStart(handle, bytes)) {
            CloseHandle(handle);
            handle = INVALID_HANDLE_VALUE;
        }
    } else {
        handle = CreateBeside(path, bytes);
    }
    if (handle != INVALID_HANDLE_VALUE && CloseHandle(handle) &&
        MoveFileExW(name.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING))
        return true;
    DeleteFileW(name.c_str());  // its room is free again for the write in place
    return WriteInPlace(path, bytes);
}

std::FILE* OpenFileForReading(const PathString& path) {
    std::FILE* file = nullptr;
    return _wfopen_s(&file, path.c_str(), L"rb") == 0 ? file : nullptr;
}

bool SeekFile(std::FILE* file, std::int64_t offset) { return _fseeki64(file, offset, SEEK_SET) == 0; }

bool RemoveFile(const PathString& path) { return DeleteFileW(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND; }

// ---------------------------------------------------------------- Authenticode

bool SignedByPublisher(const PathString& path, const std::string& publisher) {
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = path.c_str();
    WINTRUST_DATA trust = {};
    trust.cbStruct = sizeof trust;
    trust.dwUIChoice = WTD_UI_NONE;
    trust.fdwRevocationChecks = WTD_REVOKE_NONE;
    trust.dwUnionChoice = WTD_CHOICE_FILE;
    trust.pFile = &file;
    trust.dwStateAction = WTD_STATEACTION_VERIFY;
    // Nothing is fetched from the network: an offline machine gets its answer at once.
    trust.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const HWND noWindow = static_cast<HWND>(INVALID_HANDLE_VALUE);
    bool signedByPublisher = false;
    if (WinVerifyTrust(noWindow, &action, &trust) == 0) {
        CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(trust.hWVTStateData);
        CRYPT_PROVIDER_SGNR* signer = provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
        CRYPT_PROVIDER_CERT* leaf = signer ? WTHelperGetProvCertFromChain(signer, 0) : nullptr;
        wchar_t name[512];
        if (leaf && CertGetNameStringW(leaf->pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 512) > 1)
            signedByPublisher = Wide(publisher) == name;
    }
    trust.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(noWindow, &action, &trust);
    return signedByPublisher;
}

// ---------------------------------------------------------------- SHA-256

namespace {

BCRYPT_ALG_HANDLE Sha256Algorithm() {
    static BCRYPT_ALG_HANDLE algorithm = [] {
        BCRYPT_ALG_HANDLE opened = nullptr;
        return BCryptOpenAlgorithmProvider(&opened, BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0 ? opened : nullptr;
    }();
    return algorithm;
}

}  // namespace

// Hash objects allocated by BCrypt itself (Windows 7 and later).
struct Sha256::State {
    BCRYPT_HASH_HANDLE hash = nullptr;
    ~State() {
        if (hash) BCryptDestroyHash(hash);
    }
    void CopyFrom(BCRYPT_HASH_HANDLE other) {
        if (hash) BCryptDestroyHash(hash);
        hash = nullptr;
        if (other && BCryptDuplicateHash(other, &hash, nullptr, 0, 0) != 0) hash = nullptr;
    }
};

Sha256::Sha256() : state_(new State) {
    if (!Sha256Algorithm() || BCryptCreateHash(Sha256Algorithm(), &state_->hash, nullptr, 0, nullptr, 0, 0) != 0)
        state_->hash = nullptr;
}

Sha256::Sha256(const Sha256& other) : state_(new State) { state_->CopyFrom(other.state_->hash); }

Sha256& Sha256::operator=(const Sha256& other) {
    if (this != &other) state_->CopyFrom(other.state_->hash);
    return *this;
}

Sha256::~Sha256() = default;

void Sha256::Add(const void* data, std::size_t size) {
    // BCryptHashData takes a ULONG length; a failure drops the hash for good.
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (state_->hash && size > 0) {
        const ULONG chunk = size > 0x40000000 ? 0x40000000 : static_cast<ULONG>(size);
        if (BCryptHashData(state_->hash, const_cast<PUCHAR>(bytes), chunk, 0) != 0) {
            BCryptDestroyHash(state_->hash);
            state_->hash = nullptr;
        }
        bytes += chunk;
        size -= chunk;
    }
}

std::string Sha256::Digest() const {
    State last;  // finishing ends a hash: a copy finishes, this one may go on
    last.CopyFrom(state_->hash);
    unsigned char digest[32];
    if (!last.hash || BCryptFinishHash(last.hash, digest, sizeof digest, 0) != 0) return "";
    return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

// ---------------------------------------------------------------- clocks and process

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

namespace {

DWORD WINAPI DetachedThreadEntry(LPVOID parameter) {
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(parameter));
    (*body)();
    return 0;
}

}  // namespace

bool StartDetachedThread(std::function<void()> body) {
    auto* parameter = new std::function<void()>(std::move(body));
    const HANDLE thread = CreateThread(nullptr, 0, DetachedThreadEntry, parameter, 0, nullptr);
    if (!thread) {
        delete parameter;
        return false;
    }
    CloseHandle(thread);  // never joined
    return true;
}

// ---------------------------------------------------------------- proxy

namespace {

// '*' stands for any run of characters; case is ignored.
bool WildcardMatch(const wchar_t* pattern, const wchar_t* text) {
    if (*pattern == L'*') return WildcardMatch(pattern + 1, text) || (*text && WildcardMatch(pattern, text + 1));
    if (!*pattern || !*text) return !*pattern && !*text;
    return towlower(*pattern) == towlower(*text) && WildcardMatch(pattern + 1, text + 1);
}

// A WinINet bypass list ("<local>;*.corp;10.*") against a host: entries are
// wildcard patterns without regard to case; "<local>" is any name without a dot.
bool Bypassed(const std::wstring& list, const std::wstring& host) {
    std::size_t start = 0;
    while (start < list.size()) {
        std::size_t end = list.find_first_of(L"; ,\t\r\n", start);
        if (end == std::wstring::npos) end = list.size();
        std::wstring pattern = list.substr(start, end - start);
        start = end + 1;
        const std::size_t scheme = pattern.find(L"://");
        if (scheme != std::wstring::npos) pattern.erase(0, scheme + 3);
        if (pattern.empty()) continue;
        if (_wcsicmp(pattern.c_str(), L"<local>") == 0) {
            if (host.find(L'.') == std::wstring::npos) return true;
        } else if (WildcardMatch(pattern.c_str(), host.c_str())) {
            return true;
        }
    }
    return false;
}

// "host:port", or per scheme "http=host:port;https=...": the entry for http.
// Several proxies in a row (from a script): the first.
std::wstring ProxyForHttp(const std::wstring& list) {
    std::size_t start = 0;
    while (start < list.size()) {
        std::size_t end = list.find_first_of(L"; \t", start);
        if (end == std::wstring::npos) end = list.size();
        const std::wstring entry = list.substr(start, end - start);
        start = end + 1;
        const std::size_t equals = entry.find(L'=');
        if (equals == std::wstring::npos && !entry.empty()) return entry;
        if (equals != std::wstring::npos && _wcsicmp(entry.substr(0, equals).c_str(), L"http") == 0)
            return entry.substr(equals + 1);
    }
    return {};
}

// An auto-config script or auto-detection: true when it gave an answer.
bool ProxyFromScript(const std::wstring& url, const wchar_t* scriptUrl, bool detect, std::wstring& proxy) {
    HINTERNET session =
        WinHttpOpen(L"Tovik", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session) return false;
    // Fetching the script is bounded like any request of ours.
    WinHttpSetTimeouts(session, 5000, 5000, 5000, 5000);
    WINHTTP_AUTOPROXY_OPTIONS options{};
    if (scriptUrl) {
        options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = scriptUrl;
    }
    if (detect) {
        options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    options.fAutoLogonIfChallenged = TRUE;
    WINHTTP_PROXY_INFO info{};
    const bool answered = WinHttpGetProxyForUrl(session, url.c_str(), &options, &info);
    if (answered && info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && info.lpszProxy)
        proxy = ProxyForHttp(info.lpszProxy);  // a script's DIRECT leaves it empty
    if (info.lpszProxy) GlobalFree(info.lpszProxy);
    if (info.lpszProxyBypass) GlobalFree(info.lpszProxyBypass);
    WinHttpCloseHandle(session);
    return answered;
}

}  // namespace

std::optional<std::string> SystemProxyFor(const std::string& url) {
    const std::wstring wideUrl = Wide(url);
    wchar_t host[256] = {};
    URL_COMPONENTSW parts{};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = 255;
    if (!WinHttpCrackUrl(wideUrl.c_str(), 0, 0, &parts)) return std::string();

    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG settings{};
    // Without the user's settings, look for a proxy as the system's default does.
    if (!WinHttpGetIEProxyConfigForCurrentUser(&settings)) settings.fAutoDetect = TRUE;
    std::wstring proxy;
    const bool scripted = (settings.fAutoDetect || settings.lpszAutoConfigUrl) &&
                          ProxyFromScript(wideUrl, settings.lpszAutoConfigUrl, settings.fAutoDetect, proxy);
    if (!scripted && settings.lpszProxy && !(settings.lpszProxyBypass && Bypassed(settings.lpszProxyBypass, host)))
        proxy = ProxyForHttp(settings.lpszProxy);
    for (LPWSTR text : {settings.lpszAutoConfigUrl, settings.lpszProxy, settings.lpszProxyBypass})
        if (text) GlobalFree(text);
    return Utf8(proxy);
}

std::string OsFamily() { return "Windows"; }

std::string OsVersionText() {
    OSVERSIONINFOW version;
    ZeroMemory(&version, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;  // 276
    GetVersionExW(&version);                       // zeros stay when it fails: "Windows NT 0.0"
    return "Windows NT " + std::to_string(version.dwMajorVersion) + "." + std::to_string(version.dwMinorVersion);
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

// ---------------------------------------------------------------- standard error

// Only the error stream's own thread calls it: an anonymous pipe cannot say
// whether a write would wait.
bool WriteAllToStandardError(const char* data, std::size_t size) {
    const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;  // usual for a GUI program
    while (size > 0) {
        DWORD written = 0;
        const DWORD chunk = size > 0x100000 ? 0x100000 : static_cast<DWORD>(size);
        if (!WriteFile(handle, data, chunk, &written, nullptr) || written == 0) return false;
        data += written;
        size -= written;
    }
    return true;
}

void PrepareProcess() {}  // a GUI program gets none of those signals, and its handles are not numbered

void PostWindowMessage(WindowHandle window, unsigned message, std::uintptr_t wParam) {
    PostMessageW(window, message, static_cast<WPARAM>(wParam), 0);
}

}  // namespace platform
