// The catalogue end to end: identities read from the EEPROM choose the model class, through
// the public functions, on the virtual bus.

#include "commlib/models/alder.h"
#include "commlib/models/birch.h"
#include "commlib/models/cedar.h"
#include "commlib/models/elm.h"
#include "simulator/simulation.h"
#include "tests/commlib/models/modeltest.h"

#include <typeindex>

namespace kv4test {
namespace {

using namespace kv4cl;

class Catalogue : public ModelBus {};

TEST_F(Catalogue, UnknownIdentityIsNotControllableAndLeavesNothingBehind) {
    addDevice("UNKNOWN1", {.version = 4, .subversion = 3, .firmware = 2});
    std::unique_ptr<MessageDispatcher> model;
    EXPECT_EQ(createDispatcher("UNKNOWN1", model), ErrorDeviceTypeNotControllable);
    EXPECT_EQ(model, nullptr);
    EXPECT_EQ(kv4cl::connect({"UNKNOWN1"}), ErrorDeviceTypeNotControllable);
    EXPECT_TRUE(deviceList().empty());
    EXPECT_EQ(bus->openHandles(), 0u);
    EXPECT_EQ(bus->device("UNKNOWN1")->writes('B').size(), 0u);
}

// Firmware 130 shares firmware 129's reference class (its own test below); firmware 1 has its own
// class, which lays out its messages alike.
TEST_F(Catalogue, RowsNamingOneClassDriveTheDeviceIdentically) {
    addDevice("CEDAR130", {.version = 4, .subversion = 3, .firmware = 130});
    addDevice("CEDAR001", {.version = 4, .subversion = 3, .firmware = 1});
    std::map<std::string, std::vector<Message>> sent;
    std::map<std::string, std::type_index> classes;
    for (const std::string id : {"CEDAR130", "CEDAR001"}) {
        ASSERT_EQ(kv4cl::connect({id}), Success) << id;
        classes.emplace(id, typeid(deviceList().first()));
        keepDeliveries(*bus->device(id));
        ASSERT_EQ(setCurrentRange(2, 4), Success);
        ASSERT_EQ(setSamplingRate(3), Success);
        sent[id] = wakeAndWaitForWrites(id, 7);
        ASSERT_EQ(kv4cl::disconnect(), Success);
    }
    EXPECT_EQ(classes.at("CEDAR130"), std::type_index(typeid(MessageDispatcher_Cedarn_V01)));
    EXPECT_EQ(classes.at("CEDAR001"), std::type_index(typeid(MessageDispatcher_Cedarn_V00)));
    ASSERT_EQ(sent["CEDAR130"].size(), 7u);
    // Range 2 (code 3) and rate 3 (code 3) in the two messages after the configuration.
    EXPECT_EQ(sent["CEDAR130"][6][1], 0x20 | 3 << 1);
    EXPECT_EQ(sent["CEDAR130"][6][2], 0x03 | 3 << 3);
    EXPECT_EQ(sent["CEDAR001"], sent["CEDAR130"]);
}

TEST_F(Catalogue, EverySimulatedModelConnectsAsItsFamily) {
    const std::tuple<const char*, std::type_index, uint32_t, const char*> expected[] = {
        {"cedar", typeid(MessageDispatcher_Cedarn_V01), 4, "Corvane Cedar"},
        {"cedar1", typeid(MessageDispatcher_Cedarn_V00), 4, "Corvane Cedar"},
        {"elm", typeid(MessageDispatcher_Elm), 1, "Corvane Elm"},
        {"alder", typeid(MessageDispatcher_Alderb_GK03c_LegacyKav3_PCBV02_FWV02), 1, "Corvane Alder"},
        {"birch", typeid(MessageDispatcher_Birchb_V01), 2, "Corvane Birch"},
    };
    for (const auto& [name, model, currentChannels, headerName] : expected) {
        std::string error;
        ASSERT_TRUE(kav4sim::installSimulation(name, error)) << error;
        std::vector<std::string> ids;
        ASSERT_EQ(detectDevices(ids), Success);
        ASSERT_EQ(ids.size(), 1u);
        ASSERT_EQ(kv4cl::connect(ids), Success) << name;
        EXPECT_EQ(std::type_index(typeid(deviceList().first())), model) << name;
        uint32_t v = 0, c = 0, g = 0;
        ASSERT_EQ(getChannelCounts(v, c, g), Success);
        EXPECT_EQ(c, currentChannels) << name;
        // A current word's full scale, 32767, is its range's end: every sample converts with it.
        std::vector<RangedMeasurement_t> ranges;
        uint16_t defaultRange = 0;
        ASSERT_EQ(getCurrentRanges(ranges, defaultRange), Success);
        for (const RangedMeasurement_t& range : ranges)
            EXPECT_DOUBLE_EQ(range.step * 32767.0, range.max) << name << " " << range.max;
        std::string header;
        ASSERT_EQ(getHeaderTemplate(header), Success);
        std::istringstream lines(header);
        std::string line;
        for (int i = 0; i < 3; i++)
            std::getline(lines, line);
        EXPECT_EQ(line, headerName);
        std::getline(lines, line);
        EXPECT_EQ(line, "Channels: " + std::to_string(currentChannels));
        // The estimations' protocols: three levels for the resistance, a triangle for the capacitance.
        std::vector<std::string> names, images;
        std::vector<std::vector<uint16_t>> vs, ts, ss, fs, as;
        ASSERT_EQ(getProtocolList(names, images, vs, ts, ss, fs, as), Success);
        uint16_t r = 0, cap = 0;
        ASSERT_EQ(getREstimationProtocol(r), Success) << name;
        ASSERT_EQ(getCEstimationProtocol(cap), Success) << name;
        EXPECT_EQ(names.at(r), "Square wave") << name;
        EXPECT_EQ(names.at(cap), "Triangular") << name;
        ASSERT_EQ(kv4cl::disconnect(), Success);
        EXPECT_NE(getREstimationProtocol(r), Success) << "nothing connected";
    }
}

} // namespace
} // namespace kv4test
