#pragma once
// What the producer asks of the device communication library, as an interface so that the
// producer can be built on the library (LibrarySampleSource) or on scripted data.

#include "commlib/types/kv4cltypes.h"

#include <cstdint>
#include <string>
#include <vector>

class SampleSource {
  public:
    virtual ~SampleSource() = default;

    virtual kv4cl::ErrorCodes_t getChannelCounts(uint32_t& voltageChannels, uint32_t& currentChannels,
                                                 uint32_t& gpChannels) = 0;
    virtual kv4cl::ErrorCodes_t getDataStatus(kv4cl::DataStatus_t& status) = 0;
    // The buffers hold framesRead rows of voltage, current and gp words and stay valid until
    // the next call.
    virtual kv4cl::ErrorCodes_t readSamples(uint32_t frames, uint32_t& framesRead, uint16_t*& buffer,
                                            uint16_t*& unfilteredBuffer) = 0;
    // Right after readSamples, in the same thread: the gaps in the frames handed out so far
    // that were not reported yet, oldest first (replacing the vector's contents).
    virtual kv4cl::ErrorCodes_t readFramesLost(std::vector<kv4cl::FramesLost_t>& losses) = 0;
    virtual kv4cl::ErrorCodes_t currentFromRaw(int16_t raw, uint16_t channelIdx, double& value) = 0;
    virtual kv4cl::ErrorCodes_t voltageFromRaw(int16_t raw, double& value) = 0;
    virtual kv4cl::ErrorCodes_t gpFromRaw(uint16_t raw, uint16_t gpChannelIdx, double& value) = 0;
    // Before each getDataStatus, in the producer's thread: the rows the slowest reader has not
    // read yet. A source that can wait for its readers (a recording) holds back while they lag.
    virtual void noteBacklog(uint64_t /*rows*/) {}
    // The names of the gp channels in frame order; empty where the source has none to give.
    virtual std::vector<std::string> gpChannelNames() { return {}; }
};
