#include "headless_fetch.h"

#include <cstdio>
#include <thread>

#include "download/download_job.h"
#include "download/download_progress.h"
#include "http/endpoints.h"
#include "http/http_client.h"

namespace {

class PrintingWindow : public MessageSink {
public:
    void Post(unsigned message, std::uintptr_t wParam) override {
        if (message == WM_DOWNLOAD_FAILED)
            std::printf("WM_DOWNLOAD_FAILED %lu\n", static_cast<unsigned long>(wParam));
        else
            std::printf("MESSAGE %u %lu\n", message, static_cast<unsigned long>(wParam));
        std::fflush(stdout);
    }
};

}  // namespace

int FetchAndPrint(const Endpoints& endpoints) {
    UseEndpoints(endpoints);
    HttpClient::GlobalInit();

    PrintingWindow window;
    std::thread worker(DownloadThreadProc, &window);
    worker.join();

    const DownloadProgress& progress = Progress();
    const bool finished = progress.finished.load(std::memory_order_acquire);
    std::printf("finished=%d reportedSize=%lld nameID=%d file=%s\n", finished ? 1 : 0,
                static_cast<long long>(progress.reportedSize.load()), GetNameId(),
                platform::TempInstallerPath(GetNameId()).c_str());
    return finished ? 0 : 1;
}
