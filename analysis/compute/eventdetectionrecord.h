#pragma once
// Event detection on one current channel: an event opens when the current leaves its tracked
// baseline by more than threshold 1 and closes when it comes back within threshold 2 of the
// baseline it left; events whose duration lies within the dwell window are counted into a
// histogram of dwell times, one of amplitudes and a list of (amplitude, dwell) points. The
// consumer holds one record per channel under its result lock; the widget gets copies.

#include "commlib/types/kv4cltypes.h"

#include <QList>
#include <QString>

#include <cstddef>
#include <cstdint>

// Equal bins over [lower, upper); values beyond go to the edge bins.
struct EventHistogram {
    static constexpr int defaultBinCount = 200;

    int binCount = defaultBinCount;
    double lowerEdge = 0.0;
    double binWidth = 0.0;
    double inverseBinWidth = 0.0;
    QList<int> counts;
    QString unitLabel;

    // Zeroes the counts and lays the bins over [lower, upper].
    void layOut(double lower, double upper, const QString& unit);
    void add(double value);
    // For values without a window to bound them: while `value` lies beyond the upper edge the
    // range doubles, neighbouring bins merging, so that the counts stay exact and the bins
    // as fine as the largest value allows.
    void addWidening(double value);
};

struct EventDetectionRecord {
    // What the user asked for. Thresholds are in the current range's prefixed unit.
    kv4cl::RangedMeasurement_t dwellRange{0.0, 200.0, 1.0, kv4cl::UnitPfxMilli, "s"};
    double threshold1 = 0.0;
    double threshold2 = 0.0;
    bool positive = false;    // threshold 1 above 0: events go up from the baseline
    double baselineTau = 0.1; // s

    // Laid out by reset() from the options and the sampling rate.
    double samplingRate = 0.0; // Hz
    double samplePeriod = 0.0; // one frame in the dwell range's prefixed unit
    int minDwellFrames = 0;
    int maxDwellFrames = 0;
    double alpha = 0.0; // baseline filter coefficient: 1 - exp(-1 / (rate x tau))

    // The detector's state, carried from one cycle to the next.
    bool baselineReady = false;
    double baseline = 0.0;
    double eventBaseline = 0.0; // frozen while an event is open
    double eventSum = 0.0;
    bool inEvent = false;
    int eventFrames = 0;
    int64_t gapFrames = 0; // since the end of the last accepted event
    // After an event longer than the window: no event opens until the current is back within
    // threshold 2 of the baseline, which meanwhile follows every frame.
    bool settling = false;
    // Frames since the last event closed, -1 before one has or after one longer than the
    // window, whose end says nothing of when the channel closed.
    int64_t closedFrames = -1;

    EventHistogram dwellHistogram;
    // The closed times, from the end of one event to the start of the next, in the dwell
    // range's unit: every event ends one, those shorter than the dwell window too, which the
    // user leaves out of the open times only. Bins of whole frames centred on whole frames,
    // widened as longer times come (they have no window).
    EventHistogram closedHistogram;
    EventHistogram amplitudeHistogram;
    // The accepted events in order: signed amplitude (current range's unit) and dwell time
    // (dwell range's unit).
    QList<double> amplitudes;
    QList<double> dwells;
    // Only the latest events are listed: a busy channel accepts thousands a second, and a list
    // without end would take the memory, and every redraw of the scatter, with it. The counts,
    // histograms and averages take every event.
    static constexpr qsizetype listedEvents = 10000;
    int eventCount = 0;
    double totalDwell = 0.0; // s
    double totalGap = 0.0;   // s
    double averageDwell = 0.0;
    double averageGap = 0.0;

    // Takes the options; false, changing nothing, when a value is not a number, the dwell
    // window is negative or reversed, or tau is not positive. Call reset() afterwards.
    bool setOptions(const kv4cl::RangedMeasurement_t& dwell, double start, double end, double tauSeconds);
    // Lays everything out for `rate` (Hz) and the channel's current range, and forgets every
    // event and the baseline.
    void reset(double rate, const kv4cl::RangedMeasurement_t& currentRange);
    // Runs the detector over `count` samples spaced `stride` values apart (one channel of
    // interleaved frames). Returns the number of events accepted.
    int add(const double* samples, size_t count, size_t stride = 1);
};
