// kav4-cli record as a user runs it: recordings of virtual amplifiers in pattern mode read back
// whole, in both formats; Ctrl+C in the middle of a recording. Each run records into the test's
// home. (Losses marked in both formats: the window's and the session's recording tests.)

#include "tests/tools/programrunner.h"
#include "tools/patternverifier.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

using kv4test::Outcome;
namespace fs = std::filesystem;

const char* const cli = KAV4_CLI;

std::string records(const std::string& name) {
    return std::string(std::getenv("HOME")) + "/" + name;
}

// The number a line of the output gives after `label`; -1 when there is no such line.
long long figure(const std::string& out, const std::string& label) {
    std::smatch match;
    if (!std::regex_search(out, match, std::regex(label + " ?([0-9]+)"))) return -1;
    return std::stoll(match[1].str());
}

// Models alone and with others of their kind as one device set (one channel, gp channels, several
// devices, rates whose real value differs from their label), in both formats: every frame
// reads back in order; each device's current and gp words land in their own columns (current
// channels of every device first, then the gp channels of every device). At a rate asked for,
// the frames are those of the real rate. (The header's columns: the writers' and window's tests.)
struct ModelSet {
    const char* models;
    const char* ids;
    const char* format;
    int currents;               // in all
    int gps;                    // in all
    const char* rate = nullptr; // else the model's own
    long long frames = 0;       // in 0.3 s at that rate
};

class RecordsEveryModel : public ::testing::TestWithParam<ModelSet> {};

TEST_P(RecordsEveryModel, EveryWordOfEveryDeviceIsInItsColumn) {
    const ModelSet& c = GetParam();
    const std::string folder = records(std::string(c.format) + "_" + c.ids);
    std::vector<std::string> args = {"--simulate", c.models, "record", c.ids,  "--seconds",       "0.3",
                                     "--format",   c.format, "--out",  folder, "--verify-pattern"};
    if (c.rate) args.insert(args.end(), {"--rate", c.rate});
    const Outcome run = kv4test::runProgram(cli, args, {});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.err, "");
    const long long frames = figure(run.out, "recorded:");
    // Those of the rate asked for, else at least one.
    EXPECT_EQ(frames, c.rate ? c.frames : std::max(frames, 1LL)) << run.out;
    EXPECT_EQ(figure(run.out, "frames lost:"), 0) << run.out;
    EXPECT_EQ(figure(run.out, "pattern:"), frames) << run.out;
    EXPECT_NE(run.out.find("frames read back, contiguous\n"), std::string::npos) << run.out;

    // Every channel's file, the last one's too, and the lab book beside them.
    char last[32];
    std::snprintf(last, sizeof last, "file_CH%03d_000.abf", c.currents + c.gps);
    for (const std::string& file : c.format == std::string("dat")
                                       ? std::vector<std::string>{"file_000.dat", "file_lab_book.txt"}
                                       : std::vector<std::string>{"file_CH001_000.abf", last})
        EXPECT_TRUE(fs::exists(folder + "/file/" + file)) << file;
}

const ModelSet modelSets[] = {
    {"cedar", "VCEDAR01", "abf", 4, 0, "200k", 60000},
    {"dogwood32", "VDOGWOOD3201", "dat", 32, 0, "100k", 30000},
    {"fir", "VFIR01", "abf", 8, 1},
    {"cedar,cedar", "VCEDAR01,VCEDAR02", "abf", 8, 0, "50k", 15000},
    {"elm,elm", "VELM01,VELM02", "abf", 2, 0},
    {"dogwood16,dogwood16", "VDOGWOOD1601,VDOGWOOD1602", "dat", 32, 2},
    {"fir,fir,fir", "VFIR01,VFIR02,VFIR03", "abf", 24, 3},
};

INSTANTIATE_TEST_SUITE_P(Record, RecordsEveryModel, ::testing::ValuesIn(modelSets), [](const auto& info) {
    std::string name = std::string(info.param.models) + "_" + info.param.format;
    std::replace(name.begin(), name.end(), ',', '_');
    return name;
});

// Stopped by Ctrl+C once its first files hold frames, the run ends as by its time: every frame
// it recorded reads back, in both formats.
TEST(RecordStoppedByCtrlC, EveryFrameRecordedReadsBack) {
    for (const std::string format : {"dat", "abf"}) {
        SCOPED_TRACE(format);
        const std::string folder = records("interrupted_" + format);
        kv4test::StartedProgram program(cli,
                                        {"--simulate", "dogwood32", "record", "VDOGWOOD3201", "--seconds",
                                         "60", "--rate", "100k", "--format", format, "--out", folder,
                                         "--verify-pattern"},
                                        {});
        const fs::path data = folder + (format == "dat" ? "/file/file_000.dat" : "/file/file_CH032_000.abf");
        const auto frames = [&]() -> uint64_t {
            std::error_code error;
            if (format == "abf") return kav4cli::abfFrameCount(data);
            const uintmax_t bytes = fs::file_size(data, error);
            return error ? 0 : bytes / (33 * 4);
        };
        // The deadline only bounds a broken run.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (frames() == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        program.signal(SIGINT);
        const Outcome run = program.wait();
        ASSERT_EQ(run.status, 0) << run.out << run.err;
        EXPECT_NE(run.out.find("stopped by Ctrl+C"), std::string::npos) << run.out;
        EXPECT_EQ(figure(run.out, "frames lost:"), 0) << run.out;
        const long long recorded = figure(run.out, "recorded:");
        EXPECT_GT(recorded, 0) << run.out;
        EXPECT_NE(run.out.find("pattern: " + std::to_string(recorded) + " frames read back, contiguous\n"),
                  std::string::npos)
            << run.out;
    }
}

} // namespace
