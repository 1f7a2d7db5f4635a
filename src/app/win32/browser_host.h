// The smallest host of the classic WebBrowser control: a client site with
// in-place activation, a DWebBrowserEvents2 sink for DocumentComplete and
// NavigateError, and element access by id on the loaded document.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

class BrowserHost {
public:
    // Creates the control as a child of parent, covering rect; onDocumentComplete
    // runs on every completed document. false when no control could be made.
    bool Create(HWND parent, const RECT& rect, std::function<void()> onDocumentComplete);
    void Navigate(const std::wstring& url);
    // The control's own window, for keeping the dialog's controls above it.
    HWND Window() const;

    // false when the document is not complete or has no such element.
    bool GetElementProperty(const std::wstring& id, const std::wstring& name, std::wstring& value);
    bool SetElementProperty(const std::wstring& id, const std::wstring& name, const std::wstring& value);

private:
    struct Site;
    Site* site_ = nullptr;  // COM-reference-counted; lives as long as the control holds it
};
