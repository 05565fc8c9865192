#include "accessories/velmoranprotocol.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace velmoran {

namespace {

// The value of `count` characters from `at` in `base`, all of them digits of it.
std::optional<int> field(const std::string& reply, size_t at, size_t count, int base) {
    if (reply.size() < at + count) return std::nullopt;
    int value = 0;
    const char* begin = reply.data() + at;
    const auto [end, error] = std::from_chars(begin, begin + count, value, base);
    if (error != std::errc() || end != begin + count || *begin == '-' || *begin == '+') return std::nullopt;
    return value;
}

std::optional<double> tenthsAt(const std::string& reply, size_t at) {
    const std::optional<int> tenths = field(reply, at, 4, 16);
    if (!tenths) return std::nullopt;
    return int16_t(uint16_t(*tenths)) / 10.0;
}

} // namespace

std::string command(const std::string& text) {
    unsigned sum = 0;
    for (const char c : text)
        sum += uint8_t(c);
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", sum % 256);
    return text + digits + "\r";
}

std::string readTemperatureText(int channel) {
    return "YT?" + std::to_string(channel + 50);
}

std::string readSetPointText(int channel) {
    return "YT?" + std::to_string(channel + 40);
}

std::string writeSetPointText(int channel, double celsius, bool regulation) {
    const int tenths = int(std::trunc(celsius * 10.0));
    char text[16];
    std::snprintf(text, sizeof text, "YTt%02d%04X%s", channel, unsigned(tenths) & 0xFFFFu,
                  regulation ? "01" : "00");
    return text;
}

std::string replyOf(const std::string& sent, const std::string& received) {
    if (received.size() < sent.size()) return received;
    if (received.compare(0, sent.size(), sent) == 0) return received.substr(sent.size());
    return received;
}

std::optional<double> temperatureOf(const std::string& reply) {
    return tenthsAt(reply, 3);
}

std::optional<SetPoint> setPointOf(const std::string& reply) {
    const std::optional<double> celsius = tenthsAt(reply, 3);
    const std::optional<int> regulation = field(reply, 7, 2, 10);
    if (!celsius || !regulation) return std::nullopt;
    return SetPoint{*celsius, *regulation != 0};
}

std::optional<Status> statusOf(const std::string& reply) {
    const std::optional<int> status = field(reply, 4, 1, 10);
    const std::optional<int> flags = field(reply, 5, 1, 16);
    if (!status || !flags) return std::nullopt;
    return Status{*status, *flags};
}

} // namespace velmoran
