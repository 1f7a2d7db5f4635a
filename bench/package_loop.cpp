// Reference loops for the benchmark: the installer's package sequence made
// with bare libcurl, either on a new handle per package (as the installer
// does) or reusing one handle.
//
//   package-loop URL SIZE PACKAGE_SIZE OUTPUT fresh|reuse
#include <curl/curl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

static size_t WriteToFile(char* data, size_t size, size_t count, void* file) {
    return std::fwrite(data, size, count, static_cast<FILE*>(file));
}

static int Progress(void*, double, double, double, double) { return 0; }

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s URL SIZE PACKAGE_SIZE OUTPUT fresh|reuse\n", argv[0]);
        return 2;
    }
    const long long size = std::atoll(argv[2]);
    const long long packageSize = std::atoll(argv[3]);
    const bool reuse = std::strcmp(argv[5], "reuse") == 0;
    FILE* out = std::fopen(argv[4], "wb");
    if (!out) return 1;
    curl_global_init(CURL_GLOBAL_ALL);

    CURL* handle = nullptr;
    for (long long offset = 0; offset < size; offset += packageSize) {
        if (!reuse || !handle) {
            if (handle) curl_easy_cleanup(handle);
            handle = curl_easy_init();
        }
        char range[256];
        const long long last = (offset + packageSize < size ? offset + packageSize : size) - 1;
        std::snprintf(range, sizeof range, "%lld-%lld", offset, last);
        curl_easy_setopt(handle, CURLOPT_URL, argv[1]);
        curl_easy_setopt(handle, CURLOPT_USERAGENT, "package-loop");
        curl_easy_setopt(handle, CURLOPT_VERBOSE, 1L);
        curl_easy_setopt(handle, CURLOPT_HEADER, 0L);
        curl_easy_setopt(handle, CURLOPT_NOBODY, 0L);
        curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, WriteToFile);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, out);
        curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, 17L);
        curl_easy_setopt(handle, CURLOPT_FAILONERROR, 1L);
        curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(handle, CURLOPT_PROGRESSFUNCTION, Progress);
        curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, 10L);
        curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 100L);
        curl_easy_setopt(handle, CURLOPT_RANGE, range);
        const CURLcode code = curl_easy_perform(handle);
        if (code != CURLE_OK) {
            std::fprintf(stderr, "package at %lld failed: %d\n", offset, code);
            return 1;
        }
    }
    curl_easy_cleanup(handle);
    return std::fclose(out) == 0 ? 0 : 1;
}
