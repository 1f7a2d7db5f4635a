// Headless driver: one whole download with the installer's own job code.
//
//   tovik-fetch METADATA_URL STATS_BASE_URL
//
// Prints "WM_DOWNLOAD_FAILED <wParam>" per failure message, then
// "finished=<0|1> reportedSize=<n> nameID=<n> file=<path>"; exits 0 when finished.
#include <cstdio>

#include "headless_fetch.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s METADATA_URL STATS_BASE_URL\n", argv[0]);
        return 2;
    }
    return FetchAndPrint(argv[1], argv[2]);
}
