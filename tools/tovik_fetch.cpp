// Headless driver: one whole download with the installer's own job code.
//
//   tovik-fetch METADATA_URL STATS_BASE_URL [CA_FILE]
//
// CA_FILE, for tests: the CA bundle https packages are checked against
// instead of the system's store.
// Prints "WM_DOWNLOAD_FAILED <wParam>" per failure message, then
// "finished=<0|1> reportedSize=<n> nameID=<n> file=<path>"; exits 0 when finished.
#include <cstdio>

#include "headless_fetch.h"
#include "http/endpoints.h"

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: %s METADATA_URL STATS_BASE_URL [CA_FILE]\n", argv[0]);
        return 2;
    }
    if (argc == 4) UseTestAuthorities(argv[3]);
    return FetchAndPrint({argv[1], argv[2]});
}
