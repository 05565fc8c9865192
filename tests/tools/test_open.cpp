// kav4-cli open as a user runs it: a DAT recording that kav4-cli record made, a file of another
// program, and files it refuses. Each run works in the test's home.

#include "tests/tools/programrunner.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <string>

namespace {

using kv4test::Outcome;

const char* const cli = KAV4_CLI;

TEST(Open, ADatRecordingOfKav4CliRecordTellsItsChannelsRateAndFrames) {
    const std::string folder = std::string(std::getenv("HOME")) + "/open";
    const Outcome record = kv4test::runProgram(
        cli,
        {"--simulate", "cedar", "record", "VCEDAR01", "--seconds", "0.3", "--format", "dat", "--out", folder},
        {});
    ASSERT_EQ(record.status, 0) << record.out << record.err;
    std::smatch recorded;
    ASSERT_TRUE(std::regex_search(record.out, recorded, std::regex("recorded: ([0-9]+) frames")));

    const Outcome open = kv4test::runProgram(cli, {"open", folder + "/file/file_000.dat"}, {});
    EXPECT_EQ(open.status, 0) << open.err;
    EXPECT_EQ(open.err, "");
    // Cedar's default rate, 1.25 kHz by its label, is 1.25 MHz / 1024.
    EXPECT_TRUE(std::regex_search(open.out, std::regex("^format: DAT, 1 file\nstarted: 20[0-9-]+ [0-9:.]+\n"
                                                       "channels: 5\n  Ch1 \\[pA\\]\n  Ch2 \\[pA\\]\n"
                                                       "  Ch3 \\[pA\\]\n  Ch4 \\[pA\\]\n  V1 \\[mV\\]\n"
                                                       "rate: 1220.703125 Hz\nduration: [0-9.]+ s, " +
                                                       recorded[1].str() +
                                                       " frames\nsweeps: 1\ntags: 0\n"
                                                       "losses: 0, 0 frames lost\n$")))
        << open.out;
}

TEST(Open, AnEpisodicAbfFileOfAnotherProgramAndRefusedFiles) {
    const Outcome open = kv4test::runProgram(cli, {"open", KAV4_TEST_DATA "/2018_11_16_sh_0006.abf"}, {});
    EXPECT_EQ(open.status, 0) << open.err;
    // Sixty sweeps are too many to list; the tag's time counts in the file's synch time unit.
    EXPECT_EQ(open.out, "format: ABF, 1 file\nstarted: 2018-11-16 16:57:14.512\nchannels: 1\n  IN 0 [pA]\n"
                        "rate: 20000 Hz\nduration: 6 s, 120000 frames\nsweeps: 60\ntags: 1\n"
                        "  at 180.378 s (frame 3607552): +drug at 3min\nlosses: 0, 0 frames lost\n");
    // Ten sweeps are listed with their starts.
    const Outcome tenSweeps = kv4test::runProgram(cli, {"open", KAV4_TEST_DATA "/2018_12_15_0000.abf"}, {});
    EXPECT_NE(tenSweeps.out.find("\nsweeps: 10\n  at 0 s, 2000 frames\n  at 0.2 s, 2000 frames\n"),
              std::string::npos)
        << tenSweeps.out;

    const std::string old = std::string(std::getenv("HOME")) + "/old.abf";
    std::ofstream(old) << "ABF " << std::string(2000, '\0');
    const struct {
        std::vector<std::string> args;
        int status;
        std::string err; // its start
    } refused[] = {
        {{"open", old},
         1,
         "kav4-cli: old.abf: truncated: 2004 bytes, where the ABF version 1 header alone takes 2048\n"},
        {{"open", old + ".missing"}, 1, "kav4-cli: " + old + ".missing: no such file\n"},
        {{"open"}, 2, "kav4-cli: open needs one FILE\nusage:"}};
    for (const auto& c : refused) {
        const Outcome run = kv4test::runProgram(cli, c.args, {});
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_TRUE(run.err.starts_with(c.err)) << run.err;
    }
}

} // namespace
