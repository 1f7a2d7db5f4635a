// The installer window exactly as the product runs it, pointed at test
// servers through the core's endpoints:
//   installer-window-harness METADATA_URL STATS_BASE_URL REPORT_PATH...
#include <gtk/gtk.h>

#include "app/ctovik_downloader_app.h"
#include "http/endpoints.h"

int main(int argc, char** argv) {
    platform::PrepareProcess();
    gtk_init_check(&argc, &argv);
    if (argc < 3) return 2;
    UseEndpoints({argv[1], argv[2]});
    CtovikDownloaderApp app(std::vector<platform::PathString>(argv + 3, argv + argc));
    app.InitInstance();
    platform::ExitProcessNow();
}
