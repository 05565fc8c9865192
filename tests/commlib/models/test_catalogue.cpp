// The catalogue end to end: identities read from the EEPROM choose the model class, through
// the public functions, on the virtual bus.

#include "commlib/models/alder.h"
#include "commlib/models/birch.h"
#include "commlib/models/cedar.h"
#include "commlib/models/elm.h"
#include "simulator/simulation.h"
#include "tests/commlib/models/modeltest.h"
#include "tests/support/enginemodel.h"

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

TEST_F(Catalogue, RowsNamingOneClassDriveTheDeviceIdentically) {
    // Firmware 129 and 130 share the reference class; firmware 1 has its own.
    addDevice("CEDAR129", {.version = 4, .subversion = 3, .firmware = 129});
    addDevice("CEDAR130", {.version = 4, .subversion = 3, .firmware = 130});
    addDevice("CEDAR001", {.version = 4, .subversion = 3, .firmware = 1});
    std::map<std::string, std::vector<Message>> sent;
    std::map<std::string, std::type_index> classes;
    for (const std::string id : {"CEDAR129", "CEDAR130", "CEDAR001"}) {
        ASSERT_EQ(kv4cl::connect({id}), Success) << id;
        classes.emplace(id, typeid(deviceList().first()));
        keepDeliveries(*bus->device(id));
        ASSERT_EQ(setCurrentRange(2, 4), Success);
        ASSERT_EQ(setSamplingRate(3), Success);
        sent[id] = wakeAndWaitForWrites(id, 7);
        uint16_t defaultIdx = 0;
        std::vector<Measurement_t> rates;
        ASSERT_EQ(getSamplingRates(rates, defaultIdx), Success);
        RangedMeasurement_t voltage, duration;
        if (id == "CEDAR001") {
            // The first firmware lacks the 200 kHz rate and the insertion pulse.
            EXPECT_EQ(rates.size(), 6u);
            EXPECT_EQ(setSamplingRate(6), ErrorValueOutOfRange);
            EXPECT_EQ(getInsertionPulseControls(voltage, duration), ErrorFeatureNotImplemented);
        } else {
            EXPECT_EQ(rates.size(), 7u);
            EXPECT_EQ(getInsertionPulseControls(voltage, duration), Success);
        }
        ASSERT_EQ(kv4cl::disconnect(), Success);
    }
    EXPECT_EQ(classes.at("CEDAR129"), std::type_index(typeid(MessageDispatcher_Cedarn_V01)));
    EXPECT_EQ(classes.at("CEDAR130"), classes.at("CEDAR129"));
    EXPECT_EQ(classes.at("CEDAR001"), std::type_index(typeid(MessageDispatcher_Cedarn_V00)));
    ASSERT_EQ(sent["CEDAR129"].size(), 7u);
    EXPECT_EQ(sent["CEDAR130"], sent["CEDAR129"]);
    // Range 2 (code 3) and rate 3 (code 3) in the two messages after the configuration.
    EXPECT_EQ(sent["CEDAR129"][6][1], 0x20 | 3 << 1);
    EXPECT_EQ(sent["CEDAR129"][6][2], 0x03 | 3 << 3);
    EXPECT_EQ(sent["CEDAR001"], sent["CEDAR129"]) << "the same layout in both firmwares";
}

// How parallel devices number their channels and merge their frames is checked on the test
// model (test_kv4cl.cpp) and on two virtual Cedars (test_virtualamplifier.cpp); here, what the
// real model adds: ranges per device, its stimulus filters and each device's configuration.
TEST_F(Catalogue, TwoParallelCedarsConnectAndKeepTheirOwnRanges) {
    addDevice("CEDARA", {.version = 4, .subversion = 3, .firmware = 129});
    addDevice("CEDARB", {.version = 4, .subversion = 3, .firmware = 129});
    ASSERT_EQ(kv4cl::connect({"CEDARA", "CEDARB"}), Success);
    for (const std::string id : {"CEDARA", "CEDARB"})
        keepDeliveries(*bus->device(id));

    // Channel 5 is the second device's channel 1.
    ASSERT_EQ(setCurrentRange(3, 5), Success);
    RangedMeasurement_t range;
    ASSERT_EQ(getCurrentRange(range, 5), Success);
    EXPECT_EQ(range.max, 200.0);
    EXPECT_EQ(range.prefix, UnitPfxNano);
    ASSERT_EQ(getCurrentRange(range, 1), Success);
    EXPECT_EQ(range.prefix, UnitPfxPico);
    // The stimulus filters are listed and chosen although the message has no field for them.
    std::vector<Measurement_t> filters;
    uint16_t defaultFilter = 0;
    ASSERT_EQ(getVoltageStimulusLpfs(filters, defaultFilter), Success);
    ASSERT_EQ(filters.size(), 2u);
    EXPECT_EQ(filters[0].value, 100.0);
    EXPECT_EQ(defaultFilter, 1);
    EXPECT_EQ(setVoltageStimulusLpf(0), Success);
    EXPECT_EQ(setVoltageStimulusLpf(2), ErrorValueOutOfRange);
    for (const std::string id : {"CEDARA", "CEDARB"}) {
        bus->device(id)->feed('B', {0x00});
        EXPECT_TRUE(bus->device(id)->waitForWrites('B', 5, 10s)) << id << " was configured";
    }
}

TEST_F(Catalogue, EverySimulatedModelConnectsAsItsFamily) {
    struct Expected {
        const char* name;
        std::type_index model;
        uint32_t currentChannels;
        const char* headerName;
    };
    const Expected expected[] = {
        {"cedar", typeid(MessageDispatcher_Cedarn_V01), 4, "Corvane Cedar"},
        {"cedar1", typeid(MessageDispatcher_Cedarn_V00), 4, "Corvane Cedar"},
        {"elm", typeid(MessageDispatcher_Elm), 1, "Corvane Elm"},
        {"alder", typeid(MessageDispatcher_Alderb_GK03c_LegacyKav3_PCBV02_FWV02), 1, "Corvane Alder"},
        {"birch", typeid(MessageDispatcher_Birchb_V01), 2, "Corvane Birch"},
    };
    for (const Expected& e : expected) {
        std::string error;
        ASSERT_TRUE(kav4sim::installSimulation(e.name, error)) << error;
        std::vector<std::string> ids;
        ASSERT_EQ(detectDevices(ids), Success);
        ASSERT_EQ(ids.size(), 1u);
        ASSERT_EQ(kv4cl::connect(ids), Success) << e.name;
        EXPECT_EQ(std::type_index(typeid(deviceList().first())), e.model) << e.name;
        uint32_t v = 0, c = 0, g = 0;
        ASSERT_EQ(getChannelCounts(v, c, g), Success);
        EXPECT_EQ(c, e.currentChannels) << e.name;
        std::string header;
        ASSERT_EQ(getHeaderTemplate(header), Success);
        std::istringstream lines(header);
        std::string line;
        for (int i = 0; i < 3; i++)
            std::getline(lines, line);
        EXPECT_EQ(line, e.headerName);
        std::getline(lines, line);
        EXPECT_EQ(line, "Channels: " + std::to_string(e.currentChannels));
        // The estimations' protocols: three levels for the resistance, a triangle for the capacitance.
        std::vector<std::string> names, images;
        std::vector<std::vector<uint16_t>> vs, ts, ss, fs, as;
        ASSERT_EQ(getProtocolList(names, images, vs, ts, ss, fs, as), Success);
        uint16_t r = 0, cap = 0;
        ASSERT_EQ(getREstimationProtocol(r), Success) << e.name;
        ASSERT_EQ(getCEstimationProtocol(cap), Success) << e.name;
        EXPECT_EQ(names.at(r), "Square wave") << e.name;
        EXPECT_EQ(names.at(cap), "Triangular") << e.name;
        ASSERT_EQ(kv4cl::disconnect(), Success);
        EXPECT_NE(getREstimationProtocol(r), Success) << "nothing connected";
    }
}

TEST(HeaderTemplates, OnlyTheModelLinesDifferAndTheElmAddsOversampling) {
    const std::string cedar =
        "KDH Version: 2.0\n\nCorvane Cedar\nChannels: 4\n\nData header file\n\nAmplifier "
        "Setup\nRange: %currentRange%\nSampling frequency (SR): %samplingRate%\nFinal "
        "Bandwidth: SR/2 (no filter)\n\nAcquisition start time: %dateHour%\n\nActive channels: "
        "%activeChannels%\n";
    EXPECT_EQ(MessageDispatcher_Cedarn_V01("X").headerTemplate, cedar);
    const std::string elm = "KDH Version: 2.0\n\nCorvane Elm\nChannels: 1\n\nData header file\n\nAmplifier "
                            "Setup\nRange: %currentRange%\nSampling frequency (SR): %samplingRate%\nFinal "
                            "Bandwidth: SR/2 (no filter)\nOversampling x%oversamplingRatio%: "
                            "%oversamplingFlag%\n\nAcquisition start time: %dateHour%\n\nActive channels: "
                            "%activeChannels%\n";
    EXPECT_EQ(MessageDispatcher_Elm("X").headerTemplate, elm);
}

} // namespace
} // namespace kv4test
