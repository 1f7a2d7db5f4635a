// tovik-downloader REPORT_PATH
#include <gtk/gtk.h>

#include <csignal>

#include "app/ctovik_downloader_app.h"

int main(int argc, char** argv) {
    // A caller that closes its end of our standard error must not end the run
    // before the report: a write there fails instead.
    std::signal(SIGPIPE, SIG_IGN);
    gtk_init_check(&argc, &argv);  // without a display the dialog says so and the report says fail
    CtovikDownloaderApp app(std::vector<platform::PathString>(argv + 1, argv + argc));
    app.InitInstance();
    // Exit code 0 after every ending, even with a thread still in a transfer.
    platform::ExitProcessNow();
}
