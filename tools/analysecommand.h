#pragma once
// kav4-cli analyse: a stretch of a recording played through the program's own analysis
// workers, as fast as they take it, and what their docks would export written as one CSV file
// (the exports one after the other, as the dock's Append leaves them).

#include <cstdint>
#include <optional>
#include <string>

namespace kav4cli {

struct AnalyseRequest {
    std::string file;
    bool noise = false;
    bool spectrum = false;
    bool histogram = false;
    bool events = false;
    bool iv = false;
    // The current channel of the per-channel analyses, counted from 1; all when not given.
    std::optional<int> channel;
    double from = 0.0;            // s
    std::optional<double> to;     // s; the recording's end when not given
    double noiseWindow = 0.5;     // s
    int fftBins = 512;            // of the spectrum
    double integrationTime = 2.0; // s, the spectrum's shortest average
    double ivTransient = 0.0;     // ms ignored at the start of each voltage level
    std::string csv;
};

struct AnalyseReport {
    uint64_t frames = 0;
    double firstSecond = 0.0; // where the stretch starts in the recording
    double dataSeconds = 0.0;
    double elapsedSeconds = 0.0; // from the start of the replay to the last frame analysed
};

// Writes the CSV, in a QCoreApplication's thread; throws Failure when the file cannot be read, a
// channel or time is not in it, or the stretch is too short for a result.
AnalyseReport analyse(const AnalyseRequest& request);

} // namespace kav4cli
