#include "recording/abfdatawriterconsumer.h"

#include "acquisition/samplering.h"
#include "recording/labbookevent.h"

#include <QMutexLocker>

#include <algorithm>

namespace {

const char* const invalidTag = "__INVALIDTAG__";
constexpr uint32_t creatorVersion = ((1u * 256 + 11) * 256 + 6) * 256; // 1.11.6

} // namespace

AbfDataWriterConsumer::AbfDataWriterConsumer(DeviceDataProducer* producer)
    : DataWriterConsumer(producer, 1, ".abf", "_CH%1"), outputBuffer(2 * passSamples) {
    maxFileSamples = AbfFile::maxSamples;
    // A full ring's worth, so that reads do not allocate.
    readBuffer.reserve(size_t(totalChannelsNum) * SampleRing::rowCount);
}

AbfDataWriterConsumer::~AbfDataWriterConsumer() {
    stopConsuming();
}

void AbfDataWriterConsumer::onMarkTagTime() {
    QMutexLocker lock(&mutex);
    if (tagPending) saveTag(QString("Empty tag %1").arg(tagCounter++));
    tagRow = producer->rowsProduced();
    tagPending = true;
}

void AbfDataWriterConsumer::onSaveTagString(QString tagString) {
    if (tagString == invalidTag) return;
    QMutexLocker lock(&mutex);
    if (tagPending) saveTag(tagString);
}

void AbfDataWriterConsumer::saveTag(const QString& text) {
    tags.push_back({tagRow, text});
    tagPending = false;
}

bool AbfDataWriterConsumer::openRecordFile() {
    if (!continuation) {
        // Before the thread starts: tags saved while nothing was recorded go.
        QMutexLocker lock(&mutex);
        tags.clear();
    }
    QString path;
    if (!beginRecordFile(path)) return false;
    const qsizetype placeholder = path.lastIndexOf("%1");
    files.resize(size_t(activeChannels.size()));
    for (int k = 0; k < activeChannels.size(); k++) {
        if (!activeChannels[k]) continue;
        auto file = std::make_unique<AbfFile>(newDataFile());
        if (!file->open(QString(path).replace(placeholder, 2, QString("%1").arg(k + 1, 3, 10, QChar('0'))))) {
            for (auto& opened : files)
                if (opened) opened->discard();
            files.clear();
            return false;
        }
        files[size_t(k)] = std::move(file);
    }
    return true;
}

void AbfDataWriterConsumer::initRecordFile() {
    DataWriterConsumer::initRecordFile();
    AbfFile::Setup setup{
        .start = fileStartTime,
        .creator = "KAV4",
        .creatorVersion = creatorVersion,
        .samplingRate = samplingRate,
        // A sweep no longer than a file.
        .sweepSamples = sweepValues > 0 ? std::min(sweepValues / totalChannelsNum, AbfFile::maxSamples) : 0,
        .signal = {},
        .voltage = {"V", QString::fromStdString(voltageRange.label()), voltageRange.step}};
    const QStringList& gpNames = producer->gpChannelNames();
    for (size_t k = 0; k < files.size(); k++) {
        if (!files[k]) continue;
        const bool current = int32_t(k) < currentChannelsNum;
        const kv4cl::RangedMeasurement_t& range =
            current ? currentRanges[k] : gpRanges[k - currentChannelsNum];
        // A gp word is offset binary from the range's minimum; it is stored with its top bit
        // flipped, as a signed count whose 0 is the word 0x8000.
        setup.signal = {current ? QString("I%1").arg(k + 1) : gpNames[int(k) - currentChannelsNum],
                        QString::fromStdString(range.label()), range.step,
                        current ? 0.0 : range.min + 32768.0 * range.step};
        files[k]->begin(setup);
    }
}

void AbfDataWriterConsumer::closeRecordFile() {
    int64_t frames = 0;
    for (const auto& file : files)
        if (file) frames = file->frameCount(); // the same in every file
    const uint64_t fileEnd = fileFirstFrame + uint64_t(frames);
    // At a switch the tags of later rows wait for their chunk; at the end every tag goes in.
    auto belongsHere = [&](uint64_t row) { return !switching || frameOfRow(row) < fileEnd; };
    std::vector<AbfFile::Tag> fileTags;
    {
        QMutexLocker lock(&mutex);
        if (tagPending && belongsHere(tagRow)) saveTag(QString("Empty tag %1").arg(tagCounter++));
        std::vector<MarkedTag> later;
        for (MarkedTag& tag : tags) {
            if (!belongsHere(tag.row)) {
                later.push_back(std::move(tag));
                continue;
            }
            // Marked before the file's start, or after its last frame: at its edge.
            const int64_t sample =
                std::clamp(int64_t(frameOfRow(tag.row)) - int64_t(fileFirstFrame), int64_t{0}, frames);
            fileTags.push_back({sample, tag.text});
        }
        tags.swap(later);
    }
    // Losses are marked as the writer reads, tags as the user marks them: in the file, in time.
    std::stable_sort(fileTags.begin(), fileTags.end(),
                     [](const AbfFile::Tag& a, const AbfFile::Tag& b) { return a.sample < b.sample; });
    const AbfFile* failed = nullptr;
    for (auto& file : files)
        if (file && !file->close(fileTags) && !failed) failed = file.get();
    if (failed) warnWriteFailure(failed->path(), failed->errorCode(), failed->errorString());
    files.clear();
}

void AbfDataWriterConsumer::markLosses(const std::vector<SampleRing::Gap>& gaps) {
    DataWriterConsumer::markLosses(gaps);
    QMutexLocker lock(&mutex);
    for (const SampleRing::Gap& gap : gaps)
        tags.push_back({gap.row, "Lost " + lostSamplesText(gap.frames, samplingRate)});
}

void AbfDataWriterConsumer::run() {
    initRecordFile();
    // A stop still takes in what had arrived before it.
    for (bool last = false, going = true; going && !last;) {
        last = stopRequested();
        const bool filtered = filteredDataChosen();
        readRawData(*hook, readBuffer, filtered, minRows);
        going = storeBlock(int64_t(readBuffer.size()), [this](int64_t first, int64_t count) {
            return writeSamples(readBuffer.data() + first, count);
        });
    }
    takeLateLosses();
    closeRecordFile();
}

bool AbfDataWriterConsumer::writeSamples(const uint16_t* words, int64_t count) {
    const size_t width = size_t(totalChannelsNum);
    const size_t samples = size_t(count) / width;
    for (size_t s = 0; s < samples; s += passSamples) {
        const size_t n = std::min(passSamples, samples - s);
        const uint16_t* pass = words + s * width;
        for (size_t k = 0; k < files.size(); k++) {
            if (!files[k]) continue;
            const size_t column = size_t(voltageChannelsNum) + k;
            // Current and voltage words are two's complement, gp words offset binary.
            const uint16_t flip = int32_t(k) < currentChannelsNum ? 0 : 0x8000;
            for (size_t i = 0; i < n; i++) {
                const uint16_t* row = pass + i * width;
                outputBuffer[2 * i] = int16_t(row[column] ^ flip);
                outputBuffer[2 * i + 1] = int16_t(row[0]);
            }
            if (!files[k]->write(outputBuffer.data(), int64_t(n))) {
                // Every channel ends at the same frame, the last that all of them hold.
                for (auto& file : files)
                    if (file) file->truncate(files[k]->frameCount());
                return false;
            }
        }
    }
    for (auto& file : files)
        if (file && !file->update()) return false;
    return true;
}
