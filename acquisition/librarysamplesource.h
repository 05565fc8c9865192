#pragma once
// The connected devices, through the library's public functions.

#include "acquisition/samplesource.h"

class LibrarySampleSource final : public SampleSource {
  public:
    kv4cl::ErrorCodes_t getChannelCounts(uint32_t& voltageChannels, uint32_t& currentChannels,
                                         uint32_t& gpChannels) override;
    kv4cl::ErrorCodes_t getDataStatus(kv4cl::DataStatus_t& status) override;
    kv4cl::ErrorCodes_t readSamples(uint32_t frames, uint32_t& framesRead, uint16_t*& buffer,
                                    uint16_t*& unfilteredBuffer) override;
    kv4cl::ErrorCodes_t readFramesLost(std::vector<kv4cl::FramesLost_t>& losses) override;
    kv4cl::ErrorCodes_t currentFromRaw(int16_t raw, uint16_t channelIdx, double& value) override;
    kv4cl::ErrorCodes_t voltageFromRaw(int16_t raw, double& value) override;
    kv4cl::ErrorCodes_t gpFromRaw(uint16_t raw, uint16_t gpChannelIdx, double& value) override;
    std::vector<std::string> gpChannelNames() override;
};
