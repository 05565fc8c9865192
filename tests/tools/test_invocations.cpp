// The programs as a user starts them from a shell (programrunner.h): exit codes, what goes to
// standard output and what to standard error.

#include "tests/tools/programrunner.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

using kv4test::Outcome;
using kv4test::readFile;
using kv4test::runProgram;

struct Invocation {
    const char* name;
    const char* program;
    std::vector<std::string> args;
    std::vector<std::string> env;
    int status;
    // Patterns that standard output and standard error must contain; "^$" means empty.
    const char* out;
    const char* err;
};

void PrintTo(const Invocation& c, std::ostream* os) {
    *os << c.name;
}

const char* const cli = KAV4_CLI;
const char* const app = KAV4_APP;
const char* const screenshot = KAV4_SCREENSHOT;
const std::string cliUsage = "usage: kav4-cli \\[--simulate";
const std::vector<std::string> offscreen = {"QT_QPA_PLATFORM=offscreen"};

std::vector<std::string> streamCedar(std::vector<std::string> options) {
    std::vector<std::string> args = {"--simulate", "cedar", "stream", "VCEDAR01", "--seconds", "1"};
    args.insert(args.end(), options.begin(), options.end());
    return args;
}

std::vector<std::string> recordCedar(std::vector<std::string> options) {
    std::vector<std::string> args = {"--simulate", "cedar", "record", "VCEDAR01", "--seconds", "1"};
    args.insert(args.end(), options.begin(), options.end());
    return args;
}

std::vector<std::string> streamSeconds(const std::string& seconds) {
    return {"--simulate", "cedar", "stream", "VCEDAR01", "--seconds", seconds};
}
const char* const secondsRange = "^kav4-cli: --seconds must be a number from 0\\.1 to 86400\nusage: kav4-cli";

const std::vector<Invocation> invocations = {
    // Asked for help or given nothing to do.
    {"CliHelp", cli, {"--help"}, {}, 0, "^usage: kav4-cli", "^$"},
    {"CliNoCommand", cli, {}, {}, 2, "^$", "^usage: kav4-cli"},
    // Mistyped: the mistake, then the usage.
    {"CliUnknownCommand",
     cli,
     {"--simulate", "cedar", "bogus"},
     {},
     2,
     "^$",
     "^kav4-cli: unknown command: bogus\nusage: kav4-cli"},
    {"CliInfoWithoutId",
     cli,
     {"--simulate", "cedar", "info"},
     {},
     2,
     "^$",
     "^kav4-cli: info needs one ID\nusage: kav4-cli"},
    {"CliListWithAnArgument",
     cli,
     {"list", "VCEDAR01"},
     {},
     2,
     "^$",
     "^kav4-cli: list takes no argument\nusage: kav4-cli"},
    {"CliStreamWithoutSeconds",
     cli,
     {"--simulate", "cedar", "stream", "VCEDAR01"},
     {},
     2,
     "^$",
     "^kav4-cli: stream needs --seconds S\nusage: kav4-cli"},
    {"CliStreamWithoutId",
     cli,
     {"--simulate", "cedar", "stream", "--seconds", "1"},
     {},
     2,
     "^$",
     "^kav4-cli: stream needs one ID\\[,ID\\.\\.\\.\\]\nusage: kav4-cli"},
    // Durations that are no number, or none a stream can last: the valid range, then the usage.
    {"CliSecondsNotANumber", cli, streamSeconds("x"), {}, 2, "^$", secondsRange},
    {"CliSecondsInfinite", cli, streamSeconds("inf"), {}, 2, "^$", secondsRange},
    {"CliSecondsNaN", cli, streamSeconds("nan"), {}, 2, "^$", secondsRange},
    {"CliSecondsTiny", cli, streamSeconds("1e-300"), {}, 2, "^$", secondsRange},
    {"CliSecondsZero", cli, streamSeconds("0"), {}, 2, "^$", secondsRange},
    {"CliSecondsNegative", cli, streamSeconds("-5"), {}, 2, "^$", secondsRange},
    {"CliSecondsCenturies", cli, streamSeconds("1e10"), {}, 2, "^$", secondsRange},
    {"CliSecondsWithTrailingText", cli, streamSeconds("2s"), {}, 2, "^$", secondsRange},
    // Options stream does not have, wherever they stand, and known ones without their value.
    {"CliStreamUnknownOption",
     cli,
     streamCedar({"--bogus", "3"}),
     {},
     2,
     "^$",
     "^kav4-cli: unknown option: --bogus\nusage: kav4-cli"},
    {"CliStreamUnknownShortOption",
     cli,
     streamCedar({"-x"}),
     {},
     2,
     "^$",
     "^kav4-cli: unknown option: -x\nusage: kav4-cli"},
    {"CliStreamUnknownOptionBeforeTheId",
     cli,
     {"--simulate", "cedar", "stream", "--verbose", "VCEDAR01", "--seconds", "1"},
     {},
     2,
     "^$",
     "^kav4-cli: unknown option: --verbose\nusage: kav4-cli"},
    {"CliStreamOptionWithoutValue",
     cli,
     streamCedar({"--rate"}),
     {},
     2,
     "^$",
     "^kav4-cli: --rate needs a value\nusage: kav4-cli"},
    // Empty values, an empty or repeated id, a parameter without its name: each said as it is.
    {"CliStreamEmptyRate",
     cli,
     streamCedar({"--rate="}),
     {},
     2,
     "^$",
     "^kav4-cli: --rate needs a value\nusage: kav4-cli"},
    {"CliStreamEmptyRange",
     cli,
     streamCedar({"--range="}),
     {},
     2,
     "^$",
     "^kav4-cli: --range needs a value\nusage: kav4-cli"},
    {"CliStreamEmptyProtocol",
     cli,
     streamCedar({"--protocol="}),
     {},
     2,
     "^$",
     "^kav4-cli: --protocol needs a value\nusage: kav4-cli"},
    {"CliStreamNoId",
     cli,
     {"--simulate", "cedar", "stream", ",", "--seconds", "1"},
     {},
     2,
     "^$",
     "^kav4-cli: no device id in \",\"\nusage: kav4-cli"},
    {"CliRecordIdTwice",
     cli,
     {"--simulate", "cedar,cedar", "record", "VCEDAR01,VCEDAR02,VCEDAR01", "--seconds", "1", "--format",
      "dat", "--out", "records"},
     {},
     2,
     "^$",
     "^kav4-cli: device VCEDAR01 is given twice\nusage: kav4-cli"},
    {"CliStreamParameterWithoutName",
     cli,
     streamCedar({"--param", "=5"}),
     {},
     2,
     "^$",
     "^kav4-cli: --param needs NAME=VALUE: no name before \"=\" in \"=5\"\nusage: kav4-cli"},
    {"CliUnknownModel",
     cli,
     {"--simulate", "nosuch", "list"},
     {},
     2,
     "^$",
     "^kav4-cli: unknown model \"nosuch\" to simulate; known models: cedar, "},
    // Recordings asked for without what they need, or with what they cannot take.
    {"CliRecordWithoutFormat",
     cli,
     recordCedar({"--out", "records"}),
     {},
     2,
     "^$",
     "^kav4-cli: record needs --format dat or --format abf\nusage: kav4-cli"},
    {"CliRecordUnknownFormat",
     cli,
     recordCedar({"--format", "csv", "--out", "records"}),
     {},
     2,
     "^$",
     "^kav4-cli: record needs --format dat or --format abf\nusage: kav4-cli"},
    {"CliRecordWithoutFolder",
     cli,
     recordCedar({"--format", "dat"}),
     {},
     2,
     "^$",
     "^kav4-cli: record needs --out DIR\nusage: kav4-cli"},
    {"CliRecordFolderWithoutValue",
     cli,
     recordCedar({"--format", "dat", "--out"}),
     {},
     2,
     "^$",
     "^kav4-cli: --out needs a value\nusage: kav4-cli"},
    {"CliRecordWithoutSeconds",
     cli,
     {"--simulate", "cedar", "record", "VCEDAR01", "--format", "dat", "--out", "records"},
     {},
     2,
     "^$",
     "^kav4-cli: record needs --seconds S\nusage: kav4-cli"},
    {"CliRecordFaultsAtNoNumberOfSeconds",
     cli,
     recordCedar({"--format", "dat", "--out", "records", "--inject-faults", "often"}),
     {},
     2,
     "^$",
     "^kav4-cli: --inject-faults must be a number of seconds from 0\\.1 to 86400\nusage: kav4-cli"},
    {"CliRecordIntoAFile",
     cli,
     recordCedar({"--format", "dat", "--out", "/dev/null"}),
     {},
     1,
     "^$",
     "^kav4-cli: cannot make the folder /dev/null\n$"},
    {"CliStreamDoesNotRecord",
     cli,
     streamCedar({"--verify-pattern"}),
     {},
     2,
     "^$",
     "^kav4-cli: stream does not record: --format, --out, --inject-faults and --verify-pattern are "
     "record's\n"},
    {"CliPatternNeedsVirtualAmplifiers",
     cli,
     {"--simulate", "cedar", "record", "Elm Demo", "--seconds", "1", "--format", "dat", "--out", "records",
      "--verify-pattern"},
     {},
     1,
     "^$",
     "^kav4-cli: --verify-pattern needs virtual amplifiers; Elm Demo is not one\n$"},
    // Ids and values the devices do not have: what there is to choose from.
    {"CliUnknownIdInInfo",
     cli,
     {"--simulate", "cedar", "info", "NOPE"},
     {},
     1,
     "^$",
     "^kav4-cli: no such device: NOPE\n$"},
    {"CliUnknownIdAmongStreamIds",
     cli,
     {"--simulate", "cedar", "stream", "VCEDAR01,NOPE", "--seconds", "1"},
     {},
     1,
     "^$",
     "^kav4-cli: no such device: NOPE\n$"},
    {"CliIdWithoutAnyDevice",
     cli,
     {"info", "VCEDAR01"},
     {},
     1,
     "^$",
     "^kav4-cli: no such device: VCEDAR01\n$"},
    {"CliUnknownRate",
     cli,
     streamCedar({"--rate", "7k"}),
     {},
     1,
     "^$",
     "^kav4-cli: no sampling rate 7k; choose one of: 1\\.25 kHz, 5 kHz, 10 kHz, 20 kHz, 50 kHz, 100 kHz, "
     "200 kHz\n$"},
    {"CliUnknownProtocolName",
     cli,
     streamCedar({"--protocol", "Sine"}),
     {},
     1,
     "^$",
     "^kav4-cli: no protocol Sine; choose one of: 0 \"Constant\", 1 \"Triangular\", 2 \"Square wave\", "
     "3 \"Conductance\", 4 \"Variable Amplitude\", 5 \"Variable Duration\", 6 \"Ramp\", "
     "7 \"Cyclic Voltammetry\"\n$"},
    {"CliProtocolIndexPastTheList",
     cli,
     streamCedar({"--protocol", "8"}),
     {},
     1,
     "^$",
     "^kav4-cli: no protocol 8; choose one of: 0 \"Constant\", .*, 7 \"Cyclic Voltammetry\"\n$"},
    {"CliUnknownRange",
     cli,
     streamCedar({"--range", "3n"}),
     {},
     1,
     "^$",
     "^kav4-cli: no current range 3n; choose one of: 200 pA, 2 nA, 20 nA, 200 nA\n$"},
    {"CliInvalidProtocolParameter",
     cli,
     streamCedar({"--param", "Vhold=600"}),
     {},
     1,
     "^$",
     "^kav4-cli: Vhold must be within \\[-500,500\\]mV: Invalid protocol parameters \\(0x40006\\)\n$"},
    // Results alone on standard output; no progress when standard error is not a terminal.
    {"CliListWithoutDevices", cli, {"list"}, {}, 0, "^Device id +Version +Subversion +Firmware\n$", "^$"},
    {"CliStreamReportsFramesAndChannels",
     cli,
     streamCedar({"--rate", "10k", "--range", "2n", "--protocol", "Square wave", "--param", "Vpulse=20"}),
     {},
     0,
     "^frames: [1-9][0-9]+ received(.|\n)*\nI4 +-?[0-9.e-]+ [fpnµm]?A",
     "^$"},
    // The window programs: help needs no display; without one they say so and fail.
    {"AppHelp", app, {"--help"}, {}, 0, "^usage: kav4 \\[--simulate", "^$"},
    {"AppWithoutDisplay", app, {"--simulate", "cedar"}, {}, 2, "^$", "^kav4: no display"},
    {"AppPlatformGivenOnTheCommandLine",
     app,
     {"-platform", "offscreen", "--simulate", "nosuch"},
     {},
     2,
     "",
     "kav4: unknown model \"nosuch\""},
    {"AppPlatformGivenInTheEnvironment",
     app,
     {"--simulate", "nosuch"},
     offscreen,
     2,
     "",
     "kav4: unknown model \"nosuch\""},
    {"ScreenshotWithoutDisplay",
     screenshot,
     {"--simulate", "cedar", "shot.png"},
     {},
     2,
     "^$",
     "^kav4-screenshot: no display"},
    {"ScreenshotPlatformGivenInTheEnvironment",
     screenshot,
     {"--simulate", "cedar"},
     offscreen,
     2,
     "",
     "kav4-screenshot: no output file given"},
    {"ScreenshotWaitsNoEndlessTime",
     screenshot,
     {"--simulate", "cedar", "--seconds", "inf", "shot.png"},
     offscreen,
     2,
     "",
     "kav4-screenshot: --seconds wants a number of seconds from 0 to 86400"},
    {"ScreenshotRaisesOnlyADockTheModelHas",
     screenshot,
     {"--simulate", "cedar", "--raise", "Voltage offsets", "--seconds", "0", "shot.png"},
     offscreen,
     2,
     "",
     "kav4-screenshot: no dock \"Voltage offsets\""},
};

class Invocations : public ::testing::TestWithParam<Invocation> {};

TEST_P(Invocations, ExitCodeAndOutputs) {
    const Invocation& c = GetParam();
    const Outcome outcome = runProgram(c.program, c.args, c.env);
    EXPECT_EQ(outcome.status, c.status) << "stderr: " << outcome.err;
    EXPECT_TRUE(std::regex_search(outcome.out, std::regex(c.out))) << "stdout: " << outcome.out;
    EXPECT_TRUE(std::regex_search(outcome.err, std::regex(c.err))) << "stderr: " << outcome.err;
}

INSTANTIATE_TEST_SUITE_P(Programs, Invocations, ::testing::ValuesIn(invocations),
                         [](const auto& info) { return std::string(info.param.name); });

// The list that `make run` starts with, as the Makefile sets it.
std::string makeRunSimulation() {
    std::istringstream makefile(readFile(MAKEFILE));
    const std::regex assignment("^SIMULATE \\?= *(\\S+)");
    std::smatch match;
    for (std::string line; std::getline(makefile, line);)
        if (std::regex_search(line, match, assignment)) return match[1];
    return {};
}

// Every entry of the device list that `make run` shows connects in the window: each device,
// and "All" when there are several.
TEST(MakeRun, EveryDeviceEntryConnects) {
    const std::string models = makeRunSimulation();
    ASSERT_FALSE(models.empty()) << "no SIMULATE default in the Makefile";
    const Outcome list = runProgram(cli, {"--simulate", models, "list"}, {});
    ASSERT_EQ(list.status, 0) << list.err;
    std::vector<std::string> entries;
    std::istringstream rows(list.out);
    std::string row;
    std::getline(rows, row); // the header
    while (rows >> row) {
        entries.push_back(row);
        std::getline(rows, row);
    }
    ASSERT_FALSE(entries.empty());
    if (entries.size() > 1) entries.push_back("All");
    const std::string shot = std::string(std::getenv("HOME")) + "/shot.png";
    for (const std::string& entry : entries) {
        const Outcome run = runProgram(
            screenshot, {"--simulate", models, "--device", entry, "--seconds", "0", shot}, offscreen);
        EXPECT_EQ(run.status, 0) << entry << ": " << run.err;
    }
}

} // namespace
