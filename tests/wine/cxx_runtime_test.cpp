// The exe's own pieces of the C++ runtime under Wine, built as the exe is:
// a function-local static first reached by eight threads at once is
// initialised once and seen whole by all; strings and wide strings
// instantiated where used behave as the library's; allocation of every size
// and its release.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

namespace {

int failures = 0;
int passes = 0;

void Check(bool ok, const char* what) {
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", what);
    ++(ok ? passes : failures);
}

std::atomic<int> initialisations{0};

const std::string& SlowlyInitialised() {
    static const std::string value = [] {
        initialisations.fetch_add(1);
        Sleep(100);  // the other threads arrive while this runs
        return std::string(1000, 'x');
    }();
    return value;
}

DWORD WINAPI ReachStatic(LPVOID seen) {
    *static_cast<std::size_t*>(seen) = SlowlyInitialised().size();
    return 0;
}

}  // namespace

int main() {
    std::vector<std::size_t> seen(8, 0);
    std::vector<HANDLE> threads;
    for (std::size_t& slot : seen) threads.push_back(CreateThread(nullptr, 0, ReachStatic, &slot, 0, nullptr));
    WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, 10000);
    for (HANDLE thread : threads) CloseHandle(thread);
    bool allWhole = true;
    for (std::size_t size : seen) allWhole = allWhole && size == 1000;
    Check(initialisations.load() == 1, "a static reached by eight threads at once is initialised once");
    Check(allWhole, "every thread sees it whole");

    std::string text = "Pobieranie";
    text += std::string(100000, '.');
    text.insert(0, "[");
    Check(text.size() == 100011 && text.find("Pobieranie") == 1 && text.substr(0, 3) == "[Po", "std::string");
    std::wstring wide = L"toviksetup";
    wide.append(L".tmp").replace(0, 6, L"T");
    Check(wide == L"Tetup.tmp" && wide.rfind(L'.') == 5 && std::wstring(wide.rbegin(), wide.rend())[0] == L'p',
          "std::wstring");

    bool allocated = true;
    for (std::size_t size = 0; size <= (std::size_t{1} << 24); size = size ? size * 4 : 1) {
        char* block = new char[size];
        if (size) block[size - 1] = 1;
        delete[] block;
        auto* one = new std::string(size % 1000, 'a');
        allocated = allocated && one->size() == size % 1000;
        delete one;
    }
    Check(allocated, "new and delete of every size up to 16 MiB");

    std::printf("%d passed, %d failed\n", passes, failures);
    return failures ? 1 : 0;
}
