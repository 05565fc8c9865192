#include "recording/datdatawriterconsumer.h"

#include "app/samplering.h"

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
    file.setFileName(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate);
}

void DatDataWriterConsumer::closeRecordFile() {
    file.close();
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
    for (size_t s = 0; s < samples;) {
        const size_t passEnd = std::min(samples, s + samplesPerPass);
        float* out = outputBuffer.data();
        for (; s < passEnd; s++) {
            const double* sample = values + s * size_t(totalChannelsNum);
            for (int32_t offset : frameLayout)
                qToLittleEndian(float(sample[offset]), out++);
        }
        const qint64 bytes = qint64(out - outputBuffer.data()) * qint64(sizeof(float));
        if (file.write(reinterpret_cast<const char*>(outputBuffer.data()), bytes) != bytes) {
            warn(QString("Couldn't write the recording file: %1").arg(file.errorString()));
            return false;
        }
    }
    return true;
}
