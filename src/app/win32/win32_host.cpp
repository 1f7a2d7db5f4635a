#include "app/win32/win32_host.h"

// clang-format off
// Before windows.h: curl.h, which the app's headers bring, wants winsock2.h first.
#include <winsock2.h>
#include <windows.h>
// clang-format on

#include <commctrl.h>
#include <initguid.h>  // the accessibility property ids, defined here once
#include <oleacc.h>

#include <functional>
#include <memory>
#include <string>

#include "app/ctovik_downloader_dlg.h"
#include "app/logic_entry.h"
#include "app/win32/browser_host.h"
#include "app/win32/win32_colours.h"
#include "app/window_messages.h"
#include "platform/win32_text.h"

namespace {

using platform::Utf8;
using platform::Wide;

// ---------------------------------------------------------------- key filter

HWND g_dialog = nullptr;
HHOOK g_filter = nullptr;

// The dialog manager would turn Escape into a cancel; it never reaches it.
// Return or Space on a focused link clicks it, as on a button.
LRESULT CALLBACK ProcessMessageFilter(int code, WPARAM wParam, LPARAM lParam) {
    const MSG* message = reinterpret_cast<const MSG*>(lParam);
    if (code >= 0 && g_dialog && message->message == WM_KEYDOWN &&
        (message->hwnd == g_dialog || IsChild(g_dialog, message->hwnd))) {
        if (message->wParam == VK_ESCAPE) return TRUE;
        const int id = GetDlgCtrlID(message->hwnd);
        if ((message->wParam == VK_RETURN || message->wParam == VK_SPACE) && IsLink(id)) {
            PostMessageW(g_dialog, WM_COMMAND, MAKEWPARAM(id, STN_CLICKED), reinterpret_cast<LPARAM>(message->hwnd));
            return TRUE;
        }
    }
    return CallNextHookEx(g_filter, code, wParam, lParam);
}

// A static or a progress bar shows no focus of its own: focused, it gets the
// system's focus rectangle.
LRESULT CALLBACK FocusRectProc(HWND control, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR) {
    if (message == WM_SETFOCUS || message == WM_KILLFOCUS) InvalidateRect(control, nullptr, TRUE);
    const LRESULT result = DefSubclassProc(control, message, wParam, lParam);
    if (message == WM_PAINT && GetFocus() == control) {
        RECT area;
        GetClientRect(control, &area);
        HDC dc = GetDC(control);
        DrawFocusRect(dc, &area);
        ReleaseDC(control, dc);
    }
    return result;
}

void CALLBACK ConnectTimerProc(HWND window, UINT, UINT_PTR timerId, DWORD) {
    if (timerId == IDT_FIRST_CONNECT || timerId == IDT_RETRY_CONNECT)
        PostMessageW(window, WM_CONNECT_TIMER, timerId, 0);
}

// ---------------------------------------------------------------- the host

class Win32Host final : public DialogHost {
public:
    explicit Win32Host(const platform::PathString& reportPath) : dialog_(*this, reportPath) {}

    int Run() {
        const INT_PTR result = DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_INSTALLER), nullptr,
                                               DialogProc, reinterpret_cast<LPARAM>(this));
        if (result != -1) return static_cast<int>(result);
        platform::WriteToStandardError(platform::ProgramName() +
                                       ": no window can be shown: the dialog cannot be created (error " +
                                       std::to_string(GetLastError()) + ")\n");
        return kNoWindow;
    }

    void ShowControl(int id, bool show) override { ShowWindow(Item(id), show ? SW_SHOW : SW_HIDE); }
    bool IsControlVisible(int id) override { return IsWindowVisible(Item(id)) != FALSE; }
    void EnableControl(int id, bool enable) override { EnableWindow(Item(id), enable); }
    bool IsChecked(int id) override { return IsDlgButtonChecked(window_, id) == BST_CHECKED; }
    void SetControlText(int id, const std::string& text) override { SetWindowTextW(Item(id), Wide(text).c_str()); }
    void RedrawControl(int id) override {
        RedrawWindow(Item(id), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    }
    void SetProgressPosition(int position) override { SendMessageW(Item(IDC_PROGRESS), PBM_SETPOS, position, 0); }
    int ProgressPosition() override { return static_cast<int>(SendMessageW(Item(IDC_PROGRESS), PBM_GETPOS, 0, 0)); }
    void FocusControl(int id) override {
        SendMessageW(window_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(Item(id)), TRUE);
    }
    // What a screen reader asks the control (MSAA) is annotated, and a change announced.
    void SetAccessibleName(int id, const std::string& name) override {
        if (!accessibility_) return;
        accessibility_->SetHwndPropStr(Item(id), OBJID_CLIENT, CHILDID_SELF, PROPID_ACC_NAME, Wide(name).c_str());
        NotifyWinEvent(EVENT_OBJECT_NAMECHANGE, Item(id), OBJID_CLIENT, CHILDID_SELF);
    }
    bool GetElementProperty(const std::string& id, const std::string& name, std::string& value) override {
        std::wstring wide;
        if (!browser_.GetElementProperty(Wide(id), Wide(name), wide)) return false;
        value = Utf8(wide);
        return true;
    }
    bool SetElementProperty(const std::string& id, const std::string& name, const std::string& value) override {
        return browser_.SetElementProperty(Wide(id), Wide(name), Wide(value));
    }
    WindowHandle Window() override { return window_; }
    void SetTimer(unsigned id, unsigned milliseconds) override {
        ::SetTimer(window_, id, milliseconds, ConnectTimerProc);
    }
    void KillTimer(unsigned id) override { ::KillTimer(window_, id); }
    bool StartThread(std::function<void()> body) override { return platform::StartDetachedThread(std::move(body)); }
    void ShowMessageBox(const std::string& text) override {
        MessageBoxW(window_, Wide(text).c_str(), Wide(platform::ProgramName()).c_str(), MB_OK | MB_ICONEXCLAMATION);
    }
    void HideWindow() override { ShowWindow(window_, SW_HIDE); }
    void EndDialog(int result) override {
        entry_.End();
        ::EndDialog(window_, result);
    }
    void WaitPainting(unsigned milliseconds) override {
        const DWORD end = GetTickCount() + milliseconds;
        for (;;) {
            const LONG left = static_cast<LONG>(end - GetTickCount());
            if (left <= 0) return;
            MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(left), QS_ALLINPUT);
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
        }
    }

private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_INITDIALOG) SetWindowLongPtrW(window, DWLP_USER, lParam);
        auto* host = reinterpret_cast<Win32Host*>(GetWindowLongPtrW(window, DWLP_USER));
        return host ? host->Handle(window, message, wParam, lParam) : FALSE;
    }

    INT_PTR Handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void OnInitDialog(HWND window);
    INT_PTR OnColorStatic(HDC dc, HWND control);
    void FollowContrast();
    void OnPaintIconic();
    HWND Item(int id) const { return GetDlgItem(window_, id); }

    void Enter(std::function<void()> action) { entry_.Enter(std::move(action)); }

    CtovikDownloaderDlg dialog_;
    BrowserHost browser_;
    HWND window_ = nullptr;
    HICON icon_ = nullptr;
    HCURSOR hand_ = nullptr;
    HBRUSH lightBrush_ = CreateSolidBrush(kLightBand);
    HBRUSH whiteBrush_ = CreateSolidBrush(kWhiteBand);
    IAccPropServices* accessibility_ = nullptr;  // none where the system has no such service
    bool highContrast_ = HighContrastOn();
    LogicEntry entry_;
};

void Win32Host::OnInitDialog(HWND window) {
    window_ = window;
    g_dialog = window;
    HINSTANCE instance = GetModuleHandleW(nullptr);
    icon_ = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDR_ICON), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE));
    HICON small = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDR_ICON), IMAGE_ICON,
                                                GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
    SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
    SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small ? small : icon_));
    SendMessageW(Item(IDC_PROGRESS), PBM_SETRANGE, 0, MAKELPARAM(0, 100));

    // The browser fills the client area beneath the controls.
    RECT client;
    GetClientRect(window, &client);
    if (browser_.Create(window, client, [this] {
            FollowContrast();
            Enter([this] { dialog_.OnDocumentComplete(); });
        })) {
        if (HWND page = browser_.Window()) SetWindowPos(page, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    }
    // Raised above the page; the last raised is the first Tab reaches, so
    // they are raised against reading order: the check box, the licence link,
    // the other links, Install, the bar.
    CoCreateInstance(CLSID_AccPropServices, nullptr, CLSCTX_INPROC_SERVER, IID_IAccPropServices,
                     reinterpret_cast<void**>(&accessibility_));
    for (int id : {IDC_PROGRESS, IDC_INSTALL, IDC_ADVANCED_LINK, IDC_HIDE_LICENCE_LINK, IDC_LICENCE_LINK, IDC_ACCEPT}) {
        HWND control = Item(id);
        LONG_PTR style = GetWindowLongPtrW(control, GWL_STYLE) | WS_CLIPSIBLINGS;
        if (IsLink(id)) {
            // A clickable static is a link: reached by Tab, and called a link
            // with an action by a screen reader (a static's own answer is text).
            style |= WS_TABSTOP;
            SetWindowSubclass(control, FocusRectProc, 0, 0);
            if (accessibility_) {
                VARIANT role;
                role.vt = VT_I4;
                role.lVal = ROLE_SYSTEM_LINK;
                accessibility_->SetHwndProp(control, OBJID_CLIENT, CHILDID_SELF, PROPID_ACC_ROLE, role);
                accessibility_->SetHwndPropStr(control, OBJID_CLIENT, CHILDID_SELF, PROPID_ACC_DEFAULTACTION,
                                               L"Kliknij");
            }
        }
        if (id == IDC_PROGRESS) {  // it takes the focus once Install has gone
            style |= WS_TABSTOP;
            SetWindowSubclass(control, FocusRectProc, 0, 0);
        }
        SetWindowLongPtrW(control, GWL_STYLE, style);
        SetWindowPos(control, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    }
    Enter([this] { dialog_.OnInitDialog(); });

    wchar_t module[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, module, MAX_PATH);
    const std::string page = std::to_string(IDR_PAGE);  // digits only: the wide copy is the same text
    browser_.Navigate(L"res://" + std::wstring(module, length) + L"/" + std::wstring(page.begin(), page.end()));
}

INT_PTR Win32Host::OnColorStatic(HDC dc, HWND control) {
    const int id = GetDlgCtrlID(control);
    if (id != IDC_ACCEPT && !IsLink(id)) return FALSE;
    const StaticColours colours = ColoursOf(id, highContrast_, GetSysColor(COLOR_WINDOW), GetSysColor(COLOR_WINDOWTEXT),
                                            GetSysColor(COLOR_HOTLIGHT));
    SetTextColor(dc, colours.text);
    SetBkColor(dc, colours.background);
    if (colours.systemBrush >= 0) return reinterpret_cast<INT_PTR>(GetSysColorBrush(colours.systemBrush));
    return reinterpret_cast<INT_PTR>(colours.background == kLightBand ? lightBrush_ : whiteBrush_);
}

// The page and the statics follow the user's high-contrast setting, also
// when it changes while the window is up.
void Win32Host::FollowContrast() {
    highContrast_ = HighContrastOn();
    browser_.SetElementProperty(L"CtovikInstallerDlg", L"className", highContrast_ ? L"contrast" : L"");
    InvalidateRect(window_, nullptr, TRUE);
}

void Win32Host::OnPaintIconic() {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window_, &paint);
    SendMessageW(window_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT client;
    GetClientRect(window_, &client);
    const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
    const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
    DrawIcon(dc, x, y, icon_);
    EndPaint(window_, &paint);
}

INT_PTR Win32Host::Handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG: OnInitDialog(window); return TRUE;
        case WM_COMMAND: {
            const int id = LOWORD(wParam);
            if (HIWORD(wParam) == BN_CLICKED && id != IDOK && id != IDCANCEL)  // STN_CLICKED is 0 too
                Enter([this, id] { dialog_.OnCommand(id); });
            return TRUE;  // IDOK and IDCANCEL (Enter, Escape) do nothing of their own
        }
        case WM_CLOSE:  // close box, system menu Close, Alt+F4
            Enter([this] { dialog_.OnCancel(); });
            return TRUE;
        case WM_ENDSESSION:  // the process may be ended once this returns
            if (wParam) Enter([this] { dialog_.OnCancel(); });
            return TRUE;
        case WM_DOWNLOAD_PROGRESS:
        case WM_DOWNLOAD_FAILED:
        case WM_CONNECT_TIMER:
        case WM_PROBE_RESULT: Enter([this, message, wParam] { dialog_.OnMessage(message, wParam); }); return TRUE;
        case WM_CTLCOLORSTATIC: return OnColorStatic(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam));
        case WM_SETCURSOR: {
            const int id = GetDlgCtrlID(reinterpret_cast<HWND>(wParam));
            if (id != IDC_LICENCE_LINK && id != IDC_ADVANCED_LINK && id != IDC_HIDE_LICENCE_LINK) return FALSE;
            if (!hand_) hand_ = LoadCursorW(nullptr, IDC_HAND);
            SetCursor(hand_);
            SetWindowLongPtrW(window, DWLP_MSGRESULT, TRUE);
            return TRUE;
        }
        case WM_PAINT:
            if (!IsIconic(window)) return FALSE;
            OnPaintIconic();
            return TRUE;
        case WM_QUERYDRAGICON: return reinterpret_cast<INT_PTR>(icon_);
        case WM_SYSCOLORCHANGE:
        case WM_SETTINGCHANGE: FollowContrast(); return FALSE;
        default: return FALSE;
    }
}

}  // namespace

int RunInstallerDialog(const platform::PathString& reportPath) {
    g_filter = SetWindowsHookExW(WH_MSGFILTER, ProcessMessageFilter, nullptr, GetCurrentThreadId());
    // Never destroyed: background threads may still post to its window at exit.
    auto* host = new Win32Host(reportPath);
    return host->Run();
}
