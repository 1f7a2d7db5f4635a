// The final event from arbitrary URLs, error lists and package times, into
// buffers of arbitrary size: one event whenever its keys fit, never past the
// buffer, never a cut escape, the counts whole, and each list the newest
// items of the full one.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <string>
#include <vector>

#include "stats/stats_events.h"

namespace {

std::string Value(const std::string& url, const std::string& key) {
    const std::size_t at = url.find("&" + key + "=");
    if (at == std::string::npos) __builtin_trap();
    const std::size_t begin = at + key.size() + 2;
    return url.substr(begin, url.find('&', begin) - begin);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    __builtin_trap();  // a cut escape
}

std::string Unescaped(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) __builtin_trap();  // a cut escape
        out += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
        i += 2;
    }
    return out;
}

// The list text must be the full list without some of its oldest items.
template <typename Format>
void ExpectNewestItems(const std::string& text, std::size_t items, std::size_t commasPerItem, Format format) {
    std::size_t commas = 0;
    for (char c : text) commas += c == ',';
    const std::size_t kept = text == "[]" ? 0 : (commas + 1) / (commasPerItem + 1);
    if (kept > items || format(items - kept) != text) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    FinalEventRecord record;
    record.id = input.ConsumeRandomLengthString(40);
    record.branding = input.ConsumeRandomLengthString(20);
    record.url = input.ConsumeRandomLengthString(600);
    const int errors = input.ConsumeIntegralInRange(0, 300);
    for (int i = 0; i < errors; ++i) {
        record.errorNumbers.push_back(input.ConsumeIntegral<std::int32_t>());
        record.errorCodes.push_back(input.ConsumeIntegral<std::int32_t>());
    }
    const int times = input.ConsumeIntegralInRange(0, 500);
    for (int i = 0; i < times; ++i) record.packageTimes.push_back(input.ConsumeIntegral<std::int32_t>());
    const std::int32_t code = input.ConsumeIntegral<std::int32_t>();
    const std::string message = input.ConsumeRandomLengthString(60);
    const FinalEventFormat formats[] = {FormatSucceededUrl, FormatCanceledUrl, FormatFailedUrl};
    const FinalEventFormat format = formats[input.ConsumeIntegralInRange(0, 2)];
    const std::size_t capacity = input.ConsumeIntegralInRange<std::size_t>(1, 8192);

    std::vector<char> out(capacity + 64, '\x7f');  // a guard beyond the buffer
    const int length = FormatFinalEventUrl(format, nullptr, out.data(), capacity, "http://s", code, message, record);
    for (std::size_t i = capacity; i < out.size(); ++i)
        if (out[i] != '\x7f') __builtin_trap();  // written past the buffer

    // The smallest event it could send: every text and list empty, the counts whole.
    FinalEventValues minimal;
    minimal.code = code;
    minimal.errorCount = errors;
    minimal.packageNumber = times;
    minimal.totalTime = SumTimes(record.packageTimes);
    minimal.errors = minimal.packageTimes = "[]";
    std::vector<char> probe(capacity + 1);
    const int minimalLength = format(nullptr, probe.data(), capacity, "http://s", minimal);
    if (length < 0) {
        if (minimalLength >= 0 && static_cast<std::size_t>(minimalLength) < capacity)
            __builtin_trap();  // that would have fitted, yet the event was lost
        return 0;
    }
    const std::string url(out.data());
    if (static_cast<std::size_t>(length) != url.size() || url.size() >= capacity) __builtin_trap();
    Unescaped(url);  // every escape whole
    if (Value(url, "errorCount") != std::to_string(errors)) __builtin_trap();
    if (Value(url, "packageNumber") != std::to_string(times)) __builtin_trap();
    if (Value(url, "totalTime") != std::to_string(SumTimes(record.packageTimes))) __builtin_trap();
    ExpectNewestItems(Unescaped(Value(url, "errors")), record.errorNumbers.size(), 1,
                      [&](std::size_t skip) { return FormatErrorList(record.errorNumbers, record.errorCodes, skip); });
    const std::size_t timesAt = url.find("&packageTimes=");
    if (timesAt == std::string::npos) __builtin_trap();
    ExpectNewestItems(Unescaped(url.substr(timesAt + 14)), record.packageTimes.size(), 0,
                      [&](std::size_t skip) { return FormatTimeList(record.packageTimes, skip); });
    return 0;
}
