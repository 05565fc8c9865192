// The simulation's set-up (models listed, cells from text) and the cell's physics against closed
// forms.

#include "simulator/simulation.h"

#include "commlib/api/devicelist.h"
#include "commlib/api/kv4cl.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
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

TEST_F(SimulationTest, ListedModelsAreDetectedWithTheirIdentityAndUnknownOnesRefused) {
    std::string error;
    for (const char* models : {"cedar,oak", " ", "cedar,,cedar", "Cedar"}) {
        EXPECT_FALSE(installSimulation(models, error)) << models;
        for (const SimulatedModel& model : simulatedModels())
            EXPECT_NE(error.find(model.name), std::string::npos)
                << "the error lists the known names: " << error;
    }
    Ids ids;
    EXPECT_EQ(kv4cl::detectDevices(ids), kv4cl::ErrorNoDevicesDetected) << "nothing was installed";
    std::string hundred = "cedar";
    for (int i = 1; i < 100; i++)
        hundred += ",cedar";
    EXPECT_FALSE(makeSimulatedBus(hundred, error));
    EXPECT_NE(error.find("at most 99"), std::string::npos) << error;

    const auto bus = installSimulation("cedar1,cedar, cedar1 ", error);
    ASSERT_TRUE(bus) << error;
    // Numbered per model, in list order; the library sorts the ids.
    EXPECT_EQ(detected(), (Ids{"VCEDAR01", "VCEDAR101", "VCEDAR102"}));
    EXPECT_EQ(info("VCEDAR01"), std::make_tuple(4, 3, 129u));
    EXPECT_EQ(info("VCEDAR102"), std::make_tuple(4, 3, 1u));
    EXPECT_NE(bus->device("VCEDAR101"), nullptr) << "the devices stay reachable for faults and data";
}

// The command-line tools' tests give the list as a separate argument.
TEST_F(SimulationTest, ListComesFromTheArgumentsBeforeTheEnvironment) {
    setenv("KAV4_SIMULATE", "cedar,cedar", 1);
    Args args{"kav4-cli", "list", "--simulate=cedar"};
    EXPECT_EQ(takeSimulationList(args), "cedar");
    EXPECT_EQ(args, (Args{"kav4-cli", "list"}));
    EXPECT_EQ(takeSimulationList(args), "cedar,cedar");
    args = {"kav4-cli", "list", "--simulate"};
    EXPECT_EQ(takeSimulationList(args), "") << "a missing value is not replaced by the environment";
    setenv("KAV4_SIMULATE", "", 1);
    EXPECT_EQ(takeSimulationList(args), std::nullopt);
}

// From KAV4_SIMULATE_CELL, for every channel of every amplifier.
TEST_F(SimulationTest, CellParametersFromText) {
    CellParameters cell;
    std::string error;
    ASSERT_TRUE(parseCellParameters(
        "Cm=30p, Rm=2G,Rs=5M,Cp=3p,g=0.1n,E=-10m,open=1m,closed=2.5,noise=0,artefact=40f,sine=5p,sineHz=1.5k",
        cell, error))
        << error;
    using C = CellParameters;
    const std::pair<double C::*, double> parsed[] = {
        {&C::membraneCapacitance, 30e-12}, {&C::membraneResistance, 2e9},   {&C::seriesResistance, 5e6},
        {&C::fastCapacitance, 3e-12},      {&C::channelConductance, 1e-10}, {&C::reversalPotential, -10e-3},
        {&C::meanOpenTime, 1e-3},          {&C::meanClosedTime, 2.5},       {&C::noiseRms, 0.0},
        {&C::resetArtefact, 40e-15},       {&C::sineAmplitude, 5e-12},      {&C::sineFrequency, 1500.0}};
    for (const auto& [member, value] : parsed)
        EXPECT_DOUBLE_EQ(cell.*member, value) << value;

    // A bad item changes nothing and names itself; a bad value names its key.
    const CellParameters before = cell;
    const std::pair<const char*, const char*> bads[] = {
        {"Cm=0", "Cm"},      {"noise=2x", "noise"}, {"open=", "open"}, {"Rm=nan", "Rm"},
        {"Cp=1e308G", "Cp"}, {"Cq=3", nullptr},     {"Cm", nullptr}};
    for (const auto& [bad, key] : bads) {
        error.clear();
        EXPECT_FALSE(parseCellParameters(std::string("Rm=5G,") + bad, cell, error)) << bad;
        EXPECT_NE(error.find(bad), std::string::npos) << error;
        if (key) {
            EXPECT_NE(error.find(std::string(key) + " must be"), std::string::npos) << error;
        }
        EXPECT_DOUBLE_EQ(cell.membraneResistance, before.membraneResistance) << bad;
    }

    // The tools' tests read the cells the environment describes.
    setenv("KAV4_SIMULATE_CELL", "Cm=huge", 1);
    EXPECT_FALSE(makeSimulatedBus("cedar", error));
    EXPECT_NE(error.find("KAV4_SIMULATE_CELL"), std::string::npos) << error;
}

// A front end integrates the current over each sample. After a step of the command the
// samples add up to the charge the step moves beyond the settled current, Cm a^2 dV with
// a = Rm / (Rm + Rs), however coarse the sampling; the first is the mean of the exponential
// decay over its period.
TEST(CellCharge, EachSampleIsTheMeanCurrentOverItsPeriodAtEveryRate) {
    struct Row {
        double cm, rm, rs, dt;
    };
    for (const Row& row : {Row{30e-12, 1e9, 10e6, 1e-6}, Row{30e-12, 1e9, 10e6, 819.2e-6},
                           Row{5e-12, 100e6, 20e6, 5e-6}, Row{5e-12, 100e6, 20e6, 1e-3}}) {
        SCOPED_TRACE(testing::Message() << "Cm " << row.cm << " dt " << row.dt);
        CellParameters parameters;
        parameters.membraneCapacitance = row.cm;
        parameters.membraneResistance = row.rm;
        parameters.seriesResistance = row.rs;
        parameters.fastCapacitance = 0.0;
        parameters.channelConductance = 0.0;
        parameters.noiseRms = 0.0;
        kav4sim::Cell cell(parameters);
        const double v = 0.1;
        const double a = row.rm / (row.rm + row.rs);
        const double tau = row.cm * row.rm * row.rs / (row.rm + row.rs);
        const double settled = v / (row.rm + row.rs);
        cell.step(0.0, row.dt);
        const double first = cell.step(v, row.dt);
        EXPECT_NEAR(first, settled + (v / row.rs - settled) * tau / row.dt * -std::expm1(-row.dt / tau),
                    1e-9 * first);
        double charge = (first - settled) * row.dt;
        for (int k = 1; k * row.dt < 40 * tau; k++)
            charge += (cell.step(v, row.dt) - settled) * row.dt;
        EXPECT_NEAR(charge / (row.cm * a * a * v), 1.0, 1e-9);
    }
}

// Sampled at the end of each step, the channel is a two-state chain: it stays open over a step
// with probability p + (1 - p) exp(-k dt), closed with (1 - p) + p exp(-k dt), where p is the
// open probability and k the sum of both rates. This holds whether the step sees no change or
// billions, and the mean current is the one the mean conductance g p lets through.
TEST(CellChannel, KeepsItsStatisticsWhateverItsRatesAndTheStep) {
    struct Row {
        double open, closed, dt;
        int steps;
    };
    for (const Row& row :
         {Row{5e-3, 20e-3, 1e-4, 200000}, Row{1e-4, 1e-4, 6e-4, 100000}, Row{1e-15, 3e-15, 1e-5, 100000}}) {
        CellParameters parameters;
        parameters.noiseRms = 0.0;
        parameters.channelConductance = 1e-9;
        parameters.meanOpenTime = row.open;
        parameters.meanClosedTime = row.closed;
        kav4sim::Cell cell(parameters, 7);
        const double v = 0.1;
        for (int i = 0; i < 100; i++)
            cell.step(v, row.dt); // the membrane settles
        double opens = 0, stays[2] = {0, 0}, visits[2] = {0, 0}, current = 0;
        bool was = cell.isOpen();
        for (int i = 0; i < row.steps; i++) {
            current += cell.step(v, row.dt);
            const bool now = cell.isOpen();
            opens += now;
            visits[was]++;
            stays[was] += now == was;
            was = now;
        }
        const double p = row.open / (row.open + row.closed);
        const double memory = std::exp(-row.dt * (1 / row.open + 1 / row.closed));
        const double expectedStay[2] = {(1 - p) + p * memory, p + (1 - p) * memory};
        const std::string name = "open " + std::to_string(row.open) + " closed " + std::to_string(row.closed);
        EXPECT_NEAR(opens / row.steps, p, 0.02) << name;
        for (int state = 0; state < 2; state++) {
            const double q = expectedStay[state];
            EXPECT_NEAR(stays[state] / visits[state], q, 4 * std::sqrt(q * (1 - q) / visits[state]) + 1e-9)
                << name << (state ? ": staying open" : ": staying closed");
        }
        const double conductance = 1 / parameters.seriesResistance + 1 / parameters.membraneResistance +
                                   parameters.channelConductance * p;
        const double vm = v / parameters.seriesResistance / conductance;
        EXPECT_NEAR(current / row.steps, (v - vm) / parameters.seriesResistance,
                    0.02 * (v - vm) / parameters.seriesResistance)
            << name;
    }
}
