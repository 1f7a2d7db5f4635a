// tovik-downloader.exe REPORT_PATH
#include <windows.h>

#include <commctrl.h>
#include <shellapi.h>

#include <vector>

#include "app/ctovik_downloader_app.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    platform::PrepareProcess();
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    OleInitialize(nullptr);  // the browser control is an OLE object

    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<platform::PathString> rest;
    for (int i = 1; i < count; ++i) rest.emplace_back(arguments[i]);
    LocalFree(arguments);

    CtovikDownloaderApp app(rest);
    app.InitInstance();
    // Exit code 0 after every ending, even with a thread still in a transfer.
    platform::ExitProcessNow();
}
