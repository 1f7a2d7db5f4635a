// The application object: runs the installer window modally for the report
// path named on the command line.
#pragma once

#include <vector>

#include "platform/platform.h"

class CtovikDownloaderApp {
public:
    explicit CtovikDownloaderApp(std::vector<platform::PathString> arguments);
    // Runs the whole program; returns when the window has ended.
    bool InitInstance();

private:
    std::vector<platform::PathString> m_arguments;
};

// Each host shows the dialog modally until it ends; returns its end result,
// or kNoWindow, said on standard error, when no window can be shown at all.
// Defined by the host the program is linked with (gtk/gtk_host.h, win32/win32_host.h).
constexpr int kNoWindow = -1;
int RunInstallerDialog(const platform::PathString& reportPath);
