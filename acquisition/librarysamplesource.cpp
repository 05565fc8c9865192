#include "acquisition/librarysamplesource.h"

#include "commlib/api/kv4cl.h"

kv4cl::ErrorCodes_t LibrarySampleSource::getChannelCounts(uint32_t& voltageChannels,
                                                          uint32_t& currentChannels, uint32_t& gpChannels) {
    return kv4cl::getChannelCounts(voltageChannels, currentChannels, gpChannels);
}

kv4cl::ErrorCodes_t LibrarySampleSource::getDataStatus(kv4cl::DataStatus_t& status) {
    return kv4cl::getDataStatus(status);
}

kv4cl::ErrorCodes_t LibrarySampleSource::readSamples(uint32_t frames, uint32_t& framesRead, uint16_t*& buffer,
                                                     uint16_t*& unfilteredBuffer) {
    return kv4cl::readSamples(frames, framesRead, buffer, unfilteredBuffer);
}

kv4cl::ErrorCodes_t LibrarySampleSource::readFramesLost(std::vector<kv4cl::FramesLost_t>& losses) {
    return kv4cl::readFramesLost(losses);
}

kv4cl::ErrorCodes_t LibrarySampleSource::currentFromRaw(int16_t raw, uint16_t channelIdx, double& value) {
    return kv4cl::currentFromRaw(raw, channelIdx, value);
}

kv4cl::ErrorCodes_t LibrarySampleSource::voltageFromRaw(int16_t raw, double& value) {
    return kv4cl::voltageFromRaw(raw, value);
}

kv4cl::ErrorCodes_t LibrarySampleSource::gpFromRaw(uint16_t raw, uint16_t gpChannelIdx, double& value) {
    return kv4cl::gpFromRaw(raw, gpChannelIdx, value);
}

std::vector<std::string> LibrarySampleSource::gpChannelNames() {
    std::vector<std::vector<kv4cl::RangedMeasurement_t>> ranges;
    std::vector<uint16_t> defaults;
    std::vector<std::string> names;
    kv4cl::getGpRanges(ranges, defaults, names);
    return names;
}
