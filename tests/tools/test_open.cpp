// kav4-cli open and analyse as a user runs them: a DAT recording of a virtual cell whose noise and
// sine are known, made by kav4-cli record, opened and analysed over a stretch of it (the noise
// report, histogram and spectrum in the CSV checked against the cell); a file of another program;
// and commands and files they refuse. Each run works in the test's home.

#include "tests/tools/programrunner.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

using kv4test::Outcome;

const char* const cli = KAV4_CLI;

struct Refusal {
    std::vector<std::string> args;
    int status;
    std::string err; // its start
};

void expectRefused(const std::vector<Refusal>& refused) {
    for (const Refusal& c : refused) {
        const Outcome run = kv4test::runProgram(cli, c.args, {});
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_TRUE(run.err.starts_with(c.err)) << run.err;
    }
}

// The CSV's lines, each split at its commas (nothing in these files is quoted).
std::vector<std::vector<std::string>> csvRows(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> fields;
        std::istringstream split(line);
        for (std::string field; std::getline(split, field, ',');)
            fields.push_back(field);
        rows.push_back(fields);
    }
    return rows;
}

TEST(OpenAndAnalyse, ARecordingOfACellTellsItsChannelsRateAndFramesAndItsAnalysesAreTheCells) {
    const std::string home = std::getenv("HOME");
    // White noise of 5 pA RMS and a 3 pA sine at 1 kHz, no channel openings, no reset glitch, at
    // 0 mV: the mean current is 0 and its standard deviation sqrt(5² + 3²/2) pA.
    const Outcome record =
        kv4test::runProgram(cli,
                            {"--simulate", "cedar", "record", "VCEDAR01", "--seconds", "2", "--rate", "20k",
                             "--format", "dat", "--out", home + "/analyse"},
                            {"KAV4_SIMULATE_CELL=g=0,noise=5p,artefact=0,sine=3p,sineHz=1k"});
    ASSERT_EQ(record.status, 0) << record.out << record.err;
    std::smatch recorded;
    ASSERT_TRUE(std::regex_search(record.out, recorded, std::regex("recorded: ([0-9]+) frames")));
    const std::string file = home + "/analyse/file/file.kdh";

    const Outcome open = kv4test::runProgram(cli, {"open", home + "/analyse/file/file_000.dat"}, {});
    EXPECT_EQ(open.status, 0) << open.err;
    EXPECT_EQ(open.err, "");
    // The real rate of 20 kHz is 1.25 MHz / 64.
    EXPECT_TRUE(std::regex_search(open.out, std::regex("^format: DAT, 1 file\nstarted: 20[0-9-]+ [0-9:.]+\n"
                                                       "channels: 5\n  Ch1 \\[pA\\]\n  Ch2 \\[pA\\]\n"
                                                       "  Ch3 \\[pA\\]\n  Ch4 \\[pA\\]\n  V1 \\[mV\\]\n"
                                                       "rate: 19531.25 Hz\nduration: [0-9.]+ s, " +
                                                       recorded[1].str() +
                                                       " frames\nsweeps: 1\ntags: 0\n"
                                                       "losses: 0, 0 frames lost\n$")))
        << open.out;

    const std::string csv = home + "/analysis.csv";
    const Outcome run =
        kv4test::runProgram(cli,
                            {"analyse", file, "--noise", "--spectrum", "--histogram", "--channel", "3",
                             "--integration", "1", "--from", "0.5", "--to", "1.8", "--csv", csv},
                            {});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.err, "");
    const double rate = 19531.25;
    const long long frames = std::llround(1.8 * rate) - std::llround(0.5 * rate);
    EXPECT_TRUE(run.out.starts_with("analysed: " + std::to_string(frames) + " frames (")) << run.out;

    const auto rows = csvRows(kv4test::readFile(csv));
    ASSERT_GE(rows.size(), 8u + 3 + 200 + 3 + 256);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"Analysis:", "Noise Report"}));
    EXPECT_EQ(rows[1], (std::vector<std::string>{"Channel", "Mean voltage [mV]", "Voltage std [mV]"}));
    EXPECT_EQ(rows[2], (std::vector<std::string>{"1", "0", "0"}));
    EXPECT_EQ(rows[3], (std::vector<std::string>{"Channel", "Mean current [pA]", "Current std [pA]"}));
    // Over half a second, 9766 samples: the mean within 10 standard errors, the deviation within 5%.
    const double deviation = std::sqrt(25.0 + 4.5);
    for (int c = 0; c < 4; c++) {
        const auto& row = rows[size_t(4 + c)];
        ASSERT_EQ(row.size(), 3u);
        EXPECT_EQ(row[0], std::to_string(c + 1));
        EXPECT_NEAR(std::stod(row[1]), 0.0, 10 * deviation / std::sqrt(9766.0)) << "channel " << c + 1;
        EXPECT_NEAR(std::stod(row[2]), deviation, 0.05 * deviation) << "channel " << c + 1;
    }

    // The histogram of the channel asked for alone: 200 bins over its ±200 pA range, holding
    // whole half seconds of the stretch, of the cell's mean and deviation.
    EXPECT_EQ(rows[8], (std::vector<std::string>{"Analysis:", "Histogram - channel 3"}));
    EXPECT_EQ(rows[9], (std::vector<std::string>{"Channel:", "3"}));
    EXPECT_EQ(rows[10], (std::vector<std::string>{"Current [pA]", "Samples"}));
    double samples = 0.0, sum = 0.0, squares = 0.0;
    for (size_t i = 11; i < 211; i++) {
        ASSERT_EQ(rows[i].size(), 2u) << i;
        const double middle = std::stod(rows[i][0]), count = std::stod(rows[i][1]);
        ASSERT_NEAR(middle, -199.0 + 2.0 * double(i - 11), 0.05) << i;
        samples += count, sum += count * middle, squares += count * middle * middle;
    }
    EXPECT_GE(samples, std::llround(0.5 * rate));
    EXPECT_LE(samples, frames);
    EXPECT_NEAR(sum / samples, 0.0, 10 * deviation / std::sqrt(samples));
    // Bins 2 pA wide add 2² / 12 to the variance.
    EXPECT_NEAR(std::sqrt(squares / samples - (sum / samples) * (sum / samples)),
                std::sqrt(deviation * deviation + 4.0 / 12), 0.05 * deviation);

    // The spectrum, from the first bin above 0 Hz to half the rate: away from the line, the white
    // noise's density 5² / (rate / 2); the bins about the line hold the sine's power, 3² / 2,
    // above it.
    EXPECT_EQ(rows[211], (std::vector<std::string>{"Analysis:", "Spectrum - channel 3"}));
    EXPECT_EQ(rows[212], (std::vector<std::string>{"Current Channel:", "3"}));
    EXPECT_EQ(rows[213], (std::vector<std::string>{"Frequency [Hz]", "Current Squared Module [pA²/Hz]"}));
    ASSERT_EQ(rows.size() - 214, 256u);
    const double step = rate / 512, white = 25.0 / (rate / 2);
    double whiteSum = 0.0, line = 0.0;
    int whiteBins = 0;
    for (size_t i = 214; i < rows.size(); i++) {
        ASSERT_EQ(rows[i].size(), 2u) << i;
        const double f = std::stod(rows[i][0]), density = std::stod(rows[i][1]);
        ASSERT_NEAR(f, double(i - 213) * step, 1e-6);
        if (std::abs(f - 1000.0) < 5 * step) {
            line += (density - white) * step;
        } else {
            whiteSum += density;
            whiteBins++;
        }
    }
    EXPECT_NEAR(whiteSum / whiteBins, white, 0.1 * white);
    EXPECT_NEAR(line, 4.5, 0.1 * 4.5);

    // Refused: a channel the recording does not have, a stretch too short for a spectrum, a file
    // that is no recording, and command lines that cannot run.
    expectRefused({
        {{"analyse", file, "--spectrum", "--channel", "5", "--csv", csv},
         1,
         "kav4-cli: no current channel 5 in the recording; it has 4\n"},
        {{"analyse", file, "--spectrum", "--to", "0.5", "--csv", csv},
         1,
         "kav4-cli: no spectrum of channel 1: no whole average of 2 s in the 0.5"},
        {{"analyse", file, "--noise", "--from", "3", "--csv", csv}, 1, "kav4-cli: the recording lasts 2"},
        {{"analyse", csv, "--noise", "--csv", csv}, 1, "kav4-cli: analysis.csv: "},
        {{"analyse", file, "--noise"}, 2, "kav4-cli: analyse needs --csv OUT\nusage:"},
        {{"analyse", file, "--iv", "--transient", "-1", "--csv", csv},
         2,
         "kav4-cli: --transient must be a number from 0 to 10000\n"},
        {{"analyse", file, "--csv", csv},
         2,
         "kav4-cli: analyse needs --noise, --spectrum, --histogram, --events or --iv\n"},
        {{"analyse", file, "--spectrum", "--fft-bins", "1000", "--csv", csv},
         2,
         "kav4-cli: --fft-bins must be a power of two from 512 to 32768\n"},
    });
}

// Voltage steps of 100 to 190 mV from 0 on a cell of 2 GOhm behind 10 MOhm, without channel
// openings: the I-V points lie on I = V / 2.01 GOhm, and the line fitted through them says so.
TEST(OpenAndAnalyse, TheIvGraphOfAStepProtocolIsTheCellsConductance) {
    const std::string home = std::getenv("HOME");
    const Outcome record =
        kv4test::runProgram(cli,
                            {"--simulate", "cedar", "record", "VCEDAR01", "--seconds", "4", "--protocol",
                             "Variable Amplitude", "--format", "dat", "--out", home + "/iv"},
                            {"KAV4_SIMULATE_CELL=Rm=2G,Rs=10M,g=0,noise=1p,artefact=0"});
    ASSERT_EQ(record.status, 0) << record.out << record.err;
    const std::string csv = home + "/iv.csv";
    const Outcome run = kv4test::runProgram(
        cli,
        {"analyse", home + "/iv/file/file.kdh", "--iv", "--channel", "2", "--transient", "5", "--csv", csv},
        {});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const auto rows = csvRows(kv4test::readFile(csv));
    ASSERT_GE(rows.size(), 6u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"Analysis:", "I/V Graph - channel 2"}));
    EXPECT_EQ(rows[1], (std::vector<std::string>{"Channel:", "2"}));
    EXPECT_EQ(rows[2], (std::vector<std::string>{"Series 1"})); // and an empty field
    EXPECT_EQ(rows[3], (std::vector<std::string>{"Voltage [mV]", "Current [pA]"}));
    const double conductance = 1e12 / 2.01e9; // pS: pA per V
    size_t points = 0;
    for (size_t i = 4; i < rows.size() && rows[i][0] != "Fit"; i++, points++) {
        ASSERT_EQ(rows[i].size(), 2u) << i;
        const double mV = std::stod(rows[i][0]);
        EXPECT_NEAR(std::stod(rows[i][1]), mV * 1e-3 * conductance, 0.5) << mV << " mV";
    }
    EXPECT_GE(points, 5u) << "a level per step";
    ASSERT_EQ(rows.size(), 4 + points + 2);
    // The fit's title holds a comma, in quotes: "Series 1, lin".
    const std::vector<std::string>& names = rows[4 + points];
    const std::vector<std::string>& fit = rows[5 + points];
    ASSERT_EQ(names.size(), 4u);
    ASSERT_EQ(fit.size(), 5u);
    EXPECT_EQ(names[0] + "," + names[1], "Fit,conductance [pS]");
    EXPECT_EQ(fit[0] + "," + fit[1], "\"Series 1, lin\"");
    EXPECT_NEAR(std::stod(fit[2]), conductance, 0.01 * conductance);
}

TEST(Open, AnEpisodicAbfFileOfAnotherProgramAndRefusedFiles) {
    const Outcome open = kv4test::runProgram(cli, {"open", KAV4_TEST_DATA "/2018_11_16_sh_0006.abf"}, {});
    EXPECT_EQ(open.status, 0) << open.err;
    // Sixty sweeps are too many to list; the tag's time counts in the file's synch time unit.
    EXPECT_EQ(open.out, "format: ABF, 1 file\nstarted: 2018-11-16 16:57:14.512\nchannels: 1\n  IN 0 [pA]\n"
                        "rate: 20000 Hz\nduration: 6 s, 120000 frames\nsweeps: 60\ntags: 1\n"
                        "  at 180.378 s (frame 3607552): +drug at 3min\nlosses: 0, 0 frames lost\n");

    const std::string old = std::string(std::getenv("HOME")) + "/old.abf";
    std::ofstream(old) << "ABF " << std::string(2000, '\0');
    expectRefused({
        {{"open", old},
         1,
         "kav4-cli: old.abf: truncated: 2004 bytes, where the ABF version 1 header alone takes 2048\n"},
        {{"open", old + ".missing"}, 1, "kav4-cli: " + old + ".missing: no such file\n"},
        {{"open"}, 2, "kav4-cli: open needs one FILE\nusage:"},
    });
}

} // namespace
