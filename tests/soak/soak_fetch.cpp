// tovik-fetch with short pauses between a package's attempts, so that a soak
// of hundreds of faulty downloads stays within its time:
//   soak-fetch METADATA_URL STATS_BASE_URL
#include "download/package_transfer.h"
#include "headless_fetch.h"

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    UseRetryPauses({5, 10, 20, 40});
    return FetchAndPrint({argv[1], argv[2]});
}
