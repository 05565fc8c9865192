#include "tools/patternverifier.h"

#include "commlib/api/kv4cl.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>

namespace kav4cli {

namespace {

std::string chunkSuffix(size_t chunk) {
    char text[16];
    std::snprintf(text, sizeof text, "_%03zu", chunk);
    return text;
}

// Little-endian fields of a file read whole into memory or from a stream.
uint32_t u32(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

int64_t i64(const unsigned char* p) {
    return int64_t(uint64_t(u32(p)) | uint64_t(u32(p + 4)) << 32);
}

// Where an ABF file's samples start and how many frames of two words it holds.
struct AbfData {
    uint64_t offset = 0;
    int64_t frames = 0;
};

constexpr size_t blockBytes = 512;
constexpr size_t sectionMap = 76;
constexpr size_t dataSection = 10, tagSection = 11;

bool readHeader(std::ifstream& in, unsigned char (&header)[blockBytes]) {
    in.read(reinterpret_cast<char*>(header), blockBytes);
    return in.gcount() == std::streamsize(blockBytes) && std::memcmp(header, "ABF2", 4) == 0;
}

AbfData abfData(const unsigned char* header) {
    const unsigned char* entry = header + sectionMap + 16 * dataSection;
    return {uint64_t(u32(entry)) * blockBytes, i64(entry + 8) / 2};
}

} // namespace

void PatternFollower::beginFile(std::string name, std::vector<MarkedLoss> marks) {
    file = std::move(name);
    fileMarks = std::move(marks);
    std::sort(fileMarks.begin(), fileMarks.end(),
              [](const MarkedLoss& a, const MarkedLoss& b) { return a.frame < b.frame; });
    nextMark = 0;
    fileFrame = 0;
}

std::string PatternFollower::where() const {
    return "frame " + std::to_string(fileFrame) + " of " + file;
}

bool PatternFollower::fail(const std::string& text) {
    if (result.fault.empty()) result.fault = text;
    return false;
}

bool PatternFollower::add(const uint16_t* words) {
    if (!result.fault.empty()) return false;
    const size_t voltageAt = layout.currents + layout.gps;
    const size_t devices = std::max<size_t>(layout.devices, 1);
    const size_t deviceCurrents = layout.currents / devices, deviceGps = layout.gps / devices;
    const uint16_t low = layout.currents > 0 ? words[0] : words[voltageAt];
    // With one current channel a device carries only the low word: the counter is taken as the
    // first after the last with that low word, so a gap looks shorter than 65536 frames.
    const uint32_t n = deviceCurrents > 1 ? uint32_t(low) | uint32_t(words[1]) << 16
                       : started          ? counter + uint16_t(low - uint16_t(counter))
                                          : low;
    // Every word of a device must tell that device's counter; the first device's is n.
    const auto counterOf = [&](size_t device) -> uint32_t {
        if (device == 0) return n;
        const uint16_t* own = words + device * deviceCurrents;
        return deviceCurrents > 1 ? uint32_t(own[0]) | uint32_t(own[1]) << 16 : own[0];
    };
    const auto expected = [&](size_t k) -> uint16_t {
        if (k < layout.currents) {
            const uint32_t m = counterOf(k / deviceCurrents);
            const size_t local = k % deviceCurrents;
            return local == 1 ? uint16_t(m >> 16) : uint16_t(m + uint32_t(local));
        }
        if (k < voltageAt) return uint16_t(counterOf((k - layout.currents) / deviceGps));
        return uint16_t(n);
    };
    for (size_t k = 0; k < layout.width(); k++) {
        if (words[k] != expected(k)) {
            char text[160];
            std::snprintf(text, sizeof text, "word %zu of %s is 0x%04X where counter %u gives 0x%04X", k,
                          where().c_str(), unsigned(words[k]), unsigned(n), unsigned(expected(k)));
            return fail(text);
        }
    }
    const bool marked = nextMark < fileMarks.size() && fileMarks[nextMark].frame == fileFrame;
    if (started) {
        const uint32_t step = n - counter; // modulo 2^32: a wrapping counter goes on
        if (step == 0 || step >= 0x80000000u)
            return fail("counter " + std::to_string(n) + " at " + where() + " after " +
                        std::to_string(counter) + ": a frame " + (step == 0 ? "repeated" : "out of order"));
        const uint64_t gap = step - 1;
        if (gap > 0 && !marked)
            return fail("first gap: " + std::to_string(gap) + " frames missing before " + where() +
                        " (counter " + std::to_string(counter) + " then " + std::to_string(n) +
                        "), not marked as lost");
        if (marked && fileMarks[nextMark].frames != gap)
            return fail("a loss of " + std::to_string(fileMarks[nextMark].frames) + " frames is marked at " +
                        where() + ", but " + std::to_string(gap) + " are missing there");
        if (marked) {
            result.lostFrames += gap;
            result.losses++;
        }
        // The devices' frames of one merged frame were sampled together: every device's counter
        // moves as the first one's, but where a loss is marked (a device may have lost alone).
        for (size_t d = 1; d < devices && !marked; d++) {
            const uint32_t own = counterOf(d) - others[d - 1];
            if (deviceCurrents > 1 ? own != step : uint16_t(own) != uint16_t(step))
                return fail("device " + std::to_string(d + 1) + "'s counter moved by " + std::to_string(own) +
                            " at " + where() + " where the first device's moved by " + std::to_string(step));
        }
    }
    others.resize(devices - 1);
    for (size_t d = 1; d < devices; d++)
        others[d - 1] = counterOf(d);
    // A mark on a recording's very first frame tells of frames before it: nothing to compare.
    if (marked) nextMark++;
    started = true;
    counter = n;
    fileFrame++;
    result.frames++;
    return true;
}

bool PatternFollower::endFile() {
    if (!result.fault.empty()) return false;
    if (nextMark < fileMarks.size())
        return fail("a loss of " + std::to_string(fileMarks[nextMark].frames) +
                    " frames is marked at frame " + std::to_string(fileMarks[nextMark].frame) + " of " +
                    file + ", which has " + std::to_string(fileFrame) + " frames");
    return true;
}

std::vector<DatColumn> datColumns(uint32_t currents, uint32_t gps, uint32_t voltages) {
    std::vector<DatColumn> columns;
    const auto add = [&](const auto& convert) {
        double zero = 0.0, one = 0.0;
        convert(0, zero);
        convert(1, one);
        columns.push_back({zero, one - zero});
    };
    for (uint16_t c = 0; c < currents; c++)
        add([c](int raw, double& v) { kv4cl::currentFromRaw(int16_t(raw), c, v); });
    for (uint16_t g = 0; g < gps; g++)
        add([g](int raw, double& v) { kv4cl::gpFromRaw(uint16_t(raw), g, v); });
    for (uint32_t v = 0; v < voltages; v++)
        add([](int raw, double& value) { kv4cl::voltageFromRaw(int16_t(raw), value); });
    return columns;
}

std::vector<std::string> datFiles(const std::string& folder, const std::string& name) {
    std::vector<std::string> files;
    for (size_t chunk = 0;; chunk++) {
        const std::string path = folder + name + chunkSuffix(chunk) + ".dat";
        if (!std::filesystem::exists(path)) return files;
        files.push_back(path);
    }
}

std::vector<std::vector<std::string>> abfFiles(const std::string& folder, const std::string& name,
                                               size_t channels) {
    std::vector<std::vector<std::string>> chunks;
    for (size_t chunk = 0;; chunk++) {
        std::vector<std::string> files;
        for (size_t k = 1; k <= channels; k++) {
            char channel[16];
            std::snprintf(channel, sizeof channel, "_CH%03zu", k);
            files.push_back(folder + name + channel + chunkSuffix(chunk) + ".abf");
        }
        if (!std::filesystem::exists(files[0])) return chunks;
        chunks.push_back(std::move(files));
    }
}

uint64_t abfFrameCount(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    unsigned char header[blockBytes];
    return in && readHeader(in, header) ? uint64_t(abfData(header).frames) : 0;
}

std::vector<LabbookLoss> labbookLosses(const std::string& labbookPath) {
    static const std::regex line(
        "Samples lost, ([0-9]+) samples? per channel.*, at frame index ([0-9]+) of (.+)$");
    std::vector<LabbookLoss> marks;
    std::ifstream in(labbookPath);
    std::smatch match;
    for (std::string text; std::getline(in, text);)
        if (std::regex_search(text, match, line))
            marks.push_back({match[3].str(), {std::stoull(match[2].str()), std::stoull(match[1].str())}});
    return marks;
}

std::vector<MarkedLoss> abfLosses(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    unsigned char header[blockBytes];
    if (!in || !readHeader(in, header)) {
        error = "cannot read the ABF header of " + path;
        return {};
    }
    const unsigned char* entry = header + sectionMap + 16 * tagSection;
    const uint64_t offset = uint64_t(u32(entry)) * blockBytes;
    const int64_t count = offset ? i64(entry + 8) : 0;
    static const std::regex text("^Lost ([0-9]+) samples? per channel");
    std::vector<MarkedLoss> marks;
    in.seekg(std::streamoff(offset));
    for (int64_t t = 0; t < count; t++) {
        unsigned char tag[64];
        in.read(reinterpret_cast<char*>(tag), sizeof tag);
        if (in.gcount() != std::streamsize(sizeof tag)) {
            error = "cannot read the tags of " + path;
            return {};
        }
        const std::string comment(reinterpret_cast<const char*>(tag + 4), 56);
        std::smatch match;
        if (std::regex_search(comment, match, text))
            marks.push_back({uint64_t(int32_t(u32(tag))), std::stoull(match[1].str())});
    }
    return marks;
}

PatternReport verifyDat(const std::vector<std::string>& files, const FrameLayout& layout,
                        const std::vector<DatColumn>& columns, const std::vector<LabbookLoss>& marks) {
    PatternFollower follower(layout);
    const size_t width = layout.width();
    std::vector<float> values(width * 8192);
    std::vector<uint16_t> words(width);
    size_t marksPlaced = 0;
    for (const std::string& path : files) {
        // The lab book names the file as the program shows it, with or without its folder.
        const std::string name = std::filesystem::path(path).filename().string();
        const auto names = [&](const std::string& text) {
            return text == name || (text.size() > name.size() && text.ends_with("/" + name));
        };
        std::vector<MarkedLoss> fileMarks;
        for (const LabbookLoss& mark : marks)
            if (names(mark.file)) fileMarks.push_back(mark.loss);
        marksPlaced += fileMarks.size();
        follower.beginFile(name, std::move(fileMarks));
        std::ifstream in(path, std::ios::binary);
        while (in) {
            in.read(reinterpret_cast<char*>(values.data()), std::streamsize(values.size() * sizeof(float)));
            const size_t read = size_t(in.gcount()) / (width * sizeof(float));
            for (size_t f = 0; f < read; f++) {
                for (size_t k = 0; k < width; k++) {
                    const double raw = (double(values[f * width + k]) - columns[k].offset) / columns[k].step;
                    words[k] = uint16_t(int64_t(std::lround(raw)));
                }
                if (!follower.add(words.data())) return follower.report();
            }
        }
        if (!follower.endFile()) return follower.report();
    }
    PatternReport report = follower.report();
    if (marksPlaced < marks.size())
        report.fault = "the lab book marks a loss in a file the recording does not have";
    return report;
}

PatternReport verifyAbf(const std::vector<std::vector<std::string>>& chunks, const FrameLayout& layout) {
    PatternFollower follower(layout);
    PatternReport failed;
    constexpr size_t passFrames = 8192;
    const size_t channels = layout.currents + layout.gps;
    std::vector<std::vector<uint16_t>> pass(channels, std::vector<uint16_t>(2 * passFrames));
    std::vector<uint16_t> words(layout.width());
    for (const std::vector<std::string>& files : chunks) {
        std::vector<std::ifstream> ins;
        int64_t frames = -1;
        std::vector<MarkedLoss> marks;
        for (size_t k = 0; k < files.size(); k++) {
            std::string error;
            std::vector<MarkedLoss> fileMarks = abfLosses(files[k], error);
            ins.emplace_back(files[k], std::ios::binary);
            unsigned char header[blockBytes];
            if (!error.empty() || !readHeader(ins.back(), header)) {
                failed.fault = error.empty() ? "cannot read " + files[k] : error;
                return failed;
            }
            const AbfData data = abfData(header);
            if (k == 0) {
                frames = data.frames;
                marks = fileMarks;
            } else if (data.frames != frames || fileMarks != marks) {
                failed.fault = files[k] + " holds other frames or loss tags than " + files[0];
                return failed;
            }
            ins.back().seekg(std::streamoff(data.offset));
        }
        follower.beginFile(std::filesystem::path(files[0]).filename().string(), marks);
        for (int64_t done = 0; done < frames;) {
            const size_t n = size_t(std::min<int64_t>(passFrames, frames - done));
            for (size_t k = 0; k < channels; k++) {
                ins[k].read(reinterpret_cast<char*>(pass[k].data()),
                            std::streamsize(2 * n * sizeof(uint16_t)));
                if (size_t(ins[k].gcount()) != 2 * n * sizeof(uint16_t)) {
                    failed.fault = files[k] + " ends before its " + std::to_string(frames) + " frames";
                    return failed;
                }
            }
            for (size_t f = 0; f < n; f++) {
                // Each file holds its channel's word, then the first voltage word; gp words are
                // stored offset binary.
                for (size_t k = 0; k < channels; k++)
                    words[k] = uint16_t(pass[k][2 * f] ^ (k < layout.currents ? 0 : 0x8000));
                for (size_t v = 0; v < layout.voltages; v++)
                    words[channels + v] = pass[0][2 * f + 1];
                for (size_t k = 1; k < channels; k++)
                    if (pass[k][2 * f + 1] != pass[0][2 * f + 1]) {
                        failed.fault = "the voltage of frame " + std::to_string(done + int64_t(f)) +
                                       " differs between " + files[0] + " and " + files[k];
                        return failed;
                    }
                if (!follower.add(words.data())) return follower.report();
            }
            done += int64_t(n);
        }
        if (!follower.endFile()) return follower.report();
    }
    return follower.report();
}

} // namespace kav4cli
