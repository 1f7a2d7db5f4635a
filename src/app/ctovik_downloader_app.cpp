#include "app/ctovik_downloader_app.h"

#include "app/result_report.h"

CtovikDownloaderApp::CtovikDownloaderApp(std::vector<platform::PathString> arguments)
    : m_arguments(std::move(arguments)) {}

bool CtovikDownloaderApp::InitInstance() {
    const platform::PathString reportPath = ReportPathFromArguments(m_arguments);
    if (!PrepareReport(reportPath)) return true;
    // The outcome travels in the report, also when the window never appeared:
    // the user could not press Install, so no statistics record is made.
    if (RunInstallerDialog(reportPath) == kNoWindow && WriteReport(reportPath, "fail", 0))
        WaitForReportPickup(reportPath, platform::SleepMilliseconds);
    return true;
}
