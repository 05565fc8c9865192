#pragma once
// A recording played back as the producer's source, so that the plots and analyses that take an
// amplifier's frames take a recording's alike: at the recording's own pace, at a multiple of it,
// or as fast as the slowest reader of the ring takes the frames, with pause and seek.
//
// Values go back into the signed 16-bit codes they came from, by the scales the file tells (an
// older or foreign file that does not tell them gets a scale spanning the values of its first
// seconds), and the conversions turn the codes into the same values the live run had. Losses the
// recording marks are reported as the library reports its gaps. The producer's channels are the
// file's voltages, currents and other channels, in that order, each in the file's order.
//
// The pacing calls come from any thread; the SampleSource calls from the producer's.

#include "acquisition/samplesource.h"
#include "recording/recordingreader.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

class FileSampleSource final : public SampleSource {
  public:
    explicit FileSampleSource(std::unique_ptr<RecordingReader> recording);

    const RecordingReader& recording() const { return *reader; }
    // The rate every channel is played at (Hz): the first channel's.
    double rate() const { return frameRate; }
    // The file's index of each producer channel, and what its codes span in the channel's unit.
    const std::vector<size_t>& fileChannels() const { return order; }
    const std::vector<kv4cl::RangedMeasurement_t>& ranges() const { return channelRanges; }

    // speed > 0: that many times the recording's pace; 0: as fast as the readers take the frames.
    void setSpeed(double speed);
    void play();
    void pause();
    bool playing() const;
    // The frame handed out next; a seek goes on from `frame` (clamped to the recording).
    void seek(int64_t frame);
    int64_t position() const;
    // Frames from `frame` on are held back (from the recording's end unless set): a replay of
    // a stretch of it. awaitEnd() returns once every frame before it was handed out; while
    // playing, the producer stores them before it polls again.
    void setEnd(int64_t frame);
    void awaitEnd();

    // `count` frames from `first` on as the producer's rows of values, through the same codes
    // and conversions as frames played through it, but without it: a recording analysed as
    // fast as the analyses go. False when the frames are not all in the recording. Not while
    // the producer reads.
    bool readValues(int64_t first, int64_t count, std::vector<double>& out);

    kv4cl::ErrorCodes_t getChannelCounts(uint32_t& voltageChannels, uint32_t& currentChannels,
                                         uint32_t& gpChannels) override;
    void noteBacklog(uint64_t rows) override;
    kv4cl::ErrorCodes_t getDataStatus(kv4cl::DataStatus_t& status) override;
    kv4cl::ErrorCodes_t readSamples(uint32_t frames, uint32_t& framesRead, uint16_t*& buffer,
                                    uint16_t*& unfilteredBuffer) override;
    kv4cl::ErrorCodes_t readFramesLost(std::vector<kv4cl::FramesLost_t>& losses) override;
    kv4cl::ErrorCodes_t currentFromRaw(int16_t raw, uint16_t channelIdx, double& value) override;
    kv4cl::ErrorCodes_t voltageFromRaw(int16_t raw, double& value) override;
    kv4cl::ErrorCodes_t gpFromRaw(uint16_t raw, uint16_t gpChannelIdx, double& value) override;
    std::vector<std::string> gpChannelNames() override;

  private:
    using Clock = std::chrono::steady_clock;
    // Frames handed out at most in one read, and how far ahead of its slowest reader the ring
    // may run: half the ring, so that a reader is never lapped.
    static constexpr int64_t readFrames = 1 << 14;
    static constexpr uint64_t backlogLimit = uint64_t{1} << 17;

    // With the mutex held: the pace counts on from the frame handed out next, from now.
    void restartClockLocked();
    // With the mutex held: the frames that may be handed out now.
    int64_t availableLocked() const;
    // `count` frames from `first` on into `words`, as the amplifier would have sent them.
    bool readWords(int64_t first, int64_t count);
    // The code the amplifier sent for value `v` of producer channel j, rounded half away from
    // zero without a call into the maths library, as this runs for every sample. A value
    // beyond the codes (or not a number) takes the code at the range's edge.
    int32_t codeOf(size_t j, float v) const {
        const double code = std::max(-32768.0, std::min((v - zeros[j]) * inverseSteps[j], 32767.0));
        return int32_t(code + std::copysign(0.5, code));
    }
    // The value the library makes of a word of the channel's kind. Other channels' words are
    // unsigned, as a device's gp words are, and count from the range's lower end, so that the
    // value is the live one to the last bit.
    double valueOf(size_t j, uint16_t word) const {
        return j < voltages + currents ? int16_t(word) * steps[j] + zeros[j] : word * steps[j] + lowest[j];
    }

    const std::unique_ptr<RecordingReader> reader;
    double frameRate = 0.0;
    uint32_t voltages = 0, currents = 0, others = 0;
    std::vector<size_t> order;
    std::vector<kv4cl::RangedMeasurement_t> channelRanges;
    std::vector<double> steps, inverseSteps, zeros, lowest; // per producer channel
    // The reading thread's: the producer's, or readValues()'s caller.
    std::vector<float> values;
    std::vector<uint16_t> words;
    std::vector<kv4cl::FramesLost_t> lostSinceRead;

    mutable std::mutex mutex;
    int64_t next = 0;
    int64_t end = 0;
    std::condition_variable ended;
    bool running = false;
    double pace = 1.0;
    uint64_t backlog = 0;
    // Where the clock counts from: the frame due at `anchorTime`.
    int64_t anchorFrame = 0;
    Clock::time_point anchorTime;
};
