// kav4-cli record as a user runs it: recordings of virtual amplifiers in pattern mode read back
// whole, in both formats; Ctrl+C in the middle of one; faults that lose frames. Each run
// records into the test's home.

#include "tests/tools/programrunner.h"
#include "tools/patternverifier.h"

#include <gtest/gtest.h>

#include <pty.h>

#include <algorithm>
#include <cctype>
#include <chrono>
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

struct ShortRecording {
    const char* name;
    const char* model;
    const char* id;
    const char* format;
    const char* rate;
    long long frames; // at the rate for the seconds asked
    std::vector<const char*> files;
};

void PrintTo(const ShortRecording& c, std::ostream* os) {
    *os << c.name;
}

class Records : public ::testing::TestWithParam<ShortRecording> {};

TEST_P(Records, EveryFrameReadsBackInOrderWithHeaderAndLabBook) {
    const ShortRecording& c = GetParam();
    const std::string folder = records(c.name);
    const Outcome run =
        kv4test::runProgram(cli,
                            {"--simulate", c.model, "record", c.id, "--seconds", "0.5", "--format", c.format,
                             "--rate", c.rate, "--out", folder, "--verify-pattern"},
                            {});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out.find('\r'), std::string::npos) << "no progress line into a file";
    EXPECT_EQ(figure(run.out, "recorded:"), c.frames) << run.out;
    EXPECT_EQ(figure(run.out, "frames lost:"), 0) << run.out;
    EXPECT_EQ(figure(run.out, "pattern:"), c.frames) << run.out;
    EXPECT_NE(run.out.find("frames read back, contiguous\n"), std::string::npos) << run.out;
    for (const char* file : c.files)
        EXPECT_TRUE(fs::exists(folder + "/file/" + file)) << file;
    const std::string labbook = kv4test::readFile(folder + "/file/file_lab_book.txt");
    EXPECT_TRUE(labbook.starts_with("_Session lab book file: labbook_")) << labbook;
    EXPECT_NE(labbook.find("\n_Started recording: "), std::string::npos) << labbook;
}

const ShortRecording shortRecordings[] = {
    {"DatOfFourChannels",
     "cedar",
     "VCEDAR01",
     "dat",
     "200k",
     100000,
     {"file.kdh", "file_000.dat", "file_lab_book.txt"}},
    {"AbfOfFourChannels",
     "cedar",
     "VCEDAR01",
     "abf",
     "200k",
     100000,
     {"file.kdh", "file_CH001_000.abf", "file_CH004_000.abf"}},
    {"DatOfThirtyTwoChannels", "dogwood32", "VDOGWOOD3201", "dat", "100k", 50000, {"file_000.dat"}},
    {"AbfOfParallelDevices",
     "cedar,cedar",
     "VCEDAR01,VCEDAR02",
     "abf",
     "50k",
     25000,
     {"file_CH001_000.abf", "file_CH008_000.abf"}},
};

INSTANTIATE_TEST_SUITE_P(Record, Records, ::testing::ValuesIn(shortRecordings),
                         [](const auto& info) { return std::string(info.param.name); });

// Every model, alone and with others of its kind as one device set: each device's current and gp
// words land in their own columns (current channels of every device first, then the gp channels
// of every device), frame by frame, and the header names every column with its unit.
struct ModelSet {
    const char* models;
    const char* format;
    int currents; // in all
    std::vector<const char*> gpNames;
};

void PrintTo(const ModelSet& c, std::ostream* os) {
    *os << c.models << " " << c.format;
}

class RecordsEveryModel : public ::testing::TestWithParam<ModelSet> {};

TEST_P(RecordsEveryModel, EveryWordOfEveryDeviceIsInItsColumn) {
    const ModelSet& c = GetParam();
    std::string ids, name = c.format;
    std::vector<std::string> models;
    for (std::string rest = c.models; !rest.empty();) {
        const size_t comma = rest.find(',');
        models.push_back(rest.substr(0, comma));
        rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
    }
    for (size_t d = 0; d < models.size(); d++) {
        std::string serial = "V";
        for (const char ch : models[d])
            serial += char(std::toupper(static_cast<unsigned char>(ch)));
        ids += (d ? "," : "") + serial + "0" + std::to_string(d + 1);
        name += "_" + models[d];
    }
    const std::string folder = records(name);
    const Outcome run = kv4test::runProgram(cli,
                                            {"--simulate", c.models, "record", ids, "--seconds", "0.3",
                                             "--format", c.format, "--out", folder, "--verify-pattern"},
                                            {});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const long long frames = figure(run.out, "recorded:");
    EXPECT_GT(frames, 0) << run.out;
    EXPECT_EQ(figure(run.out, "pattern:"), frames) << run.out;
    EXPECT_NE(run.out.find("contiguous"), std::string::npos) << run.out;

    const std::string header = kv4test::readFile(folder + "/file/file.kdh");
    EXPECT_NE(header.find("\nChannels: " + std::to_string(c.currents) + "\n"), std::string::npos) << header;
    std::string gps;
    for (const char* gp : c.gpNames)
        gps += std::string("; ") + gp + " \\[[^\\]]+\\]";
    EXPECT_TRUE(
        std::regex_search(header, std::regex("\nColumns: Ch1 \\[[^\\]]+\\](; Ch[0-9]+ \\[[^\\]]+\\]){" +
                                             std::to_string(c.currents - 1) + "}" + gps + "; V1 \\[mV\\]\n")))
        << header;
}

const ModelSet modelSets[] = {
    {"cedar", "dat", 4, {}},
    {"cedar1", "abf", 4, {}},
    {"elm", "dat", 1, {}},
    {"alder", "abf", 1, {}},
    {"birch", "dat", 2, {}},
    {"dogwood16", "abf", 16, {"Vref monitor"}},
    {"dogwood32", "dat", 32, {}},
    {"fir", "abf", 8, {"TTL out"}},
    {"cedar,cedar", "dat", 8, {}},
    {"elm,elm", "abf", 2, {}},
    {"dogwood16,dogwood16", "dat", 32, {"Vref monitor 1", "Vref monitor 2"}},
    {"dogwood16,dogwood16", "abf", 32, {"Vref monitor 1", "Vref monitor 2"}},
    {"dogwood32,dogwood32", "abf", 64, {}},
    {"fir,fir", "dat", 16, {"TTL out 1", "TTL out 2"}},
    {"fir,fir,fir", "abf", 24, {"TTL out 1", "TTL out 2", "TTL out 3"}},
};

INSTANTIATE_TEST_SUITE_P(Record, RecordsEveryModel, ::testing::ValuesIn(modelSets), [](const auto& info) {
    std::string name = std::string(info.param.models) + "_" + info.param.format;
    std::replace(name.begin(), name.end(), ',', '_');
    return name;
});

// Ctrl+C once frames are on disk: the files are finished and whole, and nothing was lost.
TEST(RecordInterrupted, CtrlCFinishesFilesThatReadBackWhole) {
    for (const char* format : {"dat", "abf"}) {
        SCOPED_TRACE(format);
        const std::string folder = records(std::string("interrupted_") + format);
        const fs::path data =
            folder + (format == std::string("dat") ? "/file/file_000.dat" : "/file/file_CH001_000.abf");
        kv4test::StartedProgram program(cli,
                                        {"--simulate", "cedar", "record", "VCEDAR01", "--seconds", "600",
                                         "--format", format, "--rate", "50k", "--out", folder,
                                         "--verify-pattern"},
                                        {});
        // The file shows frames within a second; the deadline only bounds a broken run.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        std::error_code error;
        const auto framesOnDisk = [&] {
            return format == std::string("dat") ? fs::file_size(data, error) / (5 * sizeof(float))
                                                : kav4cli::abfFrameCount(data.string());
        };
        while ((!fs::exists(data) || framesOnDisk() < 1000) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        program.signal(SIGINT);
        const Outcome run = program.wait();
        EXPECT_EQ(run.status, 0) << run.out << run.err;
        EXPECT_NE(run.out.find(", stopped by Ctrl+C\n"), std::string::npos) << run.out;
        const long long frames = figure(run.out, "recorded:");
        EXPECT_GT(frames, 0) << run.out;
        EXPECT_LT(frames, 600 * 50000LL) << run.out;
        EXPECT_EQ(figure(run.out, "pattern:"), frames) << run.out;
        EXPECT_NE(run.out.find("contiguous"), std::string::npos) << run.out;
    }
}

// Each fault of the virtual amplifier loses frames: the run says so in its status, and every
// gap in the files is marked with its size.
TEST(RecordWithFaults, EveryLossIsCountedMarkedAndExitsWithTheLostStatus) {
    for (const char* format : {"dat", "abf"}) {
        SCOPED_TRACE(format);
        const Outcome run =
            kv4test::runProgram(cli,
                                {"--simulate", "cedar", "record", "VCEDAR01", "--seconds", "4", "--format",
                                 format, "--rate", "50k", "--out", records(std::string("faults_") + format),
                                 "--verify-pattern", "--inject-faults", "0.6"},
                                {});
        EXPECT_EQ(run.status, 3) << run.out << run.err;
        const long long lost = figure(run.out, "frames lost:");
        EXPECT_GT(lost, 0) << run.out;
        EXPECT_GE(figure(run.out, "faults injected:"), 3) << run.out;
        // Each loss is told as it happens.
        EXPECT_TRUE(std::regex_search(
            run.err, std::regex("kav4-cli: [0-9]+ frames lost [0-9.]+ s into the recording\n")))
            << run.err;
        // The gaps the files show add up to the count, each marked.
        EXPECT_TRUE(std::regex_search(run.out,
                                      std::regex("pattern: [0-9]+ frames read back, " + std::to_string(lost) +
                                                 " frames lost in [0-9]+ gaps, each marked\n")))
            << run.out << run.err;
    }
}

// On a terminal the run shows its progress on a line it rewrites; on a file it does not (above).
TEST(RecordOnATerminal, ShowsElapsedTimeFramesMegabytesAndLosses) {
    const std::string home = std::getenv("HOME");
    std::vector<std::string> args = {cli,   "--simulate", "cedar", "record", "VCEDAR01",        "--seconds",
                                     "1.5", "--format",   "dat",   "--out",  home + "/terminal"};
    std::vector<std::string> env = {std::string("PATH=") + std::getenv("PATH"), "HOME=" + home};
    std::vector<char*> argp, envp;
    for (std::string& a : args)
        argp.push_back(a.data());
    for (std::string& e : env)
        envp.push_back(e.data());
    argp.push_back(nullptr);
    envp.push_back(nullptr);
    int terminal = -1;
    const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        execve(argp[0], argp.data(), envp.data());
        _exit(127);
    }
    // Read until the program's end closes the terminal.
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(terminal, buffer, sizeof buffer)) > 0;)
        text.append(buffer, size_t(n));
    close(terminal);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text;
    EXPECT_TRUE(std::regex_search(
        text, std::regex("\r +[0-9]+\\.[0-9] s / 1\\.5 s +[1-9][0-9]* frames +[0-9]+\\.[0-9] MB "
                         "+0 frames lost")))
        << text;
    EXPECT_NE(text.find("recorded: "), std::string::npos) << text;
}

} // namespace
