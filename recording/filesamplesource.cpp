#include "recording/filesamplesource.h"

#include <algorithm>
#include <cmath>

namespace {

using Kind = RecordingReader::Kind;

// "pA" as pico and "A"; a unit without a known prefix stays whole.
void splitUnit(const QString& text, kv4cl::UnitPfx_t& prefix, std::string& unit) {
    prefix = kv4cl::UnitPfxNone;
    unit = text.toStdString();
    const QString micro = text.startsWith('u') ? QString("µ") + text.mid(1) : text;
    for (int p = 0; p < kv4cl::UnitPfxNum; p++) {
        const QString symbol = QString::fromUtf8(kv4cl::unitPrefixes[p]);
        if (!symbol.isEmpty() && micro.size() > symbol.size() && micro.startsWith(symbol)) {
            prefix = kv4cl::UnitPfx_t(p);
            unit = micro.mid(symbol.size()).toStdString();
            return;
        }
    }
}

} // namespace

FileSampleSource::FileSampleSource(std::unique_ptr<RecordingReader> recording)
    : reader(std::move(recording)) {
    const auto& channels = reader->channels;
    frameRate = channels.empty() ? 1.0 : channels.front().rate;
    for (const Kind kind : {Kind::Voltage, Kind::Current, Kind::Other})
        for (size_t c = 0; c < channels.size(); c++)
            if (channels[c].kind == kind) {
                order.push_back(c);
                (kind == Kind::Voltage ? voltages : kind == Kind::Current ? currents : others)++;
            }

    // Scales the file does not tell span the largest value of the first ten seconds or so.
    std::vector<double> largest(channels.size(), 0.0);
    if (std::any_of(channels.begin(), channels.end(), [](const auto& c) { return !(c.step > 0); })) {
        const int64_t frames =
            std::min<int64_t>(reader->frames, std::max<int64_t>(readFrames, 10 * frameRate));
        std::vector<float> first(size_t(frames) * channels.size());
        if (reader->read(0, frames, first.data()))
            for (size_t i = 0; i < first.size(); i++)
                largest[i % channels.size()] =
                    std::max<double>(largest[i % channels.size()], std::abs(first[i]));
    }
    for (const size_t c : order) {
        const RecordingReader::Channel& channel = channels[c];
        const bool told = channel.step > 0;
        const double step = told ? channel.step : largest[c] > 0 ? largest[c] / 32000.0 : 1.0;
        const double zero = told ? channel.zero : 0.0;
        steps.push_back(step);
        inverseSteps.push_back(1.0 / step);
        zeros.push_back(zero);
        lowest.push_back(zero - 32768 * step);
        kv4cl::RangedMeasurement_t range{-32768 * step + zero, 32767 * step + zero, step, kv4cl::UnitPfxNone,
                                         ""};
        splitUnit(channel.unit, range.prefix, range.unit);
        channelRanges.push_back(range);
    }
    end = reader->frames;
    anchorTime = Clock::now();
}

void FileSampleSource::restartClockLocked() {
    anchorFrame = next;
    anchorTime = Clock::now();
}

void FileSampleSource::setSpeed(double speed) {
    std::lock_guard lock(mutex);
    restartClockLocked();
    pace = std::max(0.0, speed);
}

void FileSampleSource::play() {
    std::lock_guard lock(mutex);
    if (running) return;
    running = true;
    restartClockLocked();
}

void FileSampleSource::pause() {
    std::lock_guard lock(mutex);
    running = false;
}

bool FileSampleSource::playing() const {
    std::lock_guard lock(mutex);
    return running;
}

void FileSampleSource::seek(int64_t frame) {
    std::lock_guard lock(mutex);
    next = std::clamp<int64_t>(frame, 0, reader->frames);
    restartClockLocked();
    ended.notify_all();
}

int64_t FileSampleSource::position() const {
    std::lock_guard lock(mutex);
    return next;
}

void FileSampleSource::setEnd(int64_t frame) {
    std::lock_guard lock(mutex);
    end = std::clamp<int64_t>(frame, 0, reader->frames);
    ended.notify_all();
}

void FileSampleSource::awaitEnd() {
    std::unique_lock lock(mutex);
    ended.wait(lock, [this] { return next >= end; });
}

kv4cl::ErrorCodes_t FileSampleSource::getChannelCounts(uint32_t& voltageChannels, uint32_t& currentChannels,
                                                       uint32_t& gpChannels) {
    voltageChannels = voltages;
    currentChannels = currents;
    gpChannels = others;
    return kv4cl::Success;
}

void FileSampleSource::noteBacklog(uint64_t rows) {
    std::lock_guard lock(mutex);
    backlog = rows;
}

int64_t FileSampleSource::availableLocked() const {
    if (!running || backlog >= backlogLimit) return 0;
    int64_t due = end;
    if (pace > 0) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - anchorTime).count();
        due = std::min(due, anchorFrame + int64_t(elapsed * frameRate * pace));
    }
    return std::clamp<int64_t>(due - next, 0, std::min<int64_t>(readFrames, int64_t(backlogLimit - backlog)));
}

kv4cl::ErrorCodes_t FileSampleSource::getDataStatus(kv4cl::DataStatus_t& status) {
    std::lock_guard lock(mutex);
    status = {};
    status.availableFrames = uint32_t(availableLocked());
    return status.availableFrames > 0 ? kv4cl::Success : kv4cl::WarningNoDataAvailable;
}

kv4cl::ErrorCodes_t FileSampleSource::readSamples(uint32_t frames, uint32_t& framesRead, uint16_t*& buffer,
                                                  uint16_t*& unfilteredBuffer) {
    std::unique_lock lock(mutex);
    const int64_t first = next;
    const int64_t count = std::min<int64_t>(frames, availableLocked());
    next += count;
    if (count > 0 && next >= end) ended.notify_all();
    lock.unlock();

    framesRead = 0;
    if (!readWords(first, count)) return kv4cl::ErrorUnknown;
    for (const RecordingReader::Loss& loss : reader->losses)
        if (loss.frame >= first && loss.frame < first + count)
            lostSinceRead.push_back({uint64_t(loss.frames), uint64_t(first + count - loss.frame)});
    framesRead = uint32_t(count);
    buffer = unfilteredBuffer = words.data();
    return kv4cl::Success;
}

bool FileSampleSource::readWords(int64_t first, int64_t count) {
    const size_t width = reader->channels.size(), signedWords = voltages + currents;
    values.resize(size_t(count) * width);
    if (count > 0 && !reader->read(first, count, values.data())) return false;
    words.resize(size_t(count) * order.size());
    uint16_t* word = words.data();
    for (const float* frame = values.data(); frame < values.data() + values.size(); frame += width) {
        for (size_t j = 0; j < signedWords; j++)
            *word++ = uint16_t(int16_t(codeOf(j, frame[order[j]])));
        for (size_t j = signedWords; j < order.size(); j++)
            *word++ = uint16_t(codeOf(j, frame[order[j]]) + 32768);
    }
    return true;
}

bool FileSampleSource::readValues(int64_t first, int64_t count, std::vector<double>& out) {
    if (!readWords(first, count)) return false;
    out.resize(words.size());
    // The words as valueOf() converts them, without its test of the kind for every sample.
    const size_t width = order.size(), signedWords = voltages + currents;
    const uint16_t* word = words.data();
    for (double* value = out.data(); value < out.data() + out.size(); value += width, word += width) {
        for (size_t j = 0; j < signedWords; j++)
            value[j] = int16_t(word[j]) * steps[j] + zeros[j];
        for (size_t j = signedWords; j < width; j++)
            value[j] = word[j] * steps[j] + lowest[j];
    }
    return true;
}

kv4cl::ErrorCodes_t FileSampleSource::readFramesLost(std::vector<kv4cl::FramesLost_t>& losses) {
    losses = std::move(lostSinceRead);
    lostSinceRead.clear();
    return kv4cl::Success;
}

kv4cl::ErrorCodes_t FileSampleSource::currentFromRaw(int16_t raw, uint16_t channelIdx, double& value) {
    if (channelIdx >= currents) return kv4cl::ErrorValueOutOfRange;
    value = valueOf(voltages + channelIdx, uint16_t(raw));
    return kv4cl::Success;
}

kv4cl::ErrorCodes_t FileSampleSource::voltageFromRaw(int16_t raw, double& value) {
    if (voltages == 0) return kv4cl::ErrorValueOutOfRange;
    value = valueOf(0, uint16_t(raw));
    return kv4cl::Success;
}

kv4cl::ErrorCodes_t FileSampleSource::gpFromRaw(uint16_t raw, uint16_t gpChannelIdx, double& value) {
    if (gpChannelIdx >= others) return kv4cl::ErrorValueOutOfRange;
    value = valueOf(voltages + currents + gpChannelIdx, raw);
    return kv4cl::Success;
}

std::vector<std::string> FileSampleSource::gpChannelNames() {
    std::vector<std::string> names;
    for (size_t j = voltages + currents; j < order.size(); j++)
        names.push_back(reader->channels[order[j]].name.toStdString());
    return names;
}
