#include "stats/download_id.h"

#include "platform/platform.h"

namespace {
const char kAlphabet[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
constexpr int kAlphabetSize = 62;

void AppendDraws(std::string& id, std::uint32_t seed) {
    RandGenerator generator(seed);
    for (int i = 0; i < 16; ++i) id += kAlphabet[generator.Next() % kAlphabetSize];
}
}  // namespace

std::string GenerateDownloadId(std::uint32_t timeSeed, std::uint32_t processSeed) {
    std::string id;
    AppendDraws(id, timeSeed);
    AppendDraws(id, processSeed);
    return id;
}

std::string GenerateDownloadId() {
    return GenerateDownloadId(static_cast<std::uint32_t>(platform::CalendarSeconds()), platform::ProcessId());
}
