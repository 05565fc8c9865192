#pragma once
// Model tests: golden fixtures (golden/*.golden beside the tests) and a virtual bus on which
// devices with a model's EEPROM identity are connected through the catalogue.

#include "commlib/api/catalogue.h"
#include "commlib/api/devicelist.h"
#include "commlib/api/kv4cl.h"
#include "tests/commlib/core/testmodel.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>

namespace kv4test {

using Message = std::vector<uint8_t>;

// A fixture file: "[name]" opens a section of hexadecimal numbers; "#" starts a comment.
class Golden {
  public:
    explicit Golden(const std::string& name) {
        std::ifstream in(std::string(GOLDEN_DIR) + "/" + name);
        EXPECT_TRUE(in) << "missing fixture " << name;
        std::string line, section;
        while (std::getline(in, line)) {
            line = line.substr(0, line.find('#'));
            if (line.starts_with('[')) {
                section = line.substr(1, line.find(']') - 1);
                sections[section];
                continue;
            }
            std::istringstream numbers(line);
            std::string token;
            while (numbers >> token)
                sections[section].push_back(uint32_t(std::stoul(token, nullptr, 16)));
        }
    }
    Message bytes(const std::string& section) const { return values<uint8_t>(section); }
    std::vector<uint16_t> words(const std::string& section) const { return values<uint16_t>(section); }

  private:
    template <typename T> std::vector<T> values(const std::string& section) const {
        const auto found = sections.find(section);
        EXPECT_NE(found, sections.end()) << "no section [" << section << "]";
        if (found == sections.end()) return {};
        return std::vector<T>(found->second.begin(), found->second.end());
    }
    std::map<std::string, std::vector<uint32_t>> sections;
};

// That a message holds the bytes of a golden section from the section's first number, the byte
// they start at, on.
inline void expectRun(const Message& sent, const Golden& golden, const std::string& section) {
    const Message run = golden.bytes(section);
    if (run.empty() || sent.size() < run[0] + run.size() - 1) {
        ADD_FAILURE() << section << ": a message of " << sent.size() << " bytes";
        return;
    }
    EXPECT_EQ(Message(sent.begin() + run[0], sent.begin() + long(run[0] + run.size() - 1)),
              Message(run.begin() + 1, run.end()))
        << section;
}

struct Identity {
    uint8_t version;
    uint8_t subversion;
    uint16_t firmware;
};

// The engine tests' bus, on which the library and the catalogue's models connect too.
class ModelBus : public DispatcherTest {
  protected:
    void TearDown() override {
        // The library's list holds handles on the bus: it goes first.
        kv4cl::disconnect();
        DispatcherTest::TearDown();
    }
    using DispatcherTest::addDevice;
    std::shared_ptr<kav4sim::VirtualDevice> addDevice(const std::string& serial, Identity id) {
        return addDevice(serial, id.version, id.subversion, id.firmware);
    }

    // An idle line makes the receive side purge the driver buffer every few passes, and a
    // delivery landing on that pass would vanish: failing purges keep every delivery whole.
    static void keepDeliveries(kav4sim::VirtualDevice& device) { device.failCalls(kav4sim::FtdiCall::Purge); }

    // Connects the device through the catalogue, as the library does for each id.
    MessageDispatcher& connectModel(const std::string& serial) {
        std::unique_ptr<MessageDispatcher> model;
        EXPECT_EQ(createDispatcher(serial, model), kv4cl::Success) << serial;
        if (!model) throw std::runtime_error("no model for " + serial);
        keepDeliveries(*bus->device(serial));
        dispatchers.push_back(std::move(model));
        return *dispatchers.back();
    }

    // Any byte shows the transmit side that the device is alive; then n messages are expected.
    std::vector<Message> wakeAndWaitForWrites(const std::string& serial, size_t n) {
        const auto device = bus->device(serial);
        device->feed('B', {0x00});
        EXPECT_TRUE(device->waitForWrites('B', n, 10s)) << serial;
        return device->writes('B');
    }

    // Packets as a device sends them: `packet` again and again, its info index walking on from its
    // own through the model's cycle and, with `info`, its info byte the one at that index (0 past
    // its end), enough for the receive side to parse each index at least once; then the next
    // marker and index that complete the last. Returns the number of complete packets.
    uint32_t feedPackets(const std::string& serial, char channel, const MessageDispatcher& m,
                         const Message& packet, const std::optional<Message>& info = {}) {
        const bool indexed = m.syncWord == MessageDispatcher::syncWordCurrent && !m.infoBytes.empty();
        const auto cycle = uint32_t(m.infoBytes.size());
        const uint32_t packets = std::max(m.maxPackets.load(), cycle);
        Message stream;
        for (uint32_t p = 0; p <= packets; p++) {
            const size_t at = stream.size();
            stream.insert(stream.end(), packet.begin(), packet.end());
            if (!indexed) continue;
            const auto index = uint8_t((packet[4] + p) % cycle);
            stream[at + 4] = index;
            if (info) stream[at + 5] = index < info->size() ? (*info)[index] : uint8_t(0);
        }
        stream.resize(stream.size() - packet.size() + (indexed ? 5 : 4));
        const auto device = bus->device(serial);
        device->feed(channel, stream);
        EXPECT_TRUE(device->waitUntilDrained(channel, 10s));
        return packets;
    }
    // A packet of the current generation: the marker, info index and byte 0, then `body`.
    static Message packet(const MessageDispatcher& m, const Message& body = {}) {
        Message p = {0x7F, 0xFF, 0x80, 0x00, 0, 0};
        p.insert(p.end(), body.begin(), body.end());
        p.resize(m.packetBytes, 0);
        return p;
    }

    // The fixture's packets become the fixture's frames, as often.
    void expectGoldenReceive(MessageDispatcher& m, const std::string& serial, const Golden& golden) {
        const Message packet = golden.bytes("rx packet");
        const std::vector<uint16_t> frames = golden.words("rx frames");
        ASSERT_EQ(packet.size(), m.packetBytes);
        const uint32_t repeats = feedPackets(serial, 'B', m, packet);
        uint16_t* filtered = nullptr;
        uint16_t* unfiltered = nullptr;
        uint32_t read = 0;
        const uint32_t expectedFrames = repeats * uint32_t(m.samplesPerPacket);
        ASSERT_EQ(m.readFrames(expectedFrames, filtered, unfiltered, read), kv4cl::Success);
        ASSERT_EQ(read, expectedFrames);
        const std::vector<uint16_t> got(unfiltered, unfiltered + size_t(read) * m.wordsPerSample);
        std::vector<uint16_t> expected;
        for (uint32_t i = 0; i < repeats; i++)
            expected.insert(expected.end(), frames.begin(), frames.end());
        EXPECT_EQ(got, expected);
        EXPECT_EQ(std::vector<uint16_t>(filtered, filtered + got.size()), expected)
            << "no filter is on after connection";
    }
};

// A model built from its class and given its buffers, for tests of its tables and encoding
// that need no device. Messages it queues are dropped, nothing sends them.
template <typename Model> std::unique_ptr<Model> standalone() {
    auto model = std::make_unique<Model>("STANDALONE");
    EXPECT_EQ(model->initBuffers(), kv4cl::Success);
    return model;
}

} // namespace kv4test
