// The package-answer judge with arbitrary header lines and body chunks, fed
// through the header and write callbacks as libcurl would: nothing is written
// past the package's end, what is written is what arrived, and an answer is
// accepted only with exactly the requested bytes.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "download/package_answer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const std::int64_t fileSize = input.ConsumeIntegralInRange<std::int64_t>(1, 1 << 20);
    const std::int64_t first = input.ConsumeIntegralInRange<std::int64_t>(0, fileSize - 1);
    const std::int64_t last = input.ConsumeIntegralInRange<std::int64_t>(first, fileSize - 1);

    char* buffer = nullptr;
    std::size_t length = 0;
    std::FILE* file = open_memstream(&buffer, &length);
    PackageAnswer answer(file, first, last, fileSize);

    std::string delivered;  // every body byte libcurl handed over
    bool aborted = false;
    while (!aborted && input.remaining_bytes() > 0) {
        const bool header = input.ConsumeBool();
        std::string chunk = input.ConsumeRandomLengthString(512);
        if (header) {
            // A chunk may be a made-up line or one in the shapes the judge reads.
            switch (input.ConsumeIntegralInRange<int>(0, 4)) {
                case 1:
                    chunk = "HTTP/1.1 " + std::to_string(input.ConsumeIntegral<int>()) + " " + chunk + "\r\n";
                    break;
                case 2:
                    chunk = "Content-Range: bytes " + std::to_string(input.ConsumeIntegral<std::int64_t>()) + "-" +
                            std::to_string(input.ConsumeIntegral<std::int64_t>()) + "/" + chunk + "\r\n";
                    break;
                case 3:
                    chunk = "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
                            std::to_string(fileSize) + "\r\n";
                    break;
                case 4: chunk = (input.ConsumeBool() ? "Location: https:" : "Location: http:") + chunk + "\r\n"; break;
                default: break;
            }
            if (chunk.empty()) continue;
            if (ReadPackageHeader(&chunk[0], 1, chunk.size(), &answer) != chunk.size()) aborted = true;
        } else {
            if (chunk.empty()) continue;  // libcurl never hands over an empty body chunk
            const std::size_t taken = WritePackageData(&chunk[0], 1, chunk.size(), &answer);
            if (taken != chunk.size()) aborted = true;
            delivered.append(chunk, 0, taken);
        }
    }
    const CURLcode transfer = aborted ? CURLE_WRITE_ERROR : input.ConsumeBool() ? CURLE_OK : CURLE_PARTIAL_FILE;
    const CURLcode verdict = JudgePackageAnswer(answer, transfer);
    std::fflush(file);

    const std::int64_t packageLength = last - first + 1;
    if (static_cast<std::int64_t>(length) > packageLength) __builtin_trap();  // past the package's end
    if (length != delivered.size() || std::memcmp(buffer, delivered.data(), length) != 0) __builtin_trap();
    if (verdict == CURLE_OK) {
        if (static_cast<std::int64_t>(length) != packageLength || transfer != CURLE_OK) __builtin_trap();
        if (answer.status != 206 && !(answer.status == 200 && first == 0 && last == fileSize - 1)) __builtin_trap();
    }
    std::fclose(file);
    std::free(buffer);
    return 0;
}
