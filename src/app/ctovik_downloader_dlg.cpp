#include "app/ctovik_downloader_dlg.h"

#include <atomic>
#include <memory>

#include "app/progress_pacing.h"
#include "app/result_report.h"
#include "app/window_messages.h"
#include "download/download_job.h"
#include "download/download_progress.h"
#include "http/endpoints.h"
#include "http/http_client.h"
#include "stats/download_outcome.h"
#include "stats/download_stats.h"

namespace {

const char kConnecting[] = "Trwa nawiązywanie połączenia...";
const char kDownloading[] = "Trwa pobieranie plików...";
const char kCompleted[] = "<b>Pobieranie zakończone!</b>";
const char kPreparing[] = "Trwa przygotowanie instalacji...";
const char kFailure[] = "Wystąpił błąd pobierania. Spróbuj ponownie później.";
const char kBasicOptions[] = "Opcje\u00A0podstawowe";
const char kAdvancedOptions[] = "Opcje\u00A0zaawansowane";
// What a screen reader says of the check box and of the bar's end.
const char kAcceptName[] = "Akceptuję licencję";
const char kCompletedName[] = "Pobieranie zakończone!";

constexpr unsigned kFirstConnectMs = 10;
constexpr unsigned kRetryConnectMs = 3000;
constexpr unsigned kCancelPauseMs = 4000;
constexpr unsigned kFinishedPollMs = 100;
constexpr int kFinishedPolls = 200;  // while the worker has not yet verified the file
// Once it has, the download-succeeded event's own budget, and a little more.
constexpr int kVerifiedPolls = static_cast<int>((kFinalEventBudgetMs + 2000) / kFinishedPollMs);
constexpr unsigned kHelperPollMs = 20;

}  // namespace

bool CheckConnection() {
    HttpClient probe;
    return probe.ProbeUrl(CurrentEndpoints().metadataUrl) == CURLE_OK;
}

CtovikDownloaderDlg::CtovikDownloaderDlg(DialogHost& host, platform::PathString reportPath)
    : m_host(host), m_reportPath(std::move(reportPath)) {}

// ---------------------------------------------------------------- dispatch

void CtovikDownloaderDlg::OnCommand(int controlId) {
    if (m_ending) return;
    switch (controlId) {
        case IDC_INSTALL: OnInstallClicked(); break;
        case IDC_ACCEPT: OnAcceptClicked(); break;
        case IDC_LICENCE_LINK: OnLicenceLinkClicked(); break;
        case IDC_HIDE_LICENCE_LINK: OnHideLicenceClicked(); break;
        case IDC_ADVANCED_LINK: OnAdvancedOptionsClicked(); break;
        default: break;
    }
}

void CtovikDownloaderDlg::OnCancel() {
    if (!m_ending) FinishDownload(kEndCancelled);
}

void CtovikDownloaderDlg::OnMessage(unsigned message, std::uintptr_t wParam) {
    if (m_ending) return;  // an ending drops what the background threads still post
    switch (message) {
        case WM_DOWNLOAD_PROGRESS: OnDownloadProgress(static_cast<int>(wParam)); break;
        case WM_DOWNLOAD_FAILED: OnDownloadFailed(wParam); break;
        case WM_CONNECT_TIMER: OnConnectTimer(static_cast<unsigned>(wParam)); break;
        case WM_PROBE_RESULT: OnProbeResult(static_cast<int>(wParam)); break;
        default: break;
    }
}

// ---------------------------------------------------------------- views

void CtovikDownloaderDlg::OnInitDialog() {
    m_host.SetProgressPosition(0);
    m_host.ShowControl(IDC_PROGRESS, false);
    m_host.EnableControl(IDC_INSTALL, false);
    m_host.ShowControl(IDC_HIDE_LICENCE_LINK, false);
    m_host.SetAccessibleName(IDC_ACCEPT, kAcceptName);
    m_bAdvanced = false;
}

void CtovikDownloaderDlg::OnDocumentComplete() { HttpClient::GlobalInit(); }

void CtovikDownloaderDlg::OnAcceptClicked() { m_host.EnableControl(IDC_INSTALL, m_host.IsChecked(IDC_ACCEPT)); }

void CtovikDownloaderDlg::OnLicenceLinkClicked() {
    m_host.ShowControl(IDC_ADVANCED_LINK, false);
    m_host.ShowControl(IDC_HIDE_LICENCE_LINK, true);
    m_host.RedrawControl(IDC_HIDE_LICENCE_LINK);
    m_host.ShowControl(IDC_ACCEPT, false);
    m_host.ShowControl(IDC_LICENCE_LINK, false);
    m_host.FocusControl(IDC_HIDE_LICENCE_LINK);  // the focused link has gone

    std::string licence, main;
    if (!m_host.GetElementProperty("licence", "innerHTML", licence)) return;
    if (!m_host.GetElementProperty("main", "innerHTML", main)) return;
    m_savedMain = main;
    m_host.SetElementProperty("main", "innerHTML", licence);
}

void CtovikDownloaderDlg::OnHideLicenceClicked() {
    m_host.ShowControl(IDC_HIDE_LICENCE_LINK, false);
    m_host.ShowControl(IDC_ACCEPT, true);
    m_host.ShowControl(IDC_LICENCE_LINK, true);
    m_host.FocusControl(IDC_LICENCE_LINK);
    m_host.SetElementProperty("main", "innerHTML", m_savedMain);
}

void CtovikDownloaderDlg::OnAdvancedOptionsClicked() {
    m_bAdvanced = !m_bAdvanced;
    m_host.SetControlText(IDC_ADVANCED_LINK, m_bAdvanced ? kBasicOptions : kAdvancedOptions);
}

void CtovikDownloaderDlg::SetLabel(const char* elementId, const std::string& html) {
    m_host.SetElementProperty(elementId, "innerHTML", html);  // skipped when the element is missing
}

// ---------------------------------------------------------------- download

void CtovikDownloaderDlg::OnInstallClicked() {
    if (m_host.IsControlVisible(IDC_HIDE_LICENCE_LINK)) OnHideLicenceClicked();
    m_host.ShowControl(IDC_ACCEPT, false);
    m_host.ShowControl(IDC_LICENCE_LINK, false);
    m_host.ShowControl(IDC_ADVANCED_LINK, false);
    m_host.ShowControl(IDC_INSTALL, false);
    m_host.ShowControl(IDC_PROGRESS, true);
    m_host.SetAccessibleName(IDC_PROGRESS, kConnecting);
    m_host.FocusControl(IDC_PROGRESS);  // Install has gone: the bar speaks for the run from here
    SetLabel("Label1", kConnecting);
    m_host.SetTimer(IDT_FIRST_CONNECT, kFirstConnectMs);
}

void CtovikDownloaderDlg::OnConnectTimer(unsigned timerId) {
    if (timerId != IDT_FIRST_CONNECT && timerId != IDT_RETRY_CONNECT) return;
    m_host.KillTimer(timerId);
    // The probe may take seconds: it runs off the window thread and posts
    // its verdict back, so the window stays responsive.
    WindowHandle window = m_host.Window();
    const bool started = m_host.StartThread(
        [window] { platform::PostWindowMessage(window, WM_PROBE_RESULT, CheckConnection() ? 0 : 1); });
    if (!started) OnProbeResult(1);  // counts as a failed check: the timer tries again
}

void CtovikDownloaderDlg::OnProbeResult(int code) {
    if (code == 0)
        StartDownload();
    else
        m_host.SetTimer(IDT_RETRY_CONNECT, kRetryConnectMs);
}

void CtovikDownloaderDlg::StartDownload() {
    m_host.SetAccessibleName(IDC_PROGRESS, kDownloading);
    SetLabel("Label1", kDownloading);
    SetLabel("Label2", "");
    WindowHandle window = m_host.Window();
    // Without either thread the download could never end: a failed download.
    if (!m_host.StartThread([window] { ProgressThreadProc(window); }) ||
        !m_host.StartThread([window] { DownloadThreadProc(window); }))
        ShowFailureAndCancel();
}

int CtovikDownloaderDlg::OnDownloadProgress(int position) {
    int shown = position;
    if (position >= 99) {
        shown = 100;
        m_host.SetElementProperty("Table", "height", "100%");
        SetLabel("Label1", kCompleted);
        SetLabel("Label2", kPreparing);
    }
    if (position < 0 || position > 100) return 0;
    // A screen reader hears the run at every tenth of the bar, not at every step.
    if (shown / 10 > m_spokenTenths) {
        m_spokenTenths = shown / 10;
        m_host.SetAccessibleName(
            IDC_PROGRESS, shown >= 100 ? std::string(kCompletedName)
                                       : kDownloading + std::string(" ") + std::to_string(m_spokenTenths * 10) + "%");
    }
    m_host.SetProgressPosition(shown);
    if (position >= 100) FinishDownload(kEndCompleted);
    return 1;
}

void CtovikDownloaderDlg::OnDownloadFailed(std::uintptr_t code) {
    if (code == 0 && m_host.ProgressPosition() >= 99)
        FinishDownload(kEndCompleted);
    else
        ShowFailureAndCancel();
}

void CtovikDownloaderDlg::ShowFailureAndCancel() {
    m_host.ShowMessageBox(kFailure);
    FinishDownload(kEndCancelled);
}

// ---------------------------------------------------------------- endings

void CtovikDownloaderDlg::RunWhilePainting(std::function<void()> work) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    auto helper = [work, done] {
        work();
        done->store(true);
    };
    if (!m_host.StartThread(helper)) {
        work();  // no helper: the window waits, but the work is done
        return;
    }
    while (!done->load()) m_host.WaitPainting(kHelperPollMs);
}

void CtovikDownloaderDlg::FinishDownload(int status) {
    if (m_ending) return;  // one ending per run
    m_ending = true;
    // Nothing may queue a connection check behind the ending.
    m_host.KillTimer(IDT_FIRST_CONNECT);
    m_host.KillTimer(IDT_RETRY_CONNECT);
    const bool cancelled = status != kEndCompleted;
    if (cancelled) {
        Progress().cancelled.store(true, std::memory_order_relaxed);
        // The cancel event may have to create the record first; both hits
        // are network calls, so they run beside the window.
        RunWhilePainting([] { DownloadStats::Instance().ReportOutcome(kOutcomeUserCancel); });
        m_host.HideWindow();
        m_host.WaitPainting(kCancelPauseMs);
    } else {
        // A verified file is reported ok whatever the statistics server does:
        // its event is waited for no longer than the event's own budget.
        int undecided = 0, verified = 0;
        while (!Progress().finished.load(std::memory_order_acquire)) {
            const bool fileVerified = Progress().verified.load(std::memory_order_acquire);
            if (fileVerified ? ++verified > kVerifiedPolls : ++undecided > kFinishedPolls) break;
            m_host.WaitPainting(kFinishedPollMs);
        }
    }
    // A report that could not be written leaves nothing to wait for.
    if (WriteResultReport(m_reportPath, cancelled))
        WaitForReportPickup(m_reportPath, [this](unsigned ms) { m_host.WaitPainting(ms); });
    m_host.EndDialog(cancelled ? kEndCancelled : kEndCompleted);
}
