#include "session/offsetcompensationwatch.h"

#include "commlib/api/kv4cl.h"

#include <algorithm>

namespace {

// The amplifier reports through the info bytes of its packets, one byte a packet: a full cycle
// of them takes up to half a second at the lowest rates.
constexpr int pollMs = 250;
constexpr int orderHoldMs = 1500;

} // namespace

OffsetCompensationWatch::OffsetCompensationWatch(int channels, QObject* parent)
    : QObject(parent), shown(size_t(channels), false), orders(size_t(channels)) {
    connect(&timer, &QTimer::timeout, this, &OffsetCompensationWatch::poll);
    timer.start(pollMs);
}

void OffsetCompensationWatch::order(int channelIdx, bool on) {
    if (kv4cl::digitalOffsetCompensation(uint16_t(channelIdx), on) != kv4cl::Success) return;
    const int channels = int(shown.size());
    for (int ch = 0; ch < channels; ch++)
        if (ch == channelIdx || channelIdx == channels) {
            orders[size_t(ch)] = Order{on, QDeadlineTimer(orderHoldMs)};
            show(ch, on);
        }
}

void OffsetCompensationWatch::poll() {
    std::vector<bool> running;
    if (kv4cl::getDigitalOffsetCompensationStates(running) != kv4cl::Success) return;
    running.resize(shown.size(), false);
    for (size_t ch = 0; ch < shown.size(); ch++) {
        std::optional<Order>& o = orders[ch];
        if (o && (o->on == running[ch] || o->until.hasExpired())) o.reset();
        show(int(ch), o ? o->on : bool(running[ch]));
    }
}

void OffsetCompensationWatch::show(int channelIdx, bool on) {
    if (shown[size_t(channelIdx)] != on) {
        shown[size_t(channelIdx)] = on;
        emit channelCompensating(channelIdx, on);
    }
    const bool any = std::find(shown.begin(), shown.end(), true) != shown.end();
    if (any != anyShown) {
        anyShown = any;
        emit anyCompensating(any);
    }
}
