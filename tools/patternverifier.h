#pragma once
// Reads a recording made from amplifiers in pattern mode back from its files and proves it
// whole: frame after frame, file after file, the device's frame counter must go up by one.
// A jump is accounted for only where the recording marked a loss of exactly that many frames
// at that frame (an ABF tag, a line in a DAT recording's lab book); any other jump, a repeat
// or a step back is a fault, and so is a mark where nothing is missing.
//
// Pattern mode (simulator/virtualamplifier.h) puts on frame n, as raw words: n & 0xFFFF on
// every voltage word and on current word 0, n >> 16 on current word 1 and (n + c) & 0xFFFF on
// current word c >= 2. Counters are 32 bits here, so a counter that wraps is followed.

#include <cstdint>
#include <string>
#include <vector>

namespace kav4cli {

// A loss the recording marked: `frames` frames missing before frame `frame` of a file.
struct MarkedLoss {
    uint64_t frame = 0;
    uint64_t frames = 0;
    bool operator==(const MarkedLoss&) const = default;
};

struct PatternReport {
    uint64_t frames = 0;     // frames read from the files
    uint64_t lostFrames = 0; // missing where a mark accounts for them
    uint64_t losses = 0;     // marks that matched a gap
    std::string fault;       // the first fault, empty when none
};

// The layout of a recorded frame's raw words: the current channels, the gp channels, the
// voltages. Frames of several devices hold every device's current channels in device order,
// then every device's gp channels in device order; each device's words carry its own counter
// (the devices started at different frames), the voltage that of the first device.
struct FrameLayout {
    size_t currents = 0;
    size_t gps = 0;
    size_t voltages = 0;
    size_t devices = 1;
    size_t width() const { return currents + gps + voltages; }
};

// Follows the counter along the frames of a recording, file after file.
class PatternFollower {
  public:
    explicit PatternFollower(const FrameLayout& layout) : layout(layout) {}

    // A new file of the recording starts, with the losses marked in it.
    void beginFile(std::string name, std::vector<MarkedLoss> marks);
    // The next frame of the present file, layout.width() words; false once a fault was found.
    bool add(const uint16_t* words);
    // After the last frame of a file: false when a mark lies past its frames.
    bool endFile();
    const PatternReport& report() const { return result; }

  private:
    bool fail(const std::string& text);
    std::string where() const;

    const FrameLayout layout;
    std::string file;
    std::vector<MarkedLoss> fileMarks;
    size_t nextMark = 0;
    uint64_t fileFrame = 0; // frames of the present file so far
    bool started = false;
    uint32_t counter = 0;         // of the last frame
    std::vector<uint32_t> others; // the other devices' counters in the last frame
    PatternReport result;
};

// How a DAT file stores the raw words of a column: value = offset + raw * step.
struct DatColumn {
    double offset = 0.0;
    double step = 1.0;
};

// How a DAT file of the connected devices holds each raw word, by the library's conversions of
// raw 0 and 1: the current channels, the gp channels, then the voltages.
std::vector<DatColumn> datColumns(uint32_t currents, uint32_t gps, uint32_t voltages);

// The data files of a recording, in order: "NAME_000.dat", "NAME_001.dat"... in `folder`;
// for ABF one list per chunk, "NAME_CH001_000.abf"... Empty when there are none.
std::vector<std::string> datFiles(const std::string& folder, const std::string& name);
std::vector<std::vector<std::string>> abfFiles(const std::string& folder, const std::string& name,
                                               size_t channels);

// The frames an ABF file holds; 0 when it cannot be read.
uint64_t abfFrameCount(const std::string& path);

// A loss line of a recording's lab book: the data file it names and the place there.
struct LabbookLoss {
    std::string file;
    MarkedLoss loss;
};

// The loss lines of a recording's lab book, "... Samples lost, 12 samples per channel (...),
// at frame index 34 of NAME"; empty when it holds none.
std::vector<LabbookLoss> labbookLosses(const std::string& labbookPath);
// The loss tags of an ABF file, at its frames; with `error` set when the file cannot be read.
std::vector<MarkedLoss> abfLosses(const std::string& path, std::string& error);

// Checks the DAT files of a recording of every channel (one column per word of `layout`),
// with the losses its lab book marks in them; a line naming no file of the recording is a fault.
PatternReport verifyDat(const std::vector<std::string>& files, const FrameLayout& layout,
                        const std::vector<DatColumn>& columns, const std::vector<LabbookLoss>& marks);
// Checks the ABF files of a recording of every current and gp channel, one list of channel
// files per chunk, each file with its tags.
PatternReport verifyAbf(const std::vector<std::vector<std::string>>& chunks, const FrameLayout& layout);

} // namespace kav4cli
