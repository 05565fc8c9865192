#include "recording/datawriterconsumer.h"

#include "acquisition/valuelabel.h"
#include "commlib/api/kv4cl.h"
#include "recording/recordingplan.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QMutexLocker>

#include <algorithm>
#include <cmath>
#include <limits>

QString kdhHeader(QString text, const kv4cl::RangedMeasurement_t& currentRange,
                  const kv4cl::Measurement_t& samplingRate, const QDateTime& time,
                  const QByteArray& activeChannels, std::optional<uint16_t> oversamplingRatio,
                  const std::optional<DigitalFilter>& filter, const QStringList& columns,
                  const QStringList& scales) {
    QString channels;
    for (int i = 0; i < activeChannels.size(); i++)
        if (activeChannels[i]) channels += " " + QString::number(i + 1);
    text.replace("%currentRange%", valueLabel(currentRange));
    // The label's number is cut to 8 characters; a reader finds the exact rate on a line of its own.
    const QString rateLabel = "Sampling frequency (SR): %samplingRate%\n";
    text.replace(rateLabel, rateLabel + "Sampling rate [Hz]: " +
                                QString::number(samplingRate.getNoPrefixValue(), 'g', 17) + "\n");
    text.replace("%samplingRate%", valueLabel(samplingRate));
    text.replace("%dateHour%", time.toString("dd/MM/yy hh:mm:ss.zzz"));
    text.replace("%activeChannels%", channels);
    if (oversamplingRatio) {
        text.replace("%oversamplingRatio%", QString::number(*oversamplingRatio));
        text.replace("%oversamplingFlag%", "enabled");
    }
    if (filter) {
        const QString bandwidth = "Final Bandwidth: SR/2 (no filter)\n";
        text.replace(bandwidth,
                     bandwidth + QString("Digital filter: %1 pass, cut-off %2\n")
                                     .arg(filter->lowPass ? "low" : "high", valueLabel(filter->cutoff)));
    }
    return text + "Columns: " + columns.join("; ") + "\n" + "Column scales: " + scales.join("; ") + "\n";
}

DataWriterConsumer::DataWriterConsumer(DeviceDataProducer* producer, int writerFormat,
                                       const QString& dataExtension, const QString& suffix)
    : DeviceDataConsumer(producer), writerFormat(writerFormat), dataExtension(dataExtension), suffix(suffix),
      pendingActiveChannels(currentChannelsNum + gpChannelsNum, char(1)),
      pendingValuesPerSample(totalChannelsNum) {
    // Emitted in the writer's thread, so that a recording that ends by itself is reported too.
    connect(
        this, &QThread::started, this, [this] { emit recording(true); }, Qt::DirectConnection);
    connect(
        this, &QThread::finished, this, [this] { emit recording(false); }, Qt::DirectConnection);
}

void DataWriterConsumer::setChannelActive(int channelIdx, bool active) {
    if (channelIdx < 0 || channelIdx >= pendingActiveChannels.size()) return;
    pendingActiveChannels[channelIdx] = char(active);
    pendingValuesPerSample = voltageChannelsNum + int32_t(pendingActiveChannels.count(char(1)));
}

void DataWriterConsumer::onStartConsuming() {
    onStopConsuming();
    activeChannels = pendingActiveChannels;
    valuesPerSampleWritten = pendingValuesPerSample;
    if (!plan || plan->format != writerFormat) return;

    continuation = false;
    if (!openRecordFile()) {
        warn("Couldn't open the recording file");
        return;
    }
    tagPending = false;
    tagCounter = 1;
    valuesConsumed = 0;
    recordSettings = plan->settings;
    const int64_t width = totalChannelsNum;
    totalLimit = recordSettings.unlimitedRecording ? -1 : std::llround(recordSettings.recordLength) * width;
    // At least a sample per chunk, or a block would switch files without end.
    int64_t chunkSamples =
        recordSettings.chunksEnabled ? std::max<int64_t>(1, std::llround(recordSettings.chunkLength)) : -1;
    if (maxFileSamples > 0 && (chunkSamples < 0 || chunkSamples > maxFileSamples))
        chunkSamples = maxFileSamples;
    chunkLimit = chunkSamples < 0 ? -1 : chunkSamples * width;
    sweepValues = recordSettings.sweepsEnabled ? std::llround(recordSettings.sweepLength) * width : -1;
    remainingValues = totalLimit;
    startConsuming();
}

void DataWriterConsumer::onStopConsuming() {
    stopConsuming();
}

void DataWriterConsumer::onMarkTagTime() {
    if (tagPending) onSaveTagString(QString("Empty tag %1").arg(tagCounter++));
    QMutexLocker lock(&mutex);
    tagRow = producer->rowsProduced();
    tagPending = true;
}

void DataWriterConsumer::onSaveTagString(QString) {
    tagPending = false;
}

void DataWriterConsumer::initRecordFile() {
    {
        QMutexLocker lock(&mutex);
        fileStartTime = QDateTime::currentDateTime();
    }
    // The first file starts where the hook does, a further chunk where the full one before ended.
    if (valuesConsumed > 0) {
        fileFirstFrame += uint64_t(valuesConsumed / totalChannelsNum);
    } else {
        fileFirstFrame = 0;
        recordingFirstRow = hook->row;
        laps.clear();
        unannounced.clear();
        // Before the first read: the gaps in the rows read are marked in the recording.
        hook->keepGaps = true;
    }
    valuesConsumed = 0;
    if (chunkLimit >= 0) {
        if (remainingValues > chunkLimit) {
            moreChunks = true;
            remainingValues -= chunkLimit;
            fileLimit = chunkLimit;
        } else if (remainingValues >= 0) {
            moreChunks = false; // the last chunk
            fileLimit = remainingValues;
        } else { // no total limit
            moreChunks = true;
            fileLimit = chunkLimit;
        }
    } else {
        moreChunks = false;
        fileLimit = recordSettings.unlimitedRecording ? std::numeric_limits<int64_t>::max() : totalLimit;
    }
    // The rate and ranges then stay those of the file's start.
    applyPendingChanges();
}

void DataWriterConsumer::takeGaps() {
    if (hook->gaps.empty()) return;
    for (const SampleRing::Gap& gap : hook->gaps)
        if (gap.rowsSkipped > 0) laps.emplace_back(gap.row, gap.rowsSkipped);
    markLosses(hook->gaps);
    hook->gaps.clear();
}

void DataWriterConsumer::takeLateLosses() {
    awaitBreakSized(*hook);
    takeGaps();
    announceLosses();
}

void DataWriterConsumer::markLosses(const std::vector<SampleRing::Gap>& gaps) {
    for (const SampleRing::Gap& gap : gaps)
        unannounced.emplace_back(frameOfRow(gap.row), gap.frames);
}

void DataWriterConsumer::announceLosses() {
    // A gap right after a file's last frame lies before the next file's first.
    const uint64_t end = fileFirstFrame + uint64_t(valuesConsumed / totalChannelsNum);
    std::erase_if(unannounced, [&](const std::pair<uint64_t, uint64_t>& loss) {
        if (loss.first >= end) return false;
        emit lossInFile(loss.second, samplingRate, fileName,
                        loss.first - std::min(loss.first, fileFirstFrame));
        return true;
    });
}

uint64_t DataWriterConsumer::frameOfRow(uint64_t row) const {
    uint64_t frame = row - std::min(row, recordingFirstRow);
    for (const auto& [resumed, skipped] : laps) {
        if (row >= resumed)
            frame -= skipped;
        else if (row + skipped > resumed) // skipped itself
            frame -= row + skipped - resumed;
    }
    return frame;
}

bool DataWriterConsumer::beginRecordFile(QString& path) {
    QString displayName;
    path = plan->fileName(continuation, suffix, dataExtension, displayName);
    // A file per channel has the channel's number in place of "%1": losses are told of them together.
    fileName = QFileInfo(path).fileName().replace("%1", "*");
    if (!writeHeader()) return false;
    emit newRecordFile(displayName);
    continuation = true;
    return true;
}

bool DataWriterConsumer::writeHeader() {
    std::string text;
    kv4cl::getHeaderTemplate(text);
    kv4cl::RangedMeasurement_t range;
    kv4cl::getCurrentRange(range, 0);
    kv4cl::Measurement_t rate;
    kv4cl::getSamplingRate(rate);
    uint16_t ratio = 0;
    std::optional<uint16_t> oversampling;
    if (kv4cl::getOversamplingRatio(ratio) == kv4cl::Success) oversampling = ratio;
    std::optional<DigitalFilter> filter;
    DigitalFilter chosen{};
    bool inEffect = false;
    if (filteredDataChosen() &&
        kv4cl::getDigitalFilter(chosen.cutoff, chosen.lowPass, inEffect) == kv4cl::Success && inEffect)
        filter = chosen;

    const QString folder = plan->folder();
    if (!QDir(folder).exists() && !QDir().mkdir(folder)) return false;
    QFile header(folder + plan->recordName() + ".kdh");
    if (!header.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) return false;
    QStringList columns, scales;
    fileColumns(columns, scales);
    const QByteArray bytes =
        kdhHeader(QString::fromStdString(text), range, rate, QDateTime::currentDateTime(), activeChannels,
                  oversampling, filter, columns, scales)
            .toUtf8();
    return header.write(bytes) == bytes.size();
}

void DataWriterConsumer::fileColumns(QStringList& columns, QStringList& scales) {
    // The ranges the file starts with: those its start applies.
    QMutexLocker lock(&mutex);
    // A gp code is unsigned: its value is code x step + min, the signed code's zero 32768 steps up.
    const auto column = [&](const QString& name, const kv4cl::RangedMeasurement_t& range,
                            bool unsignedCodes) {
        columns << QString("%1 [%2]").arg(name, QString::fromStdString(range.label()));
        scales << QString::number(range.step, 'g', QLocale::FloatingPointShortest) + " " +
                      QString::number(unsignedCodes ? range.min + 32768 * range.step : 0.0, 'g',
                                      QLocale::FloatingPointShortest);
    };
    for (int c = 0; c < currentChannelsNum; c++)
        if (activeChannels[c]) column(QString("Ch%1").arg(c + 1), pendingCurrentRanges[size_t(c)], false);
    for (int g = 0; g < gpChannelsNum; g++)
        if (activeChannels[currentChannelsNum + g])
            column(producer->gpChannelNames()[g], pendingGpRanges[size_t(g)], true);
    for (int v = 0; v < voltageChannelsNum; v++)
        column(QString("V%1").arg(v + 1), pendingVoltageRange, false);
}

bool DataWriterConsumer::storeBlock(int64_t count,
                                    const std::function<bool(int64_t first, int64_t count)>& write) {
    takeGaps();
    for (int64_t done = 0;;) {
        const int64_t part = std::min(count - done, fileLimit - valuesConsumed);
        if (!write(done, part)) return false;
        done += part;
        valuesConsumed += part;
        announceLosses();
        if (valuesConsumed < fileLimit) return true;
        if (!moreChunks) return false;
        switching = true;
        closeRecordFile();
        const bool opened = openRecordFile();
        switching = false;
        if (!opened) {
            warn("Couldn't open the recording file");
            return false;
        }
        initRecordFile();
    }
}

void DataWriterConsumer::warnWriteFailure(const QString& path, QFileDevice::FileError error,
                                          const QString& errorString) {
    // Qt reports a full disk, the likely cause, as a resource error.
    const QString cause = error == QFileDevice::ResourceError ? "no space left on the device" : errorString;
    warn(QString("Couldn't write the recording file in %1: %2. The recording stopped; what was recorded "
                 "until then is kept.")
             .arg(QDir::toNativeSeparators(QFileInfo(path).absolutePath()), cause));
}
