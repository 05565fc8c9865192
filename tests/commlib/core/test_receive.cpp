// The receive path end to end: crafted byte streams on the virtual bus, through the
// receive thread and the packet parser, out of readFrames and getStatus.

#include "tests/commlib/core/testmodel.h"

#include <algorithm>
#include <cmath>
#include <fstream>

#include <unistd.h>

namespace kv4test {
namespace {

using kv4cl::DataStatus_t;

constexpr uint32_t P = 166; // 4 + 2 + 2 * 16 * 5

// Appends the start of the packet that follows (its marker and info index): the last packet of
// `bytes` is then complete.
void appendNextMarker(std::vector<uint8_t>& bytes) {
    const uint8_t index = bytes[bytes.size() - P + 4];
    append(bytes, {0x7F, 0xFF, 0x80, 0x00, uint8_t((index + 1) % 8)});
}

// Counting packets, every one complete.
std::vector<uint8_t> pattern(uint32_t first, uint32_t packets) {
    return patternPackets(first, packets, 0, true);
}

struct Frames {
    std::vector<uint16_t> filtered;
    std::vector<uint16_t> unfiltered;
    uint32_t count = 0;
    uint32_t frame(uint32_t i) const { return filtered[i * 5] | uint32_t(filtered[i * 5 + 1]) << 16; }
};

// At most n frames in one read, or everything there is.
Frames read(MessageDispatcher& d, uint32_t n) {
    uint16_t* filtered = nullptr;
    uint16_t* unfiltered = nullptr;
    uint32_t got = 0;
    d.readFrames(n, filtered, unfiltered, got);
    return {{filtered, filtered + got * 5}, {unfiltered, unfiltered + got * 5}, got};
}

Frames readAll(MessageDispatcher& d) {
    Frames f;
    for (Frames more; (more = read(d, 100000)).count > 0; f.count += more.count) {
        f.filtered.insert(f.filtered.end(), more.filtered.begin(), more.filtered.end());
        f.unfiltered.insert(f.unfiltered.end(), more.unfiltered.begin(), more.unfiltered.end());
    }
    return f;
}

// The gaps the reader has not taken yet, and how many frames it was handed.
std::vector<kv4cl::FramesLost_t> takeLost(MessageDispatcher& d, uint64_t* handedOut = nullptr) {
    std::vector<kv4cl::FramesLost_t> lost;
    uint64_t handed = 0;
    d.takeFramesLost(lost, handed);
    if (handedOut) *handedOut = handed;
    return lost;
}

// Packets whose current words are given per sample (same value on all four channels unless
// the function says otherwise); voltage word 0. Every one complete.
std::vector<uint8_t> currentPackets(int packets,
                                    const std::function<uint16_t(int sample, int channel)>& current) {
    std::vector<uint8_t> bytes;
    for (int p = 0; p < packets; p++)
        append(bytes,
               makePacket([&](int s, int k) -> uint16_t { return k == 0 ? 0 : current(p * 16 + s, k - 1); },
                          0x7FFF8000, 5, true, uint8_t(p % 8)));
    appendNextMarker(bytes);
    return bytes;
}

DataStatus_t status(MessageDispatcher& d) {
    DataStatus_t s;
    d.getStatus(s);
    return s;
}

using Receive = DispatcherTest;

TEST_F(Receive, StreamStartingMidPacketLosesOnlyTheLeadingBytes) {
    TestModel& m = addConnected();
    std::vector<uint8_t> bytes = patternPackets(0, 7);
    bytes.erase(bytes.begin(), bytes.begin() + 37); // join in the middle of packet 0
    deliver(0, bytes);

    DataStatus_t s;
    EXPECT_EQ(m.getStatus(s), kv4cl::Success);
    EXPECT_FALSE(s.dataLost);
    // Packets 1..5 are complete with a successor marker; packet 6 waits for the next one.
    ASSERT_EQ(s.availableFrames, 5u * 16);
    const Frames f = readAll(m);
    for (uint32_t i = 0; i < f.count; i++)
        ASSERT_EQ(f.frame(i), 16 + i);
    EXPECT_EQ(f.filtered[3], 3) << "current words pass unchanged with filter and denoiser off";
    EXPECT_EQ(f.unfiltered, f.filtered);
}

TEST_F(Receive, LastPacketIsParsedOnlyOnceTheNextMarkerAndIndexArrived) {
    // After five packets: nothing, the next marker, the next marker with its info index.
    const std::vector<uint8_t> follows[] = {{}, {0x7F, 0xFF, 0x80, 0x00}, {0x7F, 0xFF, 0x80, 0x00, 5}};
    const uint32_t parsed[] = {4, 4, 5};
    for (size_t i = 0; i < std::size(follows); i++) {
        TestModel& m = addConnected();
        std::vector<uint8_t> bytes = patternPackets(0, 5);
        append(bytes, follows[i]);
        deliver(i, bytes);
        EXPECT_EQ(status(m).availableFrames, parsed[i] * 16) << follows[i].size() << " bytes after";
    }
}

TEST_F(Receive, CorruptedMarkerIsReportedOnceAndParsingResumesAtTheNextMarker) {
    TestModel& m = addConnected();
    std::vector<uint8_t> bytes = pattern(0, 10);
    bytes[5 * P + 1] ^= 0x10; // second byte of packet 5's marker
    deliver(0, bytes);

    EXPECT_TRUE(status(m).dataLost);
    // Packets 0..3 verified by their successors; 4 (no valid successor) and 5 are lost; 6..9 follow.
    const Frames f = readAll(m);
    ASSERT_EQ(f.count, (4u + 4u) * 16);
    for (uint32_t i = 0; i < 64; i++)
        ASSERT_EQ(f.frame(i), i);
    for (uint32_t i = 64; i < f.count; i++)
        ASSERT_EQ(f.frame(i), 96 + (i - 64));
    EXPECT_FALSE(status(m).dataLost) << "reported once, then cleared";

    // The stream stopped right after the gap: no poll sees it resume, yet the gap is sized by
    // the info index and reported. The idle receive side purges now and then: each purge is a
    // pass that looked.
    devices[0]->failCalls(kav4sim::FtdiCall::Purge, 0);
    std::vector<kv4cl::FramesLost_t> lost;
    uint64_t handedOut = 0;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (lost.empty() && std::chrono::steady_clock::now() < deadline) {
        const int purges = devices[0]->purges('B', FT_PURGE_RX);
        m.takeFramesLost(lost, handedOut);
        if (lost.empty()) {
            ASSERT_TRUE(devices[0]->waitForPurges('B', FT_PURGE_RX, purges + 1, 10s));
        }
    }
    ASSERT_EQ(lost.size(), 1u);
    EXPECT_EQ(lost[0].frames, 2u * 16);
    EXPECT_EQ(lost[0].framesAfter, 4u * 16);
}

TEST_F(Receive, InfoBytesFollowTheirIndex) {
    TestModel& m = addConnected();
    std::vector<uint8_t> bytes;
    for (uint8_t i = 0; i < 6; i++)
        append(bytes, makePacket([](int, int) { return uint16_t(0); }, 0x7FFF8000, 5, true, i % 3,
                                 uint8_t(0x40 + i)));
    append(bytes, makePacket([](int, int) { return uint16_t(0); }, 0x7FFF8000, 5, true, 200,
                             1)); // index past the table
    appendNextMarker(bytes);
    deliver(0, bytes);
    EXPECT_EQ(m.infoBytes[0], 0x43);
    EXPECT_EQ(m.infoBytes[1], 0x44);
    EXPECT_EQ(m.infoBytes[2], 0x45);
    EXPECT_EQ(m.infoBytes[3], 0);
}

// Saturated beyond +-30720 (suggests a higher range), small within +-2048 in every sample of the
// batch (a lower one), 0x7FFE and 0x8000 are the overflow codes. Range 1 of 4 is selected unless
// the row says otherwise, so that both suggestions can be made.
TEST_F(Receive, SaturationBandOverflowCodesAndRangeSuggestions) {
    struct Row {
        const char* what;
        std::function<uint16_t(int sample, int channel)> word;
        bool up;
        bool down;
        bool overflow;
        uint16_t range = 1;
    };
    // In every sample on channel 2, the others at 0.
    const auto every = [](uint16_t word) {
        return [=](int, int ch) { return ch == 2 ? word : uint16_t(0); };
    };
    const Row rows[] = {
        {"30721", every(0x7801), true, false, false},
        {"-30721", every(0x87FF), true, false, false},
        {"30720 is below the band", every(0x7800), false, false, false},
        {"overflow 0x7FFE", every(0x7FFE), true, false, true},
        {"overflow 0x8000", every(0x8000), true, false, true},
        {"32767 is no overflow", every(0x7FFF), true, false, false},
        {"one sample below the band", [](int sample, int) { return uint16_t(sample == 37 ? 0 : 0x7900); },
         false, false, false},
        {"2048 and -2048 are still small",
         [](int sample, int) { return uint16_t(sample % 2 ? 2048 : 0xF800); }, false, true, false},
        {"2049 is not small", [](int sample, int) { return uint16_t(sample == 50 ? 2049 : 0); }, false, false,
         false},
        {"-2049 is not small", [](int sample, int) { return uint16_t(sample == 50 ? 0xF7FF : 0); }, false,
         false, false},
        {"no higher range than the highest", every(0x7FF0), false, false, false, 3},
        {"no lower range than range 0", every(10), false, false, false, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TestModel& m = addConnected();
        EXPECT_EQ(m.setCurrentRange(row.range, 4, true), kv4cl::Success);
        deliver(devices.size() - 1, currentPackets(5, row.word));
        const DataStatus_t s = status(m);
        EXPECT_EQ(s.rangeUpSuggested, row.up);
        EXPECT_EQ(s.rangeDownSuggested, row.down);
        EXPECT_EQ(s.wordOverflow, row.overflow);
    }
}

TEST_F(Receive, StallDropsTheHalfPacketAndResynchronises) {
    TestModel& m = addConnected();
    devices[0]->failCalls(kav4sim::FtdiCall::Purge, 0);
    std::vector<uint8_t> first = patternPackets(0, 7);
    first.resize(6 * P + 80); // packet 6 breaks off: the device stopped sending
    deliver(0, first);
    // Receive waits its limit for more data, then drops the remainder and purges the driver.
    ASSERT_TRUE(devices[0]->waitForPurges('B', FT_PURGE_RX, 2, 10s))
        << "one purge at open, one at the resync";

    std::vector<uint8_t> second(50, 0x11);
    append(second, patternPackets(1000, 6));
    appendNextMarker(second);
    deliver(0, second);

    EXPECT_FALSE(status(m).dataLost) << "a stall is not a lost boundary";
    const Frames f = readAll(m);
    ASSERT_EQ(f.count, 12u * 16);
    for (uint32_t i = 0; i < 96; i++)
        ASSERT_EQ(f.frame(i), i);
    for (uint32_t i = 96; i < f.count; i++)
        ASSERT_EQ(f.frame(i), 1000 + i - 96);
}

constexpr uint32_t ring = MessageDispatcher::frameRingFrames;

// Packets 4 and 5 are lost to a broken marker, then the ring overruns past them: the newest frames
// stay, and the gaps among the frames it dropped move to the reader's next frame.
TEST_F(Receive, RingOverrunKeepsTheNewestFramesAndReportsEveryGapBeforeThem) {
    TestModel& m = addConnected();
    constexpr uint32_t packets = ring / 16 + 1000;
    std::vector<uint8_t> bytes = pattern(0, packets);
    bytes[5 * P + 1] ^= 0x10;
    deliver(0, bytes);
    const DataStatus_t s = status(m);
    EXPECT_TRUE(s.bufferOverflow);
    EXPECT_EQ(s.availableFrames, m.maxOutputFrames) << "status never offers more than one read can take";

    const Frames f = read(m, 10);
    ASSERT_EQ(f.count, 10u);
    const uint32_t oldest = packets * 16 - ring;
    for (uint32_t i = 0; i < f.count; i++)
        ASSERT_EQ(f.frame(i), oldest + i);
    uint64_t handedOut = 0;
    const auto lost = takeLost(m, &handedOut);
    EXPECT_EQ(handedOut, 10u);
    ASSERT_EQ(lost.size(), 2u);
    EXPECT_EQ(lost[0].frames, 2u * 16) << "the broken stretch, counted by the info index";
    EXPECT_FALSE(lost[0].bufferOverflow);
    EXPECT_TRUE(lost[1].bufferOverflow);
    EXPECT_EQ(lost[0].frames + lost[1].frames, oldest) << "every frame before the first one read";
    EXPECT_EQ(lost[0].framesAfter, 10u);
    EXPECT_EQ(lost[1].framesAfter, 10u);
    EXPECT_TRUE(takeLost(m).empty()) << "each gap is reported once";
}

TEST_F(Receive, AnOverrunAfterAReadLeavesTheEarlierOneInPlace) {
    TestModel& m = addConnected();
    constexpr uint32_t packets = ring / 16 + 1000;
    // One stream in two deliveries, the first ending just into packet `packets`.
    const std::vector<uint8_t> bytes = pattern(0, packets + ring / 16);
    const auto cut = bytes.begin() + std::ptrdiff_t(packets * P + 5);
    deliver(0, std::vector<uint8_t>(bytes.begin(), cut));
    const uint32_t firstLost = packets * 16 - ring;
    ASSERT_EQ(read(m, 10).frame(0), firstLost);

    // The reader has not asked for its gaps yet when the ring overruns again.
    deliver(0, std::vector<uint8_t>(cut, bytes.end()));
    const auto lost = takeLost(m);
    ASSERT_GE(lost.size(), 2u);
    EXPECT_EQ(lost[0].frames, firstLost);
    EXPECT_EQ(lost[0].framesAfter, 10u);
    EXPECT_TRUE(lost[0].bufferOverflow);
    // Then the second overrun, and the packet that waited across the two deliveries if the
    // receive side gave up on it meanwhile: every frame up to the next one read.
    uint64_t later = 0;
    for (size_t i = 1; i < lost.size(); i++) {
        EXPECT_EQ(lost[i].framesAfter, 0u);
        later += lost[i].frames;
    }
    EXPECT_EQ(read(m, 1).frame(0), firstLost + 10 + later);
}

// A sanitizer's allocator keeps freed blocks aside for a while: there the process's resident
// memory tells nothing of the rings.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool residentMemoryIsTheCodes = false;
#else
constexpr bool residentMemoryIsTheCodes = true;
#endif

// Resident memory of the process, in bytes; signed, as memory freed meanwhile lowers it.
int64_t residentBytes() {
    std::ifstream statm("/proc/self/statm");
    int64_t pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * int64_t(sysconf(_SC_PAGESIZE));
}

// Half a ring of frames through a reader that keeps up: one that takes all there is after each
// delivery, and one that leaves a few frames each time, as the merge of parallel devices does
// with the device that is ahead. Every frame comes out in order, and the ring's pages past the
// largest backlog stay untouched (the kernel never gives them memory), where a ring written
// round would have taken 40 MB.
TEST_F(Receive, AReaderThatKeepsUpLeavesTheRingBeyondItsBacklogUntouched) {
    for (const uint32_t leave : {0u, 5u}) {
        SCOPED_TRACE(leave);
        TestModel& m = addConnected();
        const size_t device = devices.size() - 1;
        constexpr uint32_t deliveryPackets = 8192;
        constexpr uint32_t deliveries = ring / 16 / deliveryPackets / 2;
        const std::vector<uint8_t> bytes = pattern(0, deliveries * deliveryPackets);
        const int64_t residentBefore = residentBytes();
        uint32_t next = 0;
        for (uint32_t d = 0; d < deliveries; d++) {
            const auto from = bytes.begin() + std::ptrdiff_t(d * deliveryPackets * P);
            deliver(device, std::vector<uint8_t>(from, d + 1 == deliveries ? bytes.end()
                                                                           : from + deliveryPackets * P));
            const Frames f = read(m, status(m).availableFrames - leave);
            for (uint32_t i = 0; i < f.count; i++, next++)
                ASSERT_EQ(f.frame(i), next);
        }
        EXPECT_EQ(next, deliveries * deliveryPackets * 16 - leave);
        EXPECT_TRUE(takeLost(m).empty());
        // Both rings' backlog, the reads' buffers and copies: a few MB.
        if (residentMemoryIsTheCodes) {
            EXPECT_LT(residentBytes() - residentBefore, int64_t{20} << 20);
        }
    }
}

TEST_F(Receive, ShortReadsReturnWhatIsThereWithAWarning) {
    TestModel& m = addConnected();
    deliver(0, pattern(0, 4));

    uint16_t* filtered = nullptr;
    uint16_t* unfiltered = nullptr;
    uint32_t got = 0;
    m.setMaxOutputFrames(10);
    EXPECT_EQ(m.readFrames(20, filtered, unfiltered, got), kv4cl::WarningNotEnoughData)
        << "more than one read may take";
    EXPECT_EQ(got, 10u);
    EXPECT_EQ(m.readFrames(10, filtered, unfiltered, got), kv4cl::Success);
    m.setMaxOutputFrames(1000);
    EXPECT_EQ(m.readFrames(100, filtered, unfiltered, got), kv4cl::WarningNotEnoughData);
    ASSERT_EQ(got, 44u);
    EXPECT_EQ(filtered[0], 20);
    EXPECT_EQ(m.readFrames(1, filtered, unfiltered, got), kv4cl::WarningNotEnoughData);
    EXPECT_EQ(got, 0u);
    DataStatus_t s;
    EXPECT_EQ(m.getStatus(s), kv4cl::WarningNoDataAvailable);
}

TEST_F(Receive, FlushDiscardsWhatWasReceived) {
    TestModel& m = addConnected();
    std::vector<uint8_t> bytes = pattern(0, 6);
    bytes[3 * P] = 0; // a lost boundary sets a flag that flushing clears too
    deliver(0, bytes);
    devices[0]->failCalls(kav4sim::FtdiCall::Purge, 0);
    m.flushData(true);
    DataStatus_t s;
    EXPECT_EQ(m.getStatus(s), kv4cl::WarningNoDataAvailable);
    EXPECT_FALSE(s.dataLost);
    EXPECT_EQ(devices[0]->purges('B', FT_PURGE_RX), 1 + 1) << "one purge at open, one by the flush";
}

// ---- Digital filter and reset denoiser ----------------------------------------------------------

// Period 2, alpha 0.5 (beta 1/2), input alternating 100, 0 on every channel.
TEST_F(Receive, DenoiserSubtractsTheLearnedArtefactAndKeepsTheMeanUnlessSuspended) {
    for (const bool suspended : {false, true}) {
        SCOPED_TRACE(suspended ? "suspended" : "running");
        TestModel& m = addConnected();
        m.configureDenoiser(2, 0.5, suspended);
        ASSERT_EQ(m.setDenoiserEnabled(true), kv4cl::Success);
        deliver(devices.size() - 1,
                currentPackets(5, [](int sample, int) { return uint16_t(sample % 2 ? 0 : 100); }));
        const Frames f = readAll(m);
        ASSERT_EQ(f.count, 80u);
        if (suspended) {
            for (int i = 0; i < 80; i++)
                ASSERT_EQ(f.filtered[i * 5 + 1], i % 2 ? 0 : 100);
            continue;
        }
        // Worked by hand: outputs 75, 25, 62.5, 37.5, 56.25, 43.75, ... converging on the mean 50.
        const double expected[] = {75, 25, 62.5, 37.5, 56.25, 43.75};
        for (int i = 0; i < 6; i++) {
            for (int ch = 1; ch <= 4; ch++) {
                EXPECT_EQ(int16_t(f.unfiltered[i * 5 + ch]), int16_t(std::trunc(expected[i]))) << i;
                // The filter is off: the filtered ring differs only by rounding to nearest.
                EXPECT_EQ(int16_t(f.filtered[i * 5 + ch]), int16_t(std::round(expected[i]))) << i;
            }
        }
        for (int i = 70; i < 80; i++)
            EXPECT_NEAR(int16_t(f.filtered[i * 5 + 1]), 50, 1);
    }
}

// Second-order Butterworth response computed from the textbook bilinear form, independently
// of the engine's coefficient formulas.
std::vector<double> butterworth(const std::vector<double>& x, double fc, double fs, bool lowPass) {
    const double k = std::tan(std::acos(-1.0) * fc / fs);
    const double q = std::sqrt(2.0);
    const double d = 1.0 + q * k + k * k;
    const double a1 = 2.0 * (k * k - 1.0) / d;
    const double a2 = (1.0 - q * k + k * k) / d;
    const double b0 = lowPass ? k * k / d : 1.0 / d;
    const double b1 = lowPass ? 2.0 * b0 : -2.0 * b0;
    std::vector<double> y(x.size());
    for (size_t n = 0; n < x.size(); n++) {
        const double x1 = n > 0 ? x[n - 1] : 0, x2 = n > 1 ? x[n - 2] : 0;
        const double y1 = n > 0 ? y[n - 1] : 0, y2 = n > 1 ? y[n - 2] : 0;
        y[n] = b0 * x[n] + b1 * x1 + b0 * x2 - a1 * y1 - a2 * y2;
    }
    return y;
}

TEST_F(Receive, DigitalFilterMatchesAButterworthSection) {
    for (bool lowPass : {true, false}) {
        TestModel& m = addConnected(); // 1.220703125 kHz
        ASSERT_EQ(m.setDigitalFilter({100.0, kv4cl::UnitPfxNone, "Hz"}, lowPass, true), kv4cl::Success);
        std::vector<double> x(6 * 16);
        for (size_t n = 0; n < x.size(); n++)
            x[n] = n < 10 ? 0.0 : 1000.0 + 300.0 * ((n * 7) % 5);
        deliver(devices.size() - 1,
                currentPackets(6, [&](int sample, int) { return uint16_t(int16_t(x[sample])); }));

        const Frames f = readAll(m);
        ASSERT_EQ(f.count, x.size());
        const std::vector<double> y = butterworth(x, 100.0, 1220.703125, lowPass);
        for (size_t n = 0; n < x.size(); n++) {
            ASSERT_EQ(int16_t(f.filtered[n * 5 + 3]), int16_t(std::lround(y[n])))
                << n << (lowPass ? " LP" : " HP");
            ASSERT_EQ(int16_t(f.unfiltered[n * 5 + 3]), int16_t(x[n]));
        }
    }
}

TEST_F(Receive, FilterOutputIsClampedToTheWordRange) {
    TestModel& m = addConnected();
    ASSERT_EQ(m.setDigitalFilter({500.0, kv4cl::UnitPfxNone, "Hz"}, true, true), kv4cl::Success);
    // A full-scale square wave makes a fast low-pass overshoot past the 16-bit range.
    deliver(0,
            currentPackets(5, [](int sample, int) { return uint16_t((sample / 3) % 2 ? 32767 : 0x8001); }));
    const Frames f = readAll(m);
    bool reachedTop = false;
    for (uint32_t i = 0; i < f.count; i++) {
        const int16_t v = int16_t(f.filtered[i * 5 + 1]);
        reachedTop |= v == 32767;
        ASSERT_GE(v, -32768);
        // A wrap-around would show as a jump from near the top to near the bottom.
        if (i > 0) {
            ASSERT_LT(std::abs(int(v) - int16_t(f.filtered[(i - 1) * 5 + 1])), 65000);
        }
    }
    EXPECT_TRUE(reachedTop);
}

} // namespace
} // namespace kv4test
