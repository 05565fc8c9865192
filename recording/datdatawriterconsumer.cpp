#include "recording/datdatawriterconsumer.h"

#include "app/pipeline/samplering.h"

#include <QMutexLocker>
#include <QtEndian>

#include <algorithm>

DatDataWriterConsumer::DatDataWriterConsumer(DeviceDataProducer* producer)
    : DataWriterConsumer(producer, 0, ".dat", "") {
    // A full ring's worth, so that reads do not allocate.
    readBuffer.reserve(size_t(totalChannelsNum) * SampleRing::rowCount);
}

DatDataWriterConsumer::~DatDataWriterConsumer() {
    stopConsuming();
}

bool DatDataWriterConsumer::openRecordFile() {
    QString path;
    if (!beginRecordFile(path)) return false;
    file = newDataFile();
    file->setFileName(path);
    framesInFile = 0;
    // Every write is a whole pass already; unbuffered, a failure shows at the write that
    // failed, while the frames before it are known.
    return file->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered);
}

void DatDataWriterConsumer::closeRecordFile() {
    if (file) file->close();
}

void DatDataWriterConsumer::run() {
    frameLayout.clear();
    for (int32_t i = 0; i < activeChannels.size(); i++)
        if (activeChannels[i]) frameLayout.push_back(voltageChannelsNum + i);
    for (int32_t v = 0; v < voltageChannelsNum; v++)
        frameLayout.push_back(v);

    initRecordFile();
    // A stop still takes in what had arrived before it.
    for (bool last = false, going = true; going && !last;) {
        last = stopRequested();
        const bool filtered = filteredDataChosen();
        readValues(*hook, readBuffer, filtered, 0, minRows);
        going = storeBlock(int64_t(readBuffer.size()), [this](int64_t first, int64_t count) {
            return writeFrames(readBuffer.data() + first, count);
        });
    }
    closeRecordFile();
}

bool DatDataWriterConsumer::writeFrames(const double* values, int64_t count) {
    const size_t samples = size_t(count / totalChannelsNum);
    const size_t samplesPerPass = outputSize / frameLayout.size();
    const qint64 frameBytes = qint64(frameLayout.size() * sizeof(float));
    for (size_t s = 0; s < samples;) {
        const size_t passEnd = std::min(samples, s + samplesPerPass);
        const qint64 bytes = qint64(passEnd - s) * frameBytes;
        float* out = outputBuffer.data();
        for (; s < passEnd; s++) {
            const double* sample = values + s * size_t(totalChannelsNum);
            for (int32_t offset : frameLayout)
                qToLittleEndian(float(sample[offset]), out++);
        }
        const char* data = reinterpret_cast<const char*>(outputBuffer.data());
        // A short write is retried, so that a failure comes with its cause.
        qint64 written = 0;
        for (qint64 w = 0; written < bytes; written += w)
            if ((w = file->write(data + written, bytes - written)) <= 0) break;
        if (written < bytes) {
            warnWriteFailure(file->fileName(), file->error(), file->errorString());
            // A reader takes the file as frames from its start: a part of one goes.
            file->resize(framesInFile * frameBytes);
            return false;
        }
        framesInFile += bytes / frameBytes;
    }
    return true;
}
