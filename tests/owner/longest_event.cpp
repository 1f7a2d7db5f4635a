// Sends the longest final event the downloader makes, through its own
// statistics record: 30,000 failed attempts and 2,000 package times, which
// the record trims to its 512 KiB limit.
//   longest-event STATS_BASE_URL
#include "http/endpoints.h"
#include "http/http_client.h"
#include "stats/download_stats.h"

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    HttpClient::GlobalInit();
    UseEndpoints({"http://127.0.0.1:1/unused", argv[1]});
    DownloadStats& stats = DownloadStats::Instance();
    stats.SetUrl("http://127.0.0.1/files/installer.bin");
    for (int i = 0; i < 30000; ++i) stats.AddError(i / 4, 28);
    for (int i = 0; i < 2000; ++i) stats.AddPackageTime(1500 + i);
    stats.ReportOutcome(28);
    return 0;
}
