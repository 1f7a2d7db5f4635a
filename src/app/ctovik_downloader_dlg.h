// The installer window's logic: welcome and licence views, Install, the
// connection check, the two background threads, the progress display and the
// two endings. Runs on the window thread against a DialogHost.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "app/dialog_host.h"
#include "platform/platform.h"

constexpr unsigned IDT_RETRY_CONNECT = 1337;
constexpr unsigned IDT_FIRST_CONNECT = 1338;
constexpr int kEndCompleted = 1;
constexpr int kEndCancelled = 2;  // IDCANCEL

class CtovikDownloaderDlg {
public:
    CtovikDownloaderDlg(DialogHost& host, platform::PathString reportPath);

    // Entry points the host calls on the window thread.
    void OnInitDialog();
    void OnDocumentComplete();
    void OnCommand(int controlId);  // a click on a control
    void OnCancel();                // close box, system menu Close, Alt+F4
    void OnMessage(unsigned message, std::uintptr_t wParam);

    // An ending has begun: input and posted messages no longer count.
    bool IsEnding() const { return m_ending; }

    void OnAcceptClicked();
    void OnLicenceLinkClicked();
    void OnHideLicenceClicked();
    void OnAdvancedOptionsClicked();
    void OnInstallClicked();
    void OnConnectTimer(unsigned timerId);
    void OnProbeResult(int code);
    void StartDownload();
    int OnDownloadProgress(int position);
    void OnDownloadFailed(std::uintptr_t code);
    void FinishDownload(int status);

private:
    void SetLabel(const char* elementId, const std::string& html);
    void ShowFailureAndCancel();
    // Runs work on a helper thread while the window keeps painting.
    void RunWhilePainting(std::function<void()> work);

    DialogHost& m_host;
    platform::PathString m_reportPath;
    std::string m_savedMain;
    bool m_bAdvanced = false;
    bool m_ending = false;
    int m_spokenTenths = 0;  // of the bar, last given to a screen reader
};

// The probe of the metadata server: true when it answered at all.
bool CheckConnection();
