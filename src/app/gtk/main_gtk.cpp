// tovik-downloader REPORT_PATH
#include <gtk/gtk.h>

#include "app/ctovik_downloader_app.h"

int main(int argc, char** argv) {
    platform::PrepareProcess();    // before GTK opens its X connection
    gtk_init_check(&argc, &argv);  // without a display the dialog says so and the report says fail
    CtovikDownloaderApp app(std::vector<platform::PathString>(argv + 1, argv + argc));
    app.InitInstance();
    // Exit code 0 after every ending, even with a thread still in a transfer.
    platform::ExitProcessNow();
}
