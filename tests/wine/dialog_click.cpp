// Drives a dialog from outside, as a user's clicks would:
//   dialog-click wait CAPTION SECONDS    exit 0 once a visible window has that caption
//   dialog-click click CAPTION ID        BM_CLICK a button, STN_CLICKED a static
//   dialog-click escape CAPTION          Escape pressed in the dialog
//   dialog-click close CAPTION           the close box (WM_SYSCOMMAND SC_CLOSE)
//   dialog-click ok CAPTION              OK in a message box
//   dialog-click state CAPTION ID        prints "visible|hidden enabled|disabled checked|unchecked"
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::wstring Wide(const char* text) {
    const int length = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    std::wstring out(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, &out[0], length);
    out.resize(static_cast<std::size_t>(length > 0 ? length - 1 : 0));
    return out;
}

HWND Find(const std::wstring& caption) {
    HWND window = FindWindowW(nullptr, caption.c_str());
    return window && IsWindowVisible(window) ? window : nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const std::string action = argv[1];
    const std::wstring caption = Wide(argv[2]);
    if (action == "wait") {
        const DWORD end = GetTickCount() + 1000u * static_cast<DWORD>(argc > 3 ? std::atoi(argv[3]) : 10);
        while (!Find(caption))
            if (static_cast<LONG>(end - GetTickCount()) <= 0)
                return 1;
            else
                Sleep(100);
        return 0;
    }
    HWND dialog = Find(caption);
    if (!dialog) return 1;
    if (action == "click" && argc > 3) {
        const int id = std::atoi(argv[3]);
        HWND control = GetDlgItem(dialog, id);
        if (!control) return 1;
        wchar_t kind[32];
        GetClassNameW(control, kind, 32);
        if (lstrcmpiW(kind, L"Static") == 0)
            SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, STN_CLICKED), reinterpret_cast<LPARAM>(control));
        else
            SendMessageW(control, BM_CLICK, 0, 0);
    } else if (action == "escape") {
        HWND target = GetDlgItem(dialog, 1002);  // the check box has the focus
        PostMessageW(target ? target : dialog, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
        PostMessageW(target ? target : dialog, WM_KEYUP, VK_ESCAPE, 0xC0010001);
    } else if (action == "close") {
        PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    } else if (action == "ok") {
        HWND button = GetDlgItem(dialog, IDOK);
        if (button)
            SendMessageW(button, BM_CLICK, 0, 0);
        else
            PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    } else if (action == "state" && argc > 3) {
        HWND control = GetDlgItem(dialog, std::atoi(argv[3]));
        if (!control) return 1;
        std::printf("%s %s %s\n", IsWindowVisible(control) ? "visible" : "hidden",
                    IsWindowEnabled(control) ? "enabled" : "disabled",
                    SendMessageW(control, BM_GETCHECK, 0, 0) == BST_CHECKED ? "checked" : "unchecked");
    } else {
        return 2;
    }
    return 0;
}
