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

#include <algorithm>
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

PathString TempPartialPath(const std::string& sha256) {
    wchar_t folder[MAX_PATH];
    const DWORD folderLength = GetTempPathW(MAX_PATH, folder);
    if (folderLength == 0 || folderLength >= MAX_PATH) return {};
    PathString path = PathString(folder, folderLength) + L"toviksetup-" + Wide(sha256) + L".part";
    return path.size() < MAX_PATH ? path : PathString();
}

namespace {

// A stream over a handle of ours; nullptr (the handle closed) where the C runtime refuses it.
std::FILE* StreamOf(HANDLE handle, int flags, const char* mode) {
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY | flags);
    if (fd < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, mode);
    if (!file) _close(fd);
    return file;
}

bool IsPlainFile(HANDLE handle, BY_HANDLE_FILE_INFORMATION& info) {
    return GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &info) &&
           !(info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY));
}

}  // namespace

std::FILE* OpenPartialFile(const PathString& path) {
    // The user's temporary folder is the user's own; not shared while open, so
    // a second run of the same release downloads under its own name instead.
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    BY_HANDLE_FILE_INFORMATION info;
    if (!IsPlainFile(handle, info) || info.nNumberOfLinks != 1) {
        CloseHandle(handle);
        return nullptr;
    }
    return StreamOf(handle, _O_RDWR, "r+b");
}

void RemoveOtherPartials(const PathString& keep) {
    wchar_t folder[MAX_PATH];
    const DWORD folderLength = GetTempPathW(MAX_PATH, folder);
    if (folderLength == 0 || folderLength >= MAX_PATH) return;
    const PathString base(folder, folderLength);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((base + L"toviksetup-*.part").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        const PathString path = base + found.cFileName;
        // The pattern also matches 8.3 names and longer suffixes: only the real ".part" names count.
        const std::size_t length = std::wcslen(found.cFileName);
        if (path != keep && length > 5 && std::wcscmp(found.cFileName + length - 5, L".part") == 0 &&
            !(found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
            DeleteFileW(path.c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

bool CloseAndRename(std::FILE* file, const PathString& from, const PathString& to) {
    // A file open without sharing cannot be renamed: closed first.
    const bool closed = std::fclose(file) == 0;
    return closed && MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING);
}

std::int64_t FileLength(std::FILE* file) {
    LARGE_INTEGER size;
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    return handle != INVALID_HANDLE_VALUE && GetFileSizeEx(handle, &size) ? size.QuadPart : -1;
}

bool TruncateFile(std::FILE* file, std::int64_t length) {
    return std::fflush(file) == 0 && _chsize_s(_fileno(file), length) == 0 && SeekFile(file, length);
}

std::FILE* CreateFileForWriting(const PathString& path) {
    // Not shared while open; a reparse point at the name is opened itself, not followed.
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    BY_HANDLE_FILE_INFORMATION info;
    if (!IsPlainFile(handle, info) || !SetEndOfFile(handle)) {
        CloseHandle(handle);
        return nullptr;
    }
    return StreamOf(handle, _O_WRONLY, "wb");
}

// ---------------------------------------------------------------- whole files

namespace {

// What this run holds at the report's path: the caller's own file, written in
// place, or the file beside it, renamed into place at the end. Write access
// is not shared, so a second run's open for writing fails: that is the lock.
// Once the report is written it is held for reading only, until the process
// ends, so that callers that do not share writing can read it; deleting is
// shared throughout, so that the caller can take the report away.
struct HeldFile {
    PathString target;
    HANDLE handle = INVALID_HANDLE_VALUE;
    bool beside = false;
    HANDLE lock = INVALID_HANDLE_VALUE;  // the written report, held for reading
};

HeldFile& Held() {
    static HeldFile held;
    return held;
}

PathString BesideName(const PathString& path) { return path + L".part"; }

HANDLE OpenHeld(const PathString& path, DWORD access, DWORD disposition) {
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

bool WriteAllAtStart(HANDLE handle, const std::string& bytes) {
    DWORD written = 0;
    return SetFilePointer(handle, 0, nullptr, FILE_BEGIN) == 0 &&
           WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size() && SetEndOfFile(handle);
}

// Removes the file behind a handle opened with DELETE access, then closes it.
void DeleteAndClose(HANDLE handle) {
    FILE_DISPOSITION_INFO disposition = {TRUE};
    SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition);
    CloseHandle(handle);
}

// Renames the file behind handle to path, replacing what is there, while the
// handle stays open: the lock is never let go between the write and the rename.
bool RenameHeld(HANDLE handle, const PathString& path) {
    wchar_t full[32768];
    const DWORD length = GetFullPathNameW(path.c_str(), 32768, full, nullptr);
    if (length == 0 || length >= 32768) return false;
    const PathString target = L"\\??\\" + PathString(full, length);
    std::string buffer(sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t), '\0');
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(&buffer[0]);
    rename->ReplaceIfExists = TRUE;
    rename->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
    std::copy(target.begin(), target.end(), rename->FileName);
    return SetFileInformationByHandle(handle, FileRenameInfo, rename, static_cast<DWORD>(buffer.size()));
}

// The written report's hold: for reading only, write access still not shared.
// Reading alone cannot be opened while the write handle is open, so there is
// a moment between the two when a second run could open the report.
void KeepLock(HeldFile& held, HANDLE writer, const PathString& path) {
    CloseHandle(writer);
    if (held.lock != INVALID_HANDLE_VALUE) CloseHandle(held.lock);
    held.lock = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

}  // namespace

Claim ClaimWholeFile(const PathString& path, std::size_t capacity) {
    HeldFile& held = Held();
    if (held.handle != INVALID_HANDLE_VALUE) CloseHandle(held.handle);
    held = {path, INVALID_HANDLE_VALUE, false, held.lock};
    if (path.empty()) return Claim::kClaimed;
    // The beside name is opened first: two runs that start together meet there.
    HANDLE beside = OpenHeld(BesideName(path), GENERIC_WRITE | DELETE, OPEN_ALWAYS);
    if (beside == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION) return Claim::kInUse;
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        // Nothing there: the report appears by a rename, whole. Its room is
        // taken now, while the disk has it.
        if (beside != INVALID_HANDLE_VALUE && WriteAllAtStart(beside, std::string(capacity, ' '))) {
            held.handle = beside;
            held.beside = true;
        } else if (beside != INVALID_HANDLE_VALUE) {
            DeleteAndClose(beside);
        }
        return Claim::kClaimed;  // where nothing can be made, the write at the end says so
    }
    if (beside != INVALID_HANDLE_VALUE) DeleteAndClose(beside);
    // The caller's file, or an earlier report: kept, and emptied, so that what
    // it held never passes for this run's report.
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE))
        return Claim::kNotRegular;
    HANDLE own = OpenHeld(path, GENERIC_WRITE, OPEN_EXISTING);
    if (own == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_SHARING_VIOLATION ? Claim::kInUse : Claim::kCannotEmpty;
    if (GetFileType(own) != FILE_TYPE_DISK) {  // NUL, CON, COM1 and the like
        CloseHandle(own);
        return Claim::kNotRegular;
    }
    if (!WriteAllAtStart(own, std::string())) {
        CloseHandle(own);
        return Claim::kCannotEmpty;
    }
    held.handle = own;
    return Claim::kClaimed;
}

bool WriteWholeFile(const PathString& path, const std::string& bytes) {
    HeldFile& held = Held();
    const bool claimed = held.handle != INVALID_HANDLE_VALUE && held.target == path;
    HANDLE handle = claimed ? held.handle : INVALID_HANDLE_VALUE;
    if (claimed) held.handle = INVALID_HANDLE_VALUE;
    if (claimed && !held.beside) {
        const bool written = WriteAllAtStart(handle, bytes);
        if (!written) WriteAllAtStart(handle, std::string());  // no part of a report
        KeepLock(held, handle, path);
        return written;
    }
    if (handle != INVALID_HANDLE_VALUE && !WriteAllAtStart(handle, bytes)) {
        DeleteAndClose(handle);
        handle = INVALID_HANDLE_VALUE;
    }
    if (handle == INVALID_HANDLE_VALUE) {
        if (held.lock != INVALID_HANDLE_VALUE) CloseHandle(held.lock);  // a report of ours that is replaced
        held.lock = INVALID_HANDLE_VALUE;
        handle = OpenHeld(BesideName(path), GENERIC_WRITE | DELETE, CREATE_ALWAYS);
        if (handle != INVALID_HANDLE_VALUE && !WriteAllAtStart(handle, bytes)) {
            DeleteAndClose(handle);
            handle = INVALID_HANDLE_VALUE;
        }
    }
    if (handle != INVALID_HANDLE_VALUE && RenameHeld(handle, path)) {
        KeepLock(held, handle, path);  // still this run's: a second run on the path finds it held
        return true;
    }
    if (handle != INVALID_HANDLE_VALUE) DeleteAndClose(handle);
    return false;
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

struct Monitor::State {
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
};

Monitor::Monitor() : state_(std::make_unique<State>()) {}
Monitor::~Monitor() = default;
void Monitor::lock() { AcquireSRWLockExclusive(&state_->lock); }
void Monitor::unlock() { ReleaseSRWLockExclusive(&state_->lock); }
void Monitor::NotifyAll() { WakeAllConditionVariable(&state_->changed); }
void Monitor::WaitLocked() { SleepConditionVariableSRW(&state_->changed, &state_->lock, INFINITE, 0); }

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

// "host:port", or per scheme "http=host:port;https=...;socks=host:port": the
// entry for scheme, else one for every scheme, else the SOCKS entry (SOCKS 4,
// as the system's own programs speak it). Several proxies in a row (from a
// script): the first.
std::wstring ProxyForScheme(const std::wstring& list, const wchar_t* scheme) {
    std::wstring any, socks;
    std::size_t start = 0;
    while (start < list.size()) {
        std::size_t end = list.find_first_of(L"; \t", start);
        if (end == std::wstring::npos) end = list.size();
        const std::wstring entry = list.substr(start, end - start);
        start = end + 1;
        const std::size_t equals = entry.find(L'=');
        if (equals == std::wstring::npos) {
            if (any.empty()) any = entry;
            continue;
        }
        const std::wstring name = entry.substr(0, equals);
        if (_wcsicmp(name.c_str(), scheme) == 0) return entry.substr(equals + 1);
        if (_wcsicmp(name.c_str(), L"socks") == 0 && socks.empty() && equals + 1 < entry.size())
            socks = L"socks4://" + entry.substr(equals + 1);
    }
    return any.empty() ? socks : any;
}

// What a lookup by script or auto-detection needs, shared with its thread,
// which may outlive the wait for it: the last of the two to let go deletes it.
struct ScriptLookup {
    std::wstring url, scriptUrl;
    const wchar_t* scheme = L"http";
    bool detect = false;
    std::wstring proxy;
    bool answered = false;
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    LONG owners = 2;
    ~ScriptLookup() {
        if (done) CloseHandle(done);
    }
};

void Release(ScriptLookup* lookup) {
    if (InterlockedDecrement(&lookup->owners) == 0) delete lookup;
}

void LookUpByScript(ScriptLookup& lookup) {
    HINTERNET session =
        WinHttpOpen(L"Tovik", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session) return;
    // Fetching the script is bounded like any request of ours.
    WinHttpSetTimeouts(session, 5000, 5000, 5000, 5000);
    WINHTTP_AUTOPROXY_OPTIONS options{};
    if (!lookup.scriptUrl.empty()) {
        options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = lookup.scriptUrl.c_str();
    }
    if (lookup.detect) {
        options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    options.fAutoLogonIfChallenged = TRUE;
    WINHTTP_PROXY_INFO info{};
    lookup.answered = WinHttpGetProxyForUrl(session, lookup.url.c_str(), &options, &info);
    if (lookup.answered && info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && info.lpszProxy)
        lookup.proxy = ProxyForScheme(info.lpszProxy, lookup.scheme);  // a script's DIRECT leaves it empty
    if (info.lpszProxy) GlobalFree(info.lpszProxy);
    if (info.lpszProxyBypass) GlobalFree(info.lpszProxyBypass);
    WinHttpCloseHandle(session);
}

DWORD WINAPI ScriptLookupThread(void* parameter) {
    auto* lookup = static_cast<ScriptLookup*>(parameter);
    LookUpByScript(*lookup);
    SetEvent(lookup->done);
    Release(lookup);
    return 0;
}

// An auto-config script or auto-detection: true when it gave an answer.
// Auto-detection (DHCP, DNS) is not bound by the session's timeouts, so the
// lookup runs on a thread of its own and is given up after kScriptSeconds:
// then the manual setting holds, if any, else direct. The script is asked
// once per host, also where it would route by path.
constexpr DWORD kScriptSeconds = 10;

bool ProxyFromScript(const std::wstring& url, const wchar_t* scriptUrl, bool detect, const wchar_t* scheme,
                     std::wstring& proxy) {
    auto* lookup = new ScriptLookup;
    lookup->url = url;
    lookup->scriptUrl = scriptUrl ? scriptUrl : L"";
    lookup->scheme = scheme;
    lookup->detect = detect;
    const HANDLE thread = lookup->done ? CreateThread(nullptr, 0, ScriptLookupThread, lookup, 0, nullptr) : nullptr;
    if (!thread) {
        delete lookup;
        return false;
    }
    CloseHandle(thread);  // never joined
    const bool answered = WaitForSingleObject(lookup->done, kScriptSeconds * 1000) == WAIT_OBJECT_0 && lookup->answered;
    if (answered) proxy = lookup->proxy;
    Release(lookup);
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
    const wchar_t* scheme = parts.nScheme == INTERNET_SCHEME_HTTPS ? L"https" : L"http";
    std::wstring proxy;
    const bool scripted = (settings.fAutoDetect || settings.lpszAutoConfigUrl) &&
                          ProxyFromScript(wideUrl, settings.lpszAutoConfigUrl, settings.fAutoDetect, scheme, proxy);
    if (!scripted && settings.lpszProxy && !(settings.lpszProxyBypass && Bypassed(settings.lpszProxyBypass, host)))
        proxy = ProxyForScheme(settings.lpszProxy, scheme);
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
