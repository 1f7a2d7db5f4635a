// The report path from arbitrary argument vectors (NUL-separated): the first
// argument that is not a switch, or none; and the report's five lines.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/result_report.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<platform::PathString> arguments(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            arguments.emplace_back();
        else
            arguments.back() += static_cast<char>(data[i]);
    }
    const platform::PathString path = ReportPathFromArguments(arguments);
    platform::PathString expected;
    for (const platform::PathString& argument : arguments)
        if (!argument.empty() && argument[0] != '-') {
            expected = argument;
            break;
        }
    if (path != expected) __builtin_trap();

    std::uint64_t sizeBits = 0;
    std::uint32_t nameBits = 0;
    for (std::size_t i = 0; i < size && i < 8; ++i) sizeBits = (sizeBits << 8) | data[i];
    for (std::size_t i = 8; i < size && i < 12; ++i) nameBits = (nameBits << 8) | data[i];
    const auto fileSize = static_cast<std::int64_t>(sizeBits);
    const auto nameId = static_cast<int>(nameBits);
    const char* statuses[] = {"ok", "fail", "cancel"};
    const std::string report = FormatResultReport(statuses[size % 3], fileSize, nameId);
    const std::string expectedReport = std::string("[tovikdownload]\r\nstatus=") + statuses[size % 3] +
                                       "\r\nfileSize=" + std::to_string(fileSize) +
                                       "\r\nnameID=" + std::to_string(nameId) + "\r\ninstallAuralo=no";
    if (report != expectedReport) __builtin_trap();
    return 0;
}
