#include "session/devicesession.h"

#include "acquisition/devicedataconsumer.h"
#include "session/offsetcompensationwatch.h"
#include "session/stimulusservice.h"

#include "commlib/api/kv4cl.h"

#include <QThread>

#include <optional>

namespace {

bool has(kv4cl::ErrorCodes_t (*query)(bool&)) {
    bool available = false;
    return query(available) == kv4cl::Success && available;
}

QString modelOfFirstDevice() {
    std::vector<std::string> ids;
    std::vector<uint8_t> versions, subversions;
    std::vector<uint32_t> firmwares;
    if (kv4cl::getConnectedDevicesInfo(ids, versions, subversions, firmwares) != kv4cl::Success ||
        versions.empty() || subversions.empty() || firmwares.empty())
        return {};
    return QString("%1.%2.%3").arg(versions[0]).arg(subversions[0]).arg(firmwares[0]);
}

} // namespace

std::unique_ptr<DeviceSession> DeviceSession::open(const std::vector<std::string>& ids,
                                                   kv4cl::ErrorCodes_t& result) {
    result = kv4cl::connect(ids);
    if (result != kv4cl::Success) return nullptr;
    return std::unique_ptr<DeviceSession>(new DeviceSession(ids.size() > 1, nullptr));
}

std::unique_ptr<DeviceSession> DeviceSession::openRecording(const QString& path, QString& error) {
    std::unique_ptr<RecordingReader> reader = RecordingReader::open(path, error);
    if (!reader) return nullptr;
    return std::unique_ptr<DeviceSession>(
        new DeviceSession(false, std::make_unique<FileSampleSource>(std::move(reader))));
}

DeviceSession::DeviceSession(bool parallel, std::unique_ptr<FileSampleSource> recording)
    : replaySource(recording.get()) {
    if (recording)
        sampleSource = std::move(recording);
    else
        sampleSource = std::make_unique<LibrarySampleSource>();
    dataProducer = std::make_unique<DeviceDataProducer>(*sampleSource);
    Features& f = deviceFeatures;
    f.channels = dataProducer->channelCounts();
    if (replaySource) return;
    kv4cl::hasChannelSwitches(f.channelSwitch, f.stimulusSelection);
    f.digitalOffsetCompensation = has(kv4cl::hasDigitalOffsetCompensation);
    f.offsetCompensationAutostop = has(kv4cl::hasDigitalOffsetCompensationAutostop);
    f.zap = has(kv4cl::hasZap);
    f.resetDenoiser = has(kv4cl::hasResetDenoiser);
    f.temperatureController = has(kv4cl::hasTemperatureControllerOption);
    f.ttlOutput = has(kv4cl::hasTtlOutput);
    std::vector<std::string> protocols, images;
    std::vector<std::vector<uint16_t>> v, t, sl, fr, a;
    f.protocols =
        kv4cl::getProtocolList(protocols, images, v, t, sl, fr, a) == kv4cl::Success && !protocols.empty();
    kv4cl::RangedMeasurement_t offsetRange, rampDurationRange, speeds;
    f.voltageOffsets = kv4cl::getVoltageOffsetControls(offsetRange, rampDurationRange) == kv4cl::Success;
    kv4cl::CompensationControl_t cFast;
    f.cFast = kv4cl::getCFastControl(cFast) == kv4cl::Success;
    f.washer = kv4cl::getWasherSpeedRange(speeds) == kv4cl::Success;
    f.parallel = parallel;
    f.model = modelOfFirstDevice();
    if (f.digitalOffsetCompensation) offsetWatch = new OffsetCompensationWatch(int(f.channels.current), this);
    if (f.protocols) stimulusService = new StimulusService(this);
}

DeviceSession::~DeviceSession() {
    stop();
    if (!replaySource) kv4cl::disconnect();
}

void DeviceSession::add(DeviceDataConsumer* consumer, const QString& filterKey) {
    filed.emplace_back(consumer, filterKey);
}

std::vector<DeviceDataConsumer*> DeviceSession::consumers() const {
    std::vector<DeviceDataConsumer*> all;
    for (const auto& [consumer, key] : filed)
        all.push_back(consumer);
    return all;
}

void DeviceSession::seedRanges() {
    const uint32_t currents = deviceFeatures.channels.current, gps = deviceFeatures.channels.gp;
    if (replaySource) {
        const std::vector<kv4cl::RangedMeasurement_t>& ranges = replaySource->ranges();
        const uint32_t voltages = deviceFeatures.channels.voltage;
        const kv4cl::Measurement_t rate{replaySource->rate(), kv4cl::UnitPfxNone, "Hz"};
        for (const auto& [consumer, key] : filed) {
            consumer->onSamplingRateChanged(rate, rate);
            if (voltages > 0) consumer->onVoltageRangeChanged(ranges[0]);
            for (uint32_t c = 0; c < currents; c++)
                consumer->onCurrentRangeChanged(ranges[voltages + c], int(c));
            for (uint32_t g = 0; g < gps; g++)
                consumer->onGpRangeChanged(ranges[voltages + currents + g], int(g));
        }
        return;
    }
    kv4cl::RangedMeasurement_t voltageRange;
    const bool haveVoltageRange = kv4cl::getVoltageRange(voltageRange) == kv4cl::Success;
    std::vector<std::optional<kv4cl::RangedMeasurement_t>> currentRanges(currents), gpRanges(gps);
    for (uint32_t c = 0; c < currents; c++)
        if (kv4cl::RangedMeasurement_t range; kv4cl::getCurrentRange(range, uint16_t(c)) == kv4cl::Success)
            currentRanges[c] = range;
    for (uint32_t g = 0; g < gps; g++)
        if (kv4cl::RangedMeasurement_t range; kv4cl::getGpRange(range, uint16_t(g)) == kv4cl::Success)
            gpRanges[g] = range;
    for (const auto& [consumer, key] : filed) {
        if (haveVoltageRange) consumer->onVoltageRangeChanged(voltageRange);
        for (uint32_t c = 0; c < currents; c++)
            if (currentRanges[c]) consumer->onCurrentRangeChanged(*currentRanges[c], int(c));
        for (uint32_t g = 0; g < gps; g++)
            if (gpRanges[g]) consumer->onGpRangeChanged(*gpRanges[g], int(g));
    }
}

void DeviceSession::start() {
    if (dataProducer) dataProducer->start();
}

void DeviceSession::stop() {
    if (!dataProducer) return;
    dataProducer->onStopProducing();
    for (const auto& [consumer, key] : filed) {
        consumer->onStopConsuming();
        delete consumer;
    }
    filed.clear();
    dataProducer.reset();
}

void DeviceSession::onSamplingRateChanged(kv4cl::Measurement_t baseSamplingRate,
                                          kv4cl::Measurement_t samplingRate) {
    for (const auto& [consumer, key] : filed)
        consumer->onSamplingRateChanged(baseSamplingRate, samplingRate);
}

void DeviceSession::onVoltageRangeChanged(kv4cl::RangedMeasurement_t range) {
    for (const auto& [consumer, key] : filed)
        consumer->onVoltageRangeChanged(range);
}

void DeviceSession::onCurrentRangeChanged(kv4cl::RangedMeasurement_t range, int channelIdx) {
    for (const auto& [consumer, key] : filed)
        consumer->onCurrentRangeChanged(range, channelIdx);
}

void DeviceSession::onGpRangeChanged(kv4cl::RangedMeasurement_t range, int channelIdx) {
    for (const auto& [consumer, key] : filed)
        consumer->onGpRangeChanged(range, channelIdx);
}

void DeviceSession::setFilteredData(const QString& filterKey, bool filtered) {
    for (const auto& [consumer, key] : filed)
        if (key == filterKey) consumer->onSetFilteredData(filtered);
}

void DeviceSession::resetDevice() {
    kv4cl::resetDevice();
}

void DeviceSession::synchronize() {
    kv4cl::holdReset(true);
    // The devices must see the reset held before it is released, or they do not all restart.
    QThread::msleep(20);
    kv4cl::flushData(true);
    kv4cl::resetDriftEstimator();
    kv4cl::holdReset(false);
}

void DeviceSession::setDenoiserEnabled(bool on) {
    kv4cl::setDenoiserEnabled(on);
}

void DeviceSession::setOffsetCompensationAutostop(bool on) {
    kv4cl::setDigitalOffsetCompensationAutostop(on);
}

void DeviceSession::selectStimulusChannel(int channelIdx, bool on) {
    kv4cl::setChannelSwitchB(uint16_t(channelIdx), on);
}

void DeviceSession::zap(int channelIdx) {
    kv4cl::zap(uint16_t(channelIdx));
}
