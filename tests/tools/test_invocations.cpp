// The programs as a user starts them from a shell (programrunner.h): exit codes, what goes to
// standard output and what to standard error.

#include "tests/tools/programrunner.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

using kv4test::Outcome;
using kv4test::runProgram;

struct Invocation {
    Invocation(const char* name, const char* program, std::vector<std::string> args,
               std::vector<std::string> env, int status, std::string out, std::string err)
        : name(name), program(program), args(std::move(args)), env(std::move(env)), status(status),
          out(std::move(out)), err(std::move(err)) {}
    const char* name;
    const char* program;
    std::vector<std::string> args;
    std::vector<std::string> env;
    int status;
    // Patterns that standard output and standard error must contain; "^$" means empty.
    std::string out, err;
};

const char* const cli = KAV4_CLI;
const char* const app = KAV4_APP;
const char* const screenshot = KAV4_SCREENSHOT;
const std::vector<std::string> offscreen = {"QT_QPA_PLATFORM=offscreen"};

// A command line kav4-cli cannot run as typed: the mistake, then the usage, and status 2.
Invocation mistake(const char* name, std::vector<std::string> args, const std::string& message) {
    return Invocation(name, cli, std::move(args), {}, 2, "^$", "^kav4-cli: " + message + "\nusage: kav4-cli");
}
// A command line kav4-cli understands but the devices refuse: the reason alone, and status 1.
Invocation refusal(const char* name, std::vector<std::string> args, const std::string& message) {
    return Invocation(name, cli, std::move(args), {}, 1, "^$", "^kav4-cli: " + message + "\n$");
}

std::vector<std::string> cedar(const char* command, std::vector<std::string> options) {
    std::vector<std::string> args = {"--simulate", "cedar", command, "VCEDAR01", "--seconds", "1"};
    args.insert(args.end(), options.begin(), options.end());
    return args;
}

const std::vector<Invocation> invocations = {
    // Asked for help or given nothing to do.
    Invocation("CliHelp", cli, {"--help"}, {}, 0, "^usage: kav4-cli", "^$"),
    Invocation("CliNoCommand", cli, {}, {}, 2, "^$", "^usage: kav4-cli"),
    mistake("CliUnknownCommand", {"--simulate", "cedar", "bogus"}, "unknown command: bogus"),
    mistake("CliInfoWithoutId", {"--simulate", "cedar", "info"}, "info needs one ID"),
    mistake("CliListWithAnArgument", {"list", "VCEDAR01"}, "list takes no argument"),
    mistake("CliStreamWithoutSeconds", {"--simulate", "cedar", "stream", "VCEDAR01"},
            "stream needs --seconds S"),
    // What makes a duration valid is parseSeconds' (test_clisupport): here, that it is said.
    mistake("CliSecondsNotANumber", {"--simulate", "cedar", "stream", "VCEDAR01", "--seconds", "x"},
            "--seconds must be a number from 0\\.1 to 86400"),
    // Options stream does not have, wherever they stand, and known ones without their value.
    mistake("CliStreamUnknownOption", cedar("stream", {"--bogus", "3"}), "unknown option: --bogus"),
    mistake("CliStreamOptionWithoutValue", cedar("stream", {"--rate"}), "--rate needs a value"),
    // Empty values, an empty or repeated id, a parameter without its name: each said as it is.
    mistake("CliStreamEmptyRate", cedar("stream", {"--rate="}), "--rate needs a value"),
    mistake("CliStreamNoId", {"--simulate", "cedar", "stream", ",", "--seconds", "1"},
            "no device id in \",\""),
    mistake("CliRecordIdTwice",
            {"--simulate", "cedar,cedar", "record", "VCEDAR01,VCEDAR02,VCEDAR01", "--seconds", "1",
             "--format", "dat", "--out", "records"},
            "device VCEDAR01 is given twice"),
    mistake("CliStreamParameterWithoutName", cedar("stream", {"--param", "=5"}),
            "--param needs NAME=VALUE: no name before \"=\" in \"=5\""),
    Invocation("CliUnknownModel", cli, {"--simulate", "nosuch", "list"}, {}, 2, "^$",
               "^kav4-cli: unknown model \"nosuch\" to simulate; known models: cedar, "),
    // Recordings asked for without what they need, or with what they cannot take.
    mistake("CliRecordWithoutFormat", cedar("record", {"--out", "records"}),
            "record needs --format dat or --format abf"),
    mistake("CliRecordWithoutFolder", cedar("record", {"--format", "dat"}), "record needs --out DIR"),
    mistake("CliRecordWithoutSeconds",
            {"--simulate", "cedar", "record", "VCEDAR01", "--format", "dat", "--out", "records"},
            "record needs --seconds S"),
    mistake("CliRecordFaultsAtNoNumberOfSeconds",
            cedar("record", {"--format", "dat", "--out", "records", "--inject-faults", "often"}),
            "--inject-faults must be a number of seconds from 0\\.1 to 86400"),
    refusal("CliRecordIntoAFile", cedar("record", {"--format", "dat", "--out", "/dev/null"}),
            "cannot make the folder /dev/null"),
    Invocation("CliStreamDoesNotRecord", cli, cedar("stream", {"--verify-pattern"}), {}, 2, "^$",
               "^kav4-cli: stream does not record: --format, --out, --inject-faults and --verify-pattern are "
               "record's\n"),
    refusal("CliPatternNeedsVirtualAmplifiers",
            {"--simulate", "cedar", "record", "Elm Demo", "--seconds", "1", "--format", "dat", "--out",
             "records", "--verify-pattern"},
            "--verify-pattern needs virtual amplifiers; Elm Demo is not one"),
    // Ids and values the devices do not have: what there is to choose from.
    refusal("CliUnknownIdAmongStreamIds",
            {"--simulate", "cedar", "stream", "VCEDAR01,NOPE", "--seconds", "1"}, "no such device: NOPE"),
    refusal("CliIdWithoutAnyDevice", {"info", "VCEDAR01"}, "no such device: VCEDAR01"),
    refusal(
        "CliUnknownRate", cedar("stream", {"--rate", "7k"}),
        "no sampling rate 7k; choose one of: 1\\.25 kHz, 5 kHz, 10 kHz, 20 kHz, 50 kHz, 100 kHz, 200 kHz"),
    refusal("CliUnknownProtocolName", cedar("stream", {"--protocol", "Sine"}),
            "no protocol Sine; choose one of: 0 \"Constant\", 1 \"Triangular\", 2 \"Square wave\", "
            "3 \"Conductance\", 4 \"Variable Amplitude\", 5 \"Variable Duration\", 6 \"Ramp\", "
            "7 \"Cyclic Voltammetry\""),
    refusal("CliUnknownRange", cedar("stream", {"--range", "3n"}),
            "no current range 3n; choose one of: 200 pA, 2 nA, 20 nA, 200 nA"),
    refusal("CliInvalidProtocolParameter", cedar("stream", {"--param", "Vhold=600"}),
            "Vhold must be within \\[-500,500\\]mV: Invalid protocol parameters \\(0x40006\\)"),
    // Results alone on standard output; no progress when standard error is not a terminal.
    Invocation("CliListWithoutDevices", cli, {"list"}, {}, 0, "^Device id +Version +Subversion +Firmware\n$",
               "^$"),
    Invocation("CliStreamReportsFramesAndChannels", cli,
               cedar("stream",
                     {"--rate", "10k", "--range", "2n", "--protocol", "Square wave", "--param", "Vpulse=20"}),
               {}, 0, "^frames: [1-9][0-9]+ received(.|\n)*\nI4 +-?[0-9.e-]+ [fpnµm]?A", "^$"),
    // The window programs: help needs no display; without one they say so and fail.
    Invocation("AppHelp", app, {"--help"}, {}, 0, "^usage: kav4 \\[--simulate", "^$"),
    Invocation("AppWithoutDisplay", app, {"--simulate", "cedar"}, {}, 2, "^$", "^kav4: no display"),
    Invocation("AppPlatformGivenInTheEnvironment", app, {"--simulate", "nosuch"}, offscreen, 2, "",
               "kav4: unknown model \"nosuch\""),
    Invocation("ScreenshotWithoutDisplay", screenshot, {"--simulate", "cedar", "shot.png"}, {}, 2, "^$",
               "^kav4-screenshot: no display"),
    Invocation("ScreenshotPlatformGivenInTheEnvironment", screenshot, {"--simulate", "cedar"}, offscreen, 2,
               "", "kav4-screenshot: no output file given"),
    Invocation("ScreenshotWaitsNoEndlessTime", screenshot,
               {"--simulate", "cedar", "--seconds", "inf", "shot.png"}, offscreen, 2, "",
               "kav4-screenshot: --seconds wants a number of seconds from 0 to 86400"),
    Invocation("ScreenshotRaisesOnlyADockTheModelHas", screenshot,
               {"--simulate", "cedar", "--raise", "Voltage offsets", "--seconds", "0", "shot.png"}, offscreen,
               2, "", "kav4-screenshot: no dock \"Voltage offsets\""),
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

} // namespace
