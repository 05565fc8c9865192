// The pattern check of recorded files: counters along the frames, with gaps accounted for by
// the losses the recording marked, in DAT files with their lab book and in ABF files with
// their tags.

#include "recording/abffile.h"
#include "tools/patternverifier.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using kav4cli::FrameLayout;
using kav4cli::LabbookLoss;
using kav4cli::MarkedLoss;
using kav4cli::PatternFollower;

// The words pattern mode puts on frame n: currents, gps, voltages. Of several devices, device d
// started 70000 * d frames later, so that its counter differs in both words.
std::vector<uint16_t> frameWords(uint32_t n, const FrameLayout& layout) {
    const auto counter = [&](size_t device) { return n - 70000u * uint32_t(device); };
    const size_t currents = layout.currents / layout.devices, gps = layout.gps / layout.devices;
    std::vector<uint16_t> words;
    for (size_t c = 0; c < layout.currents; c++) {
        const uint32_t m = counter(c / currents);
        const size_t local = c % currents;
        words.push_back(local == 1 ? uint16_t(m >> 16) : uint16_t(m + uint32_t(local)));
    }
    for (size_t g = 0; g < layout.gps; g++)
        words.push_back(uint16_t(counter(g / gps)));
    for (size_t v = 0; v < layout.voltages; v++)
        words.push_back(uint16_t(n));
    return words;
}

// One file of frames: their counters, the marks in it, and a word to spoil (frame, word).
struct File {
    std::vector<uint32_t> counters;
    std::vector<MarkedLoss> marks;
};

struct FollowCase {
    const char* name;
    FrameLayout layout;
    std::vector<File> files;
    // Expected: a fault containing this text, or none; frames and losses accounted.
    const char* fault;
    uint64_t lostFrames = 0;
    uint64_t losses = 0;
    int spoilFrame = -1; // in the last file, a word set to 0xBEEF
    size_t spoilWord = 0;
};

const FrameLayout four = {4, 0, 1};
// Two devices of three current and one gp channel each.
const FrameLayout twoDevices = {6, 2, 1, 2};

const FollowCase followCases[] = {
    {"Contiguous", four, {{{7, 8, 9, 10}, {}}}, ""},
    {"CounterWrapsAroundItsThirtyTwoBits", four, {{{0xFFFFFFFEu, 0xFFFFFFFFu, 0, 1}, {}}}, ""},
    {"UnmarkedGap",
     four,
     {{{7, 8, 12, 13}, {}}},
     "first gap: 3 frames missing before frame 2 of f0 (counter 8 then 12), not marked as lost"},
    {"GapMarkedWithItsSize", four, {{{7, 8, 12, 13, 20}, {{2, 3}, {4, 6}}}}, "", 9, 2},
    {"GapAtAChunkBoundaryMarkedInTheNextFile", four, {{{7, 8}, {}}, {{12, 13}, {{0, 3}}}}, "", 3, 1},
    {"GapMarkedWithAnotherSize",
     four,
     {{{7, 8, 12}, {{2, 4}}}},
     "a loss of 4 frames is marked at frame 2 of f0, but 3 are missing there"},
    {"MarkWhereNothingIsMissing",
     four,
     {{{7, 8, 9}, {{1, 2}}}},
     "a loss of 2 frames is marked at frame 1 of f0, but 0 are missing there"},
    {"MarkPastTheFileEnd", four, {{{7, 8}, {{5, 1}}}}, "marked at frame 5 of f0, which has 2 frames"},
    {"MarkOnTheFirstFrameTellsOfFramesBeforeIt", four, {{{7, 8}, {{0, 5}}}}, ""},
    {"RepeatedFrame", four, {{{7, 8, 8, 9}, {}}}, "counter 8 at frame 2 of f0 after 8: a frame repeated"},
    {"OutOfOrder", four, {{{7, 8, 9, 8}, {}}}, "counter 8 at frame 3 of f0 after 9: a frame out of order"},
    {"GapOfTheLowWordsPeriod", four, {{{5, 0x10006}, {}}}, "first gap: 65536 frames missing"},
    {"CurrentWordOfAnotherFrame", four, {{{7, 8, 9}, {}}}, "word 3 of frame 1 of f0 is 0xBEEF", 0, 0, 1, 3},
    {"OneCurrentChannelSeesAGapAcrossTheWrap", {1, 0, 1}, {{{0xFFF0, 0x10002}, {{1, 17}}}}, "", 17, 1},
    {"ParallelDevicesEachFollowTheirOwnCounter", twoDevices, {{{80000, 80001, 80002}, {}}}, ""},
    {"ParallelDevicesOfOneChannelFollowTheLowWord", {2, 0, 1, 2}, {{{0x2FFFF, 0x30000, 0x30001}, {}}}, ""},
    {"SecondDevicesCurrent", twoDevices, {{{80000, 80001}, {}}}, "word 5 of frame 1", 0, 0, 1, 5},
    {"SecondDevicesGp", twoDevices, {{{80000, 80001}, {}}}, "word 7 of frame 1", 0, 0, 1, 7},
    {"VoltageIsTheFirstDevices", twoDevices, {{{80000, 80001}, {}}}, "word 8 of frame 0", 0, 0, 0, 8},
};

TEST(PatternFollower, FindsTheFirstFaultOrAccountsForEveryGap) {
    for (const FollowCase& c : followCases) {
        SCOPED_TRACE(c.name);
        PatternFollower follower(c.layout);
        bool whole = true;
        uint64_t frames = 0;
        for (size_t f = 0; f < c.files.size() && whole; f++) {
            std::string name = "f"; // appended: GCC 12 warns wrongly about "f" + std::to_string(f)
            name += std::to_string(f);
            follower.beginFile(name, c.files[f].marks);
            for (size_t i = 0; i < c.files[f].counters.size() && whole; i++) {
                std::vector<uint16_t> words = frameWords(c.files[f].counters[i], c.layout);
                if (f + 1 == c.files.size() && int(i) == c.spoilFrame) words[c.spoilWord] = 0xBEEF;
                whole = follower.add(words.data());
                frames += whole;
            }
            whole = whole && follower.endFile();
        }
        const kav4cli::PatternReport& report = follower.report();
        EXPECT_EQ(whole, report.fault.empty());
        EXPECT_TRUE(*c.fault ? report.fault.find(c.fault) != std::string::npos : report.fault.empty())
            << report.fault;
        EXPECT_EQ(report.frames, frames);
        EXPECT_EQ(report.lostFrames, c.lostFrames);
        EXPECT_EQ(report.losses, c.losses);
    }
}

// A merge that pairs the second device's frame with another frame of the first: each device's
// words agree among themselves, only the steps of the counters tell.
TEST(PatternFollower, ParallelDevicesMustStepTogether) {
    PatternFollower follower(twoDevices);
    follower.beginFile("f0", {});
    std::vector<uint16_t> second = frameWords(80001, twoDevices);
    const std::vector<uint16_t> later = frameWords(80002, twoDevices);
    std::copy(later.begin() + 3, later.begin() + 6, second.begin() + 3);
    second[7] = later[7];
    ASSERT_TRUE(follower.add(frameWords(80000, twoDevices).data()));
    EXPECT_FALSE(follower.add(second.data()));
    EXPECT_NE(follower.report().fault.find("device 2's counter moved by 2 at frame 1 of f0"),
              std::string::npos)
        << follower.report().fault;
}

// Files in the test's own folder.
std::string home() {
    return std::string(std::getenv("HOME")) + "/";
}

// A DAT file of the frames with these counters: value = offset + raw * step per column.
void writeDat(const std::string& path, const std::vector<uint32_t>& counters, const FrameLayout& layout,
              const std::vector<kav4cli::DatColumn>& columns) {
    std::vector<char> bytes;
    for (uint32_t n : counters) {
        const std::vector<uint16_t> words = frameWords(n, layout);
        for (size_t k = 0; k < words.size(); k++) {
            // Current and voltage words are two's complement, gp words offset binary.
            const bool gp = k >= layout.currents && k < layout.currents + layout.gps;
            const double raw = gp ? double(words[k]) : double(int16_t(words[k]));
            const float value = float(columns[k].offset + raw * columns[k].step);
            const char* p = reinterpret_cast<const char*>(&value);
            bytes.insert(bytes.end(), p, p + sizeof value);
        }
    }
    std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
}

struct DatCase {
    const char* name;
    uint64_t frames, lostFrames;
    const char* fault;
    std::vector<std::vector<uint32_t>> files;
    std::vector<std::string> losses; // the lab book's lines of samples lost, after the times
};

const DatCase datCases[] = {
    // Counters through the negative half of the words and past a wrap of the low word.
    {"Contiguous", 6, 0, "", {{0x7FFE, 0x7FFF, 0x8000}, {0x8001, 0x8002}, {0x8003}}, {}},
    {"LossMarkedInTheLabBook",
     5,
     16,
     "",
     {{10, 11, 15}, {16, 30}},
     {"3 samples per channel (0.3 ms), at frame index 2 of cell_000.dat",
      "13 samples per channel (1.3 ms), at frame index 1 of LossMarkedInTheLabBook/cell_001.dat"}},
    {"LossMarkedInAnotherFile",
     2,
     0,
     "3 frames missing before frame 2 of cell_000.dat",
     {{10, 11, 15}, {16}},
     {"3 samples per channel (0.3 ms), at frame index 2 of cell_001.dat"}},
    {"LossMarkedInAFileTheRecordingHasNot",
     2,
     0,
     "a file the recording does not have",
     {{10, 11}},
     {"1 sample per channel (0.1 ms), at frame index 1 of cell_004.dat"}},
};

TEST(PatternVerifier, ReadsEveryDatFrameBackThroughTheScaleOfItsColumn) {
    const FrameLayout layout = {3, 1, 1};
    // Steps of a 200 pA range and a 500 mV one, a gp channel with an offset.
    const std::vector<kav4cli::DatColumn> columns = {{0.0, 200.0 / 32768},
                                                     {0.0, 200.0 / 32768},
                                                     {0.0, 2.0 / 32768},
                                                     {-10.0, 20.0 / 65536},
                                                     {0.0, 0.5 / 32768}};
    for (const DatCase& c : datCases) {
        SCOPED_TRACE(c.name);
        const std::string folder = home() + c.name + "/";
        std::filesystem::create_directories(folder);
        for (size_t f = 0; f < c.files.size(); f++)
            writeDat(folder + "cell_00" + std::to_string(f) + ".dat", c.files[f], layout, columns);
        std::ofstream book(folder + "cell_lab_book.txt");
        book << "_Session lab book file: labbook_2026_01_01\n_Lab book notes:\n";
        for (const std::string& loss : c.losses)
            book << "12:00:01.000, 00:00:01.000, Samples lost, " << loss << "\n";
        book.close();
        const std::vector<std::string> files = kav4cli::datFiles(folder, "cell");
        ASSERT_EQ(files.size(), c.files.size());
        const kav4cli::PatternReport report =
            kav4cli::verifyDat(files, layout, columns, kav4cli::labbookLosses(folder + "cell_lab_book.txt"));
        EXPECT_TRUE(*c.fault ? report.fault.find(c.fault) != std::string::npos : report.fault.empty())
            << report.fault;
        EXPECT_EQ(report.frames, c.frames);
        EXPECT_EQ(report.lostFrames, c.lostFrames);
    }
}

// An ABF file of these frames (signal word, voltage word) and tags, as the recording's writer
// makes it.
void writeAbf(const std::string& path, const std::vector<std::pair<uint16_t, uint16_t>>& frames,
              const std::vector<std::pair<int32_t, std::string>>& tags) {
    AbfFile file(std::make_unique<QFile>());
    ASSERT_TRUE(file.open(QString::fromStdString(path)));
    file.begin({QDateTime::currentDateTime(), "test", 0, 1000.0, 0, {"I1", "pA", 1.0}, {"V", "mV", 1.0}});
    std::vector<qint16_le> words;
    for (const auto& [signal, voltage] : frames)
        words.insert(words.end(), {qint16_le(int16_t(signal)), qint16_le(int16_t(voltage))});
    ASSERT_TRUE(file.write(words.data(), int64_t(frames.size())));
    std::vector<AbfFile::Tag> marks;
    for (const auto& [sample, text] : tags)
        marks.push_back({sample, QString::fromStdString(text)});
    ASSERT_TRUE(file.close(marks));
}

struct AbfCase {
    const char* name;
    std::vector<uint32_t> counters;
    std::vector<std::pair<int32_t, std::string>> tags; // in every channel's file
    const char* fault;
    uint64_t lostFrames = 0;
    int spoilChannel = -1;     // its file holds the next frame's signal word
    bool spoilVoltage = false; // and voltage word
};

const AbfCase abfCases[] = {
    {"Contiguous", {0xFFFE, 0xFFFF, 0x10000, 0x10001}, {}, ""},
    {"LossTagged", {5, 6, 10, 11}, {{1, "A comment"}, {2, "Lost 3 samples per channel (0.3 ms)"}}, "", 3},
    {"LossTaggedWithAnotherSize", {5, 6, 10}, {{2, "Lost 2 samples per channel"}}, "marked at frame 2"},
    {"UserTagThatSpeaksOfLossIsNoMark", {5, 6, 10}, {{2, "We Lost 3 samples per channel"}}, "not marked"},
    {"CurrentFileOutOfStep", {5, 6, 7}, {}, "word 2 of frame 0 of cell_CH001_000.abf", 0, 2},
    {"VoltageOutOfStep", {5, 6, 7}, {}, "the voltage of frame 0 differs", 0, 3, true},
};

TEST(PatternVerifier, ReadsEveryAbfChannelFileInStep) {
    const FrameLayout layout = {3, 1, 1};
    for (const AbfCase& c : abfCases) {
        SCOPED_TRACE(c.name);
        const std::string folder = home() + c.name + "/";
        std::filesystem::create_directories(folder);
        for (size_t k = 0; k < 4; k++) {
            std::vector<std::pair<uint16_t, uint16_t>> frames;
            for (uint32_t n : c.counters) {
                const bool spoilt = int(k) == c.spoilChannel;
                const std::vector<uint16_t> words = frameWords(spoilt ? n + 1 : n, layout);
                const uint16_t voltage = spoilt && c.spoilVoltage ? words[4] : uint16_t(n);
                // gp words are stored offset binary.
                frames.emplace_back(uint16_t(words[k] ^ (k == 3 ? 0x8000 : 0)), voltage);
            }
            writeAbf(folder + "cell_CH00" + std::to_string(k + 1) + "_000.abf", frames, c.tags);
        }
        const auto chunks = kav4cli::abfFiles(folder, "cell", 4);
        ASSERT_EQ(chunks.size(), 1u);
        EXPECT_EQ(kav4cli::abfFrameCount(chunks[0][0]), c.counters.size());
        const kav4cli::PatternReport report = kav4cli::verifyAbf(chunks, layout);
        EXPECT_TRUE(*c.fault ? report.fault.find(c.fault) != std::string::npos : report.fault.empty())
            << report.fault;
        if (!*c.fault) {
            EXPECT_EQ(report.frames, c.counters.size());
        }
        EXPECT_EQ(report.lostFrames, c.lostFrames);
    }
}

} // namespace
