#include "simulator/simulation.h"

#include "commlib/api/devicelist.h"
#include "commlib/api/kv4cl.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <numbers>
#include <set>
#include <tuple>

using namespace kav4sim;
using Ids = std::vector<std::string>;
using Args = std::vector<std::string>;

namespace {

struct SimulationTest : testing::Test {
    void SetUp() override {
        unsetenv("KAV4_SIMULATE");
        unsetenv("KAV4_SIMULATE_CELL");
    }
    void TearDown() override {
        installFtdiDriver(nullptr);
        unsetenv("KAV4_SIMULATE");
        unsetenv("KAV4_SIMULATE_CELL");
    }
    static Ids detected() {
        Ids ids;
        EXPECT_EQ(kv4cl::detectDevices(ids), kv4cl::Success);
        return ids;
    }
    static std::tuple<int, int, uint32_t> info(const std::string& id) {
        uint8_t version = 0, subversion = 0;
        uint32_t firmware = 0;
        EXPECT_EQ(kv4cl::getDeviceInfo(id, version, subversion, firmware), kv4cl::Success);
        return {version, subversion, firmware};
    }
};

} // namespace

TEST_F(SimulationTest, ListedModelsAreDetectedWithTheirIdentity) {
    std::string error;
    const auto bus = installSimulation("cedar1,cedar, cedar1 ", error);
    ASSERT_TRUE(bus) << error;
    // Numbered per model, in list order; the library sorts the ids.
    EXPECT_EQ(detected(), (Ids{"VCEDAR01", "VCEDAR101", "VCEDAR102"}));
    EXPECT_EQ(info("VCEDAR01"), std::make_tuple(4, 3, 129u));
    EXPECT_EQ(info("VCEDAR102"), std::make_tuple(4, 3, 1u));
    EXPECT_NE(bus->device("VCEDAR101"), nullptr) << "the devices stay reachable for faults and data";

    // The same list always gives the same ids.
    ASSERT_TRUE(installSimulation("cedar,cedar", error)) << error;
    EXPECT_EQ(detected(), (Ids{"VCEDAR01", "VCEDAR02"}));
}

TEST_F(SimulationTest, EveryModelGetsDistinctIdsThatFitTheDriver) {
    std::string models;
    for (const SimulatedModel& model : simulatedModels())
        for (int i = 0; i < 99; i++)
            models += std::string(models.empty() ? "" : ",") + model.name;
    std::string error;
    ASSERT_TRUE(installSimulation(models, error)) << error;
    const Ids ids = detected();
    EXPECT_EQ(ids.size(), 99 * simulatedModels().size()) << "two models must never share an id";
    for (const std::string& id : ids)
        EXPECT_LT(id.size() + 1, sizeof(FT_DEVICE_LIST_INFO_NODE::SerialNumber)) << id << " plus its letter";

    EXPECT_FALSE(makeSimulatedBus(models + ",cedar", error));
    EXPECT_NE(error.find("99"), std::string::npos) << error;
}

TEST_F(SimulationTest, UnknownOrMissingModelsAreRefused) {
    for (const char* models : {"cedar,oak", "", " ", "cedar,,cedar", "Cedar", "elm-demo"}) {
        std::string error;
        EXPECT_FALSE(installSimulation(models, error)) << models;
        for (const SimulatedModel& model : simulatedModels())
            EXPECT_NE(error.find(model.name), std::string::npos)
                << "the error lists the known names: " << error;
    }
    std::string error;
    installSimulation("cedar,oak", error);
    EXPECT_NE(error.find("\"oak\""), std::string::npos) << error;
    Ids ids;
    EXPECT_EQ(kv4cl::detectDevices(ids), kv4cl::ErrorNoDevicesDetected) << "nothing was installed";
}

TEST_F(SimulationTest, ListComesFromTheArgumentsBeforeTheEnvironment) {
    Args args{"kav4-cli", "--simulate", "cedar,cedar1", "list"};
    EXPECT_EQ(takeSimulationList(args), "cedar,cedar1");
    EXPECT_EQ(args, (Args{"kav4-cli", "list"}));
    args = {"kav4-cli", "list", "--simulate=cedar"};
    EXPECT_EQ(takeSimulationList(args), "cedar");
    EXPECT_EQ(args, (Args{"kav4-cli", "list"}));
    EXPECT_EQ(takeSimulationList(args), std::nullopt);

    setenv("KAV4_SIMULATE", "cedar,cedar", 1);
    EXPECT_EQ(takeSimulationList(args), "cedar,cedar");
    args = {"kav4-cli", "--simulate", "cedar1", "list"};
    EXPECT_EQ(takeSimulationList(args), "cedar1");
    args = {"kav4-cli", "list", "--simulate"};
    EXPECT_EQ(takeSimulationList(args), "") << "a missing value is not replaced by the environment";
    EXPECT_EQ(args, (Args{"kav4-cli", "list"}));

    setenv("KAV4_SIMULATE", "", 1);
    EXPECT_EQ(takeSimulationList(args), std::nullopt);
}

TEST_F(SimulationTest, EveryListedDeviceIsDrivenByItsModel) {
    std::string error;
    const auto bus = installSimulation("cedar,elm,cedar", error);
    ASSERT_TRUE(bus) << error;
    for (const std::string serial : {"VCEDAR01", "VCEDAR02", "VELM01"}) {
        const VirtualAmplifier* amplifier = bus->amplifier(serial);
        ASSERT_NE(amplifier, nullptr) << serial;
        EXPECT_EQ(&amplifier->device(), bus->device(serial).get());
        EXPECT_EQ(amplifier->device().clock(), bus->clock()) << "one timeline for all";
    }
    EXPECT_EQ(bus->amplifier("VCEDAR01")->model().currentChannelsNum, 4);
    EXPECT_EQ(bus->amplifier("VELM01")->model().currentChannelsNum, 1);
    EXPECT_EQ(bus->amplifier("VOAK01"), nullptr);

    // The models with optional features: the Dogwoods, and Fir with its washer.
    const auto features = installSimulation("dogwood16,dogwood32,fir", error);
    ASSERT_TRUE(features) << error;
    EXPECT_EQ(features->amplifier("VDOGWOOD1601")->model().currentChannelsNum, 16);
    EXPECT_EQ(features->amplifier("VDOGWOOD3201")->model().currentChannelsNum, 32);
    EXPECT_EQ(features->amplifier("VFIR01")->model().currentChannelsNum, 8);
    EXPECT_TRUE(features->amplifier("VFIR01")->washer());
    EXPECT_FALSE(features->amplifier("VDOGWOOD1601")->washer());
}

TEST_F(SimulationTest, CellParametersFromText) {
    CellParameters cell;
    std::string error;
    ASSERT_TRUE(parseCellParameters(
        "Cm=30p, Rm=2G,Rs=5M,Cp=3p,g=0.1n,E=-10m,open=1m,closed=2.5,noise=0,artefact=40f,sine=5p,sineHz=1.5k",
        cell, error))
        << error;
    EXPECT_DOUBLE_EQ(cell.membraneCapacitance, 30e-12);
    EXPECT_DOUBLE_EQ(cell.membraneResistance, 2e9);
    EXPECT_DOUBLE_EQ(cell.seriesResistance, 5e6);
    EXPECT_DOUBLE_EQ(cell.fastCapacitance, 3e-12);
    EXPECT_DOUBLE_EQ(cell.channelConductance, 0.1e-9);
    EXPECT_DOUBLE_EQ(cell.reversalPotential, -10e-3);
    EXPECT_DOUBLE_EQ(cell.meanOpenTime, 1e-3);
    EXPECT_DOUBLE_EQ(cell.meanClosedTime, 2.5);
    EXPECT_DOUBLE_EQ(cell.noiseRms, 0.0);
    EXPECT_DOUBLE_EQ(cell.resetArtefact, 40e-15);
    EXPECT_DOUBLE_EQ(cell.sineAmplitude, 5e-12);
    EXPECT_DOUBLE_EQ(cell.sineFrequency, 1500.0);

    // A bad item changes nothing and names itself.
    const CellParameters before = cell;
    for (const char* bad :
         {"Cm=0", "Rs=-1M", "Cp=-1p", "g=-1p", "noise=2x", "open=", "Cq=3", "Cm", "Cm=1pp", "Rm=nan"}) {
        error.clear();
        EXPECT_FALSE(parseCellParameters(std::string("Rm=5G,") + bad, cell, error)) << bad;
        EXPECT_NE(error.find(bad), std::string::npos) << error;
        EXPECT_DOUBLE_EQ(cell.membraneResistance, before.membraneResistance) << bad;
    }
}

TEST(CellSinusoid, AddsItsWaveToTheCurrentAcrossStepsAndSkips) {
    CellParameters quiet;
    quiet.channelConductance = 0.0;
    quiet.noiseRms = 0.0;
    quiet.sineAmplitude = 3e-12;
    quiet.sineFrequency = 125.0;
    kav4sim::Cell cell(quiet);
    // At 0 V the membrane stays at rest: the current is the sinusoid alone, sampled at 1 kHz.
    const double dt = 1e-3;
    for (int k = 1; k <= 20; k++) {
        if (k == 11) cell.skip(0.0, 3 * dt); // time passes unmeasured: the phase goes on
        const double t = (k <= 10 ? k : k + 3) * dt;
        EXPECT_NEAR(cell.step(0.0, dt), 3e-12 * std::sin(2 * std::numbers::pi * 125.0 * t), 1e-18)
            << "sample " << k;
    }
}

TEST_F(SimulationTest, CellsComeFromTheEnvironment) {
    setenv("KAV4_SIMULATE_CELL", "Cm=33p,noise=0", 1);
    std::string error;
    auto bus = makeSimulatedBus("cedar", error);
    ASSERT_TRUE(bus) << error;
    for (uint16_t ch = 0; ch < 4; ch++) {
        EXPECT_DOUBLE_EQ(bus->amplifier("VCEDAR01")->cell(ch).membraneCapacitance, 33e-12);
        EXPECT_DOUBLE_EQ(bus->amplifier("VCEDAR01")->cell(ch).noiseRms, 0.0);
        EXPECT_DOUBLE_EQ(bus->amplifier("VCEDAR01")->cell(ch).seriesResistance,
                         CellParameters{}.seriesResistance);
    }
    setenv("KAV4_SIMULATE_CELL", "Cm=huge", 1);
    EXPECT_FALSE(makeSimulatedBus("cedar", error));
    EXPECT_NE(error.find("KAV4_SIMULATE_CELL"), std::string::npos) << error;
}

TEST_F(SimulationTest, ConnectedDevicesReportTheirIdentityAndFeatures) {
    std::vector<std::string> ids;
    std::vector<uint8_t> versions, subversions;
    std::vector<uint32_t> firmwares;
    bool denoiser = true;
    EXPECT_EQ(kv4cl::getConnectedDevicesInfo(ids, versions, subversions, firmwares),
              kv4cl::ErrorDeviceNotConnected);
    EXPECT_EQ(kv4cl::hasResetDenoiser(denoiser), kv4cl::ErrorDeviceNotConnected);
    EXPECT_EQ(kv4cl::resetDriftEstimator(), kv4cl::ErrorDeviceNotConnected);

    std::string error;
    ASSERT_TRUE(installSimulation("elm,cedar,cedar", error)) << error;
    ASSERT_EQ(kv4cl::connect({"VCEDAR02", "VCEDAR01"}), kv4cl::Success);
    ASSERT_EQ(kv4cl::getConnectedDevicesInfo(ids, versions, subversions, firmwares), kv4cl::Success);
    EXPECT_EQ(ids, (Ids{"VCEDAR02", "VCEDAR01"})) << "in the order they were connected";
    EXPECT_EQ(versions, (std::vector<uint8_t>{4, 4}));
    EXPECT_EQ(subversions, (std::vector<uint8_t>{3, 3}));
    EXPECT_EQ(firmwares, (std::vector<uint32_t>{129, 129}));
    ASSERT_EQ(kv4cl::hasResetDenoiser(denoiser), kv4cl::Success);
    EXPECT_TRUE(denoiser);
    bool bankA = false, bankB = false;
    ASSERT_EQ(kv4cl::hasChannelSwitches(bankA, bankB), kv4cl::Success);
    EXPECT_TRUE(bankA && bankB);

    // What the estimators learnt is forgotten after a resynchronisation.
    kv4CommLib::deviceList().drift[1].estimate = 1e-4;
    kv4CommLib::deviceList().drift[1].extraFrames = 3;
    EXPECT_EQ(kv4cl::resetDriftEstimator(), kv4cl::Success);
    EXPECT_EQ(kv4CommLib::deviceList().drift[1].estimate, 0.0);
    EXPECT_EQ(kv4CommLib::deviceList().drift[1].extraFrames, 0u);
    ASSERT_EQ(kv4cl::disconnect(), kv4cl::Success);

    ASSERT_EQ(kv4cl::connect({"VELM01"}), kv4cl::Success);
    ASSERT_EQ(kv4cl::hasResetDenoiser(denoiser), kv4cl::Success);
    EXPECT_FALSE(denoiser);
    ASSERT_EQ(kv4cl::hasChannelSwitches(bankA, bankB), kv4cl::Success);
    EXPECT_FALSE(bankA || bankB) << "the single-channel model has no banks";
    ASSERT_EQ(kv4cl::disconnect(), kv4cl::Success);
}
