#include "app/ctovik_downloader_app.h"

#include "app/result_report.h"

CtovikDownloaderApp::CtovikDownloaderApp(std::vector<platform::PathString> arguments)
    : m_arguments(std::move(arguments)) {}

bool CtovikDownloaderApp::InitInstance() {
    RunInstallerDialog(ReportPathFromArguments(m_arguments));  // the outcome travels in the report
    return true;
}
