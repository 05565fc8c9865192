// Frames lost between the amplifier and the reader, end to end: virtual amplifiers in pattern
// mode, in real time, each making one of its faults. The frames missing from the pattern must
// be exactly what readFramesLost reports, each gap at the frame where the pattern resumes.

#include "tests/support/amplifiertest.h"

#include <algorithm>
#include <climits>
#include <iostream>
#include <thread>

namespace kv4test {
namespace {

enum class Fault { None, DropBytes, DropPackets, CorruptBytes, Stall, DeviceOverflow, RingOverrun };

struct Case {
    const char* models;
    uint16_t rate; // index
    Fault fault;
    size_t size = 0;           // bytes, packets or milliseconds
    size_t buffer = 0;         // the device's buffer in bytes; 0 keeps its default
    size_t device = 0;         // the parallel device that makes the fault
    uint16_t oversampling = 0; // index
    int times = 1;             // the fault is made again after a tenth of a second
    bool takeTurns = false;    // each time by the next parallel device
    bool stuckIndex = false;   // the faulty device's info index stays at 0 around the fault
    int fromRate = -1;         // an index: the stream starts at it and turns to `rate` just before the fault
};

// The test's name, from what it does: "cedar_cedar_rate3_Stall100_x3_inTurn".
std::string name(const Case& c) {
    const char* const faults[] = {"NoFault", "Drop",           "DropPackets", "Corrupt",
                                  "Stall",   "DeviceOverflow", "RingOverrun"};
    std::string n = std::string(c.models) + "_rate" + std::to_string(c.rate) + "_" + faults[int(c.fault)];
    std::replace(n.begin(), n.end(), ',', '_');
    const std::pair<size_t, const char*> options[] = {{c.size, ""},
                                                      {c.oversampling, "_os"},
                                                      {c.buffer, "_buffer"},
                                                      {c.device, "_device"},
                                                      {size_t(c.times > 1 ? c.times : 0), "_x"}};
    for (const auto& [value, label] : options)
        if (value > 0) n += label + std::to_string(value);
    if (c.fromRate >= 0) n += "_fromRate" + std::to_string(c.fromRate);
    return n + (c.takeTurns ? "_inTurn" : "") + (c.stuckIndex ? "_stuckIndex" : "");
}

void PrintTo(const Case& c, std::ostream* os) {
    *os << name(c);
}

// Frames missing before output frame `at` (counted from the first frame read).
struct Gap {
    uint64_t at;
    uint64_t frames;
    bool bufferOverflow;
    bool operator==(const Gap&) const = default;
    bool operator<(const Gap& o) const { return at < o.at; }
};

void PrintTo(const Gap& g, std::ostream* os) {
    *os << "{" << g.frames << " frames before frame " << g.at << (g.bufferOverflow ? ", overrun" : "") << "}";
}

class FramesLost : public SimulatedAmplifiers, public testing::WithParamInterface<Case> {
  protected:
    // The amplifiers stream in pattern mode in real time (the library times the stream with the
    // wall clock), at the case's rate, from a settled start.
    void start(const Case& c) {
        std::string error;
        bus = kav4sim::makeSimulatedBus(c.models, error);
        ASSERT_TRUE(bus) << error;
        installBus(bus);
        ids.clear();
        ASSERT_EQ(kv4cl::detectDevices(ids), kv4cl::Success);
        for (const std::string& id : ids) {
            VirtualAmplifier& a = *bus->amplifier(id);
            a.setPatternMode(true);
            a.setFreeRunning(c.fault == Fault::RingOverrun);
            if (c.buffer > 0) a.setBufferBytes(c.buffer);
        }
        ASSERT_EQ(kv4cl::connect(ids), kv4cl::Success);
        ASSERT_EQ(kv4cl::setSamplingRate(c.fromRate >= 0 ? uint16_t(c.fromRate) : c.rate), kv4cl::Success);
        if (c.oversampling > 0) {
            ASSERT_EQ(kv4cl::setOversamplingRatio(c.oversampling), kv4cl::Success);
        }
        waitForCommand([&](const DecodedCommand& d) {
            return d.samplingRateIdx == (c.fromRate >= 0 ? c.fromRate : c.rate) &&
                   d.oversamplingRatioIdx == c.oversampling;
        });
        settle();
    }
    // The rate turns to the case's while the stream runs, and the library reads a fifth of a
    // second at it: a few of its polls of the queue, each 50 ms or 2 KB apart, fewer than the
    // newest polls that time a break. The polls before the turn timed bytes of another rate and
    // must not size the fault.
    void turnRate(const Case& c) {
        ASSERT_EQ(kv4cl::setSamplingRate(c.rate), kv4cl::Success);
        waitForCommand([&](const DecodedCommand& d) { return d.samplingRateIdx == c.rate; });
        readUntil(frames.count() + size_t(amplifier().frameRate() / 5));
    }

    // Reads what the library has, and the gaps it reports right after.
    void readSome() {
        readAvailable(frames);
        std::vector<kv4cl::FramesLost_t> lost{{1, 1, true}}; // replaced by the call
        ASSERT_EQ(kv4cl::readFramesLost(lost), kv4cl::Success);
        for (const kv4cl::FramesLost_t& l : lost) {
            ASSERT_LE(l.framesAfter, frames.count());
            reported.push_back({frames.count() - l.framesAfter, l.frames, l.bufferOverflow});
        }
    }
    void readUntil(size_t count) {
        while (frames.count() < count && !HasFailure())
            readSome();
    }

    // The gaps in each device's count. Current word 0 holds its low 16 bits, word 1 (when the
    // model has a second current channel) the high ones.
    uint64_t countMask() const { return deviceList().first().currentChannelsNum > 1 ? 0xFFFFFFFFu : 0xFFFFu; }
    uint64_t count(size_t dev, size_t i) const {
        const MessageDispatcher& d = deviceList().first();
        const size_t channels = d.currentChannelsNum;
        const size_t low = d.voltageChannelsNum + dev * channels;
        uint64_t n = frames.at(i, low);
        if (channels > 1) n |= uint64_t(frames.at(i, low + 1)) << 16;
        return n;
    }
    std::vector<Gap> missing() const {
        std::vector<Gap> gaps;
        for (size_t dev = 0; dev < ids.size(); dev++) {
            uint64_t previous = 0;
            for (size_t i = 0; i < frames.count(); i++) {
                const uint64_t n = count(dev, i);
                const uint64_t step = i == 0 ? 1 : (n - previous) & countMask();
                EXPECT_GE(step, 1u) << "device " << dev << ": frame " << i << " repeats its predecessor";
                if (step > 1) gaps.push_back({i, step - 1, false});
                previous = n;
            }
        }
        std::stable_sort(gaps.begin(), gaps.end());
        return gaps;
    }
    // The gaps the library can report for those in the pattern. The stream starts at a packet.
    // Bytes lost that happen to be a whole number of packets long, from within a packet, leave
    // the markers intact: where the info index skips the library drops the packet before it,
    // but where it does not (or the model has none) the two halves read as one packet and the
    // gap goes unseen: it shows in the pattern within a packet.
    std::vector<Gap> placed(std::vector<Gap> gaps, bool overrun) const {
        const MessageDispatcher& d = deviceList().first();
        const auto spp = uint64_t(d.samplesPerPacket);
        const uint32_t cycle =
            d.packetBytes == 6 + 2 * spp * d.wordsPerSample ? uint32_t(d.infoBytes.size()) : 0;
        std::vector<Gap> seen;
        for (Gap g : gaps) {
            g.bufferOverflow = overrun;
            if (!overrun && g.at % spp != 0) {
                const auto packets = uint64_t(std::llround(double(g.frames) / double(spp)));
                EXPECT_TRUE(cycle <= 1 || packets % cycle == 0)
                    << "two halves of packets joined where the info index skips: "
                    << testing::PrintToString(g);
                std::cout << "unseen: " << testing::PrintToString(g) << "\n";
                continue;
            }
            seen.push_back(g);
        }
        return seen;
    }
    uint64_t total(const std::vector<Gap>& gaps) const {
        uint64_t sum = 0;
        for (const Gap& g : gaps)
            sum += g.frames;
        return sum;
    }

    void makeFault(const Case& c, VirtualAmplifier& faulty) {
        kav4sim::VirtualDevice& device = faulty.device();
        switch (c.fault) {
        case Fault::None:
            break;
        case Fault::DropBytes:
            faulty.dropBytes(c.size);
            break;
        case Fault::DropPackets:
            faulty.dropPackets(c.size);
            break;
        case Fault::CorruptBytes:
            faulty.corruptBytes(c.size);
            break;
        case Fault::Stall:
            // The fault is the time the device keeps quiet.
            faulty.stall(true);
            std::this_thread::sleep_for(std::chrono::milliseconds(c.size));
            faulty.stall(false);
            break;
        case Fault::DeviceOverflow:
            // The host stops reading: the device's buffer fills and loses its oldest bytes.
            device.zeroReads(INT_MAX);
            std::this_thread::sleep_for(std::chrono::milliseconds(c.size));
            device.zeroReads(0);
            break;
        case Fault::RingOverrun: {
            // The reader stops reading until the library's frame ring has overrun.
            kv4cl::DataStatus_t status;
            do {
                ASSERT_TRUE(device.waitForNextRead(faulty.model().rxChannel, 10s));
                kv4cl::getDataStatus(status);
            } while (!status.bufferOverflow);
            // Back to real time, so that the reader catches up and the ring overruns no more.
            faulty.setFreeRunning(false);
            break;
        }
        }
    }

    Frames frames;
    std::vector<Gap> reported;
};

TEST_P(FramesLost, AreCountedExactlyWhereTheyHappen) {
    const Case& c = GetParam();
    start(c);
    if (HasFatalFailure()) return;
    const MessageDispatcher& d = deviceList().first();
    VirtualAmplifier& faulty = amplifier(c.device);

    // A fifth of a second before the fault, so that the library knows the stream's pace.
    readUntil(std::max<size_t>(size_t(amplifier().frameRate()) / 5, 64));
    if (c.fromRate >= 0) {
        ASSERT_NO_FATAL_FAILURE(turnRate(c));
    }
    const auto rate = size_t(amplifier().frameRate());
    if (c.stuckIndex) {
        faulty.stickInfoIndex(true);
        readUntil(frames.count() + std::max<size_t>(rate / 10, 64));
    }
    for (int k = 0; k < c.times; k++) {
        if (k > 0) readUntil(frames.count() + std::max<size_t>(rate / 10, 64));
        makeFault(c, c.takeTurns ? amplifier((c.device + size_t(k)) % ids.size()) : faulty);
        if (HasFatalFailure()) return;
    }
    if (c.stuckIndex) {
        // Where the index sticks and where it moves again it seems to skip: those packets go.
        readUntil(frames.count() + std::max<size_t>(rate / 10, 64));
        EXPECT_TRUE(frames.flags.infoIndexStuck);
        EXPECT_TRUE(frames.flags.dataLost) << "a stuck index is a loss that can no longer be seen";
        faulty.stickInfoIndex(false);
    }
    // Enough after the fault to see the pattern resume, then until the counts are in.
    readUntil(frames.count() + std::max<size_t>(rate / 5, 64));
    std::vector<Gap> expected = missing();
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (total(reported) < total(expected) && std::chrono::steady_clock::now() < deadline &&
           !HasFailure()) {
        readSome();
        expected = missing();
    }
    if (ids.size() > 1) {
        // The devices that lost fewer frames give up as many at their next read once the loss is
        // counted, so that every device's frames are side by side again: each device's count
        // is as far from the first device's at the last frame as at the first.
        readUntil(frames.count() + 64);
        expected = missing();
        const size_t last = frames.count() - 1;
        for (size_t dev = 1; dev < ids.size(); dev++)
            EXPECT_EQ((count(dev, last) - count(0, last)) & countMask(),
                      (count(dev, 0) - count(0, 0)) & countMask())
                << "device " << dev;
    }
    // A gap after the last frame read does not show in the pattern yet.
    std::erase_if(reported, [&](const Gap& g) { return g.at == frames.count(); });

    if (!c.stuckIndex) {
        EXPECT_EQ(expected.empty(), c.fault == Fault::None) << "the fault shows in the pattern, and only it";
    }
    kv4cl::DataStatus_t status;
    kv4cl::getDataStatus(status);
    EXPECT_FALSE(status.infoIndexStuck) << "the index moves again";
    if (c.fault == Fault::DropPackets) {
        // The packet before the hole might be two halves joined: it goes too.
        ASSERT_EQ(expected.size(), size_t(c.times));
        for (const Gap& g : expected)
            EXPECT_EQ(g.frames, (c.size + 1) * d.samplesPerPacket);
        EXPECT_FALSE(frames.flags.dataLost) << "no marker broke";
    }
    std::vector<Gap> counted;
    std::stable_sort(reported.begin(), reported.end());
    // Gaps told at one place (one device's and the frames another gave up to stay in step) are
    // one gap in the pattern.
    for (const Gap& g : reported)
        if (!counted.empty() && counted.back().at == g.at &&
            counted.back().bufferOverflow == g.bufferOverflow)
            counted.back().frames += g.frames;
        else
            counted.push_back(g);
    EXPECT_EQ(counted, placed(expected, c.fault == Fault::RingOverrun)) << frames.count() << " frames read";
}

// Packet sizes: elm 70 bytes (4 info bytes), alder 68 (none), birch 102 (8), cedar 166 (8), fir
// 294 (8), dogwood16 582 (40), dogwood32 1062 (8). Rates by index: 0 1.22 kHz, 2 9.77 kHz,
// 3 19.5 kHz, 4 50 kHz, 5 100 kHz, 6 200 kHz.
using enum Fault;
const Case cases[] = {
    {.models = "dogwood32", .rate = 5, .fault = None},
    {.models = "elm", .rate = 0, .fault = DropBytes, .size = 1},
    // Most of a packet, six and three packets and a few bytes, ten and some at 1.6 MHz.
    {.models = "cedar", .rate = 3, .fault = DropBytes, .size = 160},
    {.models = "elm", .rate = 3, .fault = DropBytes, .size = 6 * 70 + 3},
    {.models = "alder", .rate = 3, .fault = DropBytes, .size = 3 * 68 + 10},
    {.models = "elm", .rate = 6, .fault = DropBytes, .size = 10 * 70 + 20, .oversampling = 3},
    // Exactly one packet's length, from within a packet.
    {.models = "cedar", .rate = 3, .fault = DropBytes, .size = 166},
    // A packet's worth of bytes corrupted breaks a marker.
    {.models = "cedar", .rate = 3, .fault = CorruptBytes, .size = 166},
    {.models = "dogwood16", .rate = 2, .fault = None, .stuckIndex = true},
    {.models = "cedar,cedar", .rate = 3, .fault = None, .device = 1, .stuckIndex = true},
    {.models = "cedar", .rate = 3, .fault = DropPackets, .size = 3, .times = 2},
    // Stalls of 10 ms, 200 ms twice and a second.
    {.models = "dogwood32", .rate = 5, .fault = Stall, .size = 10},
    {.models = "fir", .rate = 2, .fault = Stall, .size = 200, .times = 2},
    {.models = "alder", .rate = 4, .fault = Stall, .size = 1000},
    // ...just after the rate turned faster and slower.
    {.models = "elm", .rate = 2, .fault = Stall, .size = 200, .fromRate = 0},
    {.models = "cedar", .rate = 2, .fault = Stall, .size = 200, .fromRate = 4},
    // The host stops reading for 600 and 100 ms.
    {.models = "elm", .rate = 0, .fault = DeviceOverflow, .size = 600, .buffer = 1024},
    {.models = "dogwood32", .rate = 5, .fault = DeviceOverflow, .size = 100, .buffer = 256 * 1024},
    {.models = "birch", .rate = 6, .fault = RingOverrun},
    {.models = "cedar,cedar", .rate = 3, .fault = DropBytes, .size = 400, .device = 1},
    // The first to lose frames is caught up with, then loses fewer of its own.
    {.models = "cedar,cedar", .rate = 3, .fault = Stall, .size = 100, .times = 3, .takeTurns = true},
};

INSTANTIATE_TEST_SUITE_P(ModelsAndFaults, FramesLost, testing::ValuesIn(cases),
                         [](const testing::TestParamInfo<Case>& info) { return name(info.param); });

} // namespace
} // namespace kv4test
