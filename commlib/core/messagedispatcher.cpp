#include "commlib/core/messagedispatcher.h"

#include "commlib/core/diagnostics.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <new>

namespace kv4CommLib {

using namespace kv4cl;

namespace {
// Nearest integer, halves away from zero, for values already clamped to 16 bits; the
// library call costs a fifth of the whole receive path.
inline int32_t roundHalfAway(double y) {
    const int32_t whole = int32_t(y);
    const double frac = y - whole;
    return whole + (frac >= 0.5) - (frac <= -0.5);
}

void sleepMicroseconds(uint32_t us) {
    std::this_thread::sleep_for(std::chrono::microseconds(us));
}
} // namespace

MessageDispatcher::MessageDispatcher(std::string id) : deviceId(std::move(id)) {
    // Placeholders until the model fills its tables.
    baseSamplingRate = {1.0, UnitPfxKilo, "Hz"};
    samplingRate = baseSamplingRate;
    samplingPeriod = {1.0, UnitPfxMilli, "s"};
    protocolVoltageValidity = {0.0, 0.0, 1.0, UnitPfxNone, "UNDEFINED"};
}

MessageDispatcher::~MessageDispatcher() {
    if (connected) MessageDispatcher::disconnect();
    releaseBuffers();
}

// ---- Lifecycle ----------------------------------------------------------------------------------

ErrorCodes_t MessageDispatcher::initBuffers() {
    try {
        rxRing.reset(new (std::nothrow) uint8_t[rxRingBytes]);
        const size_t ringWords = size_t(frameRingFrames) * wordsPerSample;
        filteredRing.reset(new (std::nothrow) uint16_t[ringWords]);
        unfilteredRing.reset(new (std::nothrow) uint16_t[ringWords]);
        readBuffer.reset(new (std::nothrow) uint16_t[readBufferBytes / 2]);
        unfilteredReadBuffer.reset(new (std::nothrow) uint16_t[readBufferBytes / 2]);
        if (!rxRing || !filteredRing || !unfilteredRing || !readBuffer || !unfilteredReadBuffer) {
            releaseBuffers();
            return ErrorResourcesInitialization;
        }
        packetScratch.assign(packetBytes, 0);
        clockSamples.assign(clockSamplesNum, ClockSample{});
        txQueue.assign(txQueueSlots, std::vector<uint8_t>(txMessageBytes, 0));
        txStaging.assign(txMessageBytes, 0);
        txMessage.resize(txMessageBytes, 0);

        filterIn.assign(size_t(currentChannelsNum) * 3, 0.0);
        filterOut.assign(size_t(currentChannelsNum) * 3, 0.0);
        denoiserTemplates.assign(size_t(currentChannelsNum) * denoiserTemplateMax, 0.0);
        denoiserMeans.assign(currentChannelsNum, 0.0);

        resetSelection();
    } catch (const std::bad_alloc&) {
        releaseBuffers();
        return ErrorResourcesInitialization;
    }
    // A merged read must fit the read buffers.
    maxOutputFrames = std::min<uint32_t>(maxOutputFrames, readBufferBytes / 2 / wordsPerSample);

    if (isDiagnosticEnabled(DiagnosticTx))
        txLog = std::fopen(diagnosticPath("kv4CommLib_tx.txt").c_str(), "wb");
    if (isDiagnosticEnabled(DiagnosticRxRaw))
        rxRawLog = std::fopen(diagnosticPath("kv4CommLib_rxRaw.txt").c_str(), "wb");
    updateRxPacing();
    return Success;
}

void MessageDispatcher::resetSelection() {
    // Selection state starts at the model's defaults, so conversions are right before any setter runs.
    selectedCurrentRangeIdx.assign(currentChannelsNum, defaultCurrentRangeIdx);
    const RangedMeasurement defaultRange =
        currentRanges.empty() ? RangedMeasurement{} : currentRanges[defaultCurrentRangeIdx];
    selectedCurrentRanges.assign(currentChannelsNum, defaultRange);
    selectedCurrentRange = defaultCurrentRangeIdx;
    selectedGpRangeIdx = defaultGpRangeIdx;
    selectedGpRangeIdx.resize(gpChannelsNum, 0);
    if (defaultVoltageRangeIdx < voltageRanges.size()) selectedVoltageRangeIdx = defaultVoltageRangeIdx;
    {
        std::lock_guard lock(dataMutex);
        const size_t words = 1 + size_t(currentChannelsNum) + gpChannelsNum;
        wordStep = std::vector<std::atomic<double>>(words);
        wordOffset = std::vector<std::atomic<double>>(words);
        rangeSwitches.clear();
        selectWordRanges(0);
    }
    for (auto& family : protocolParameters)
        family.values = family.defaults;
    switchBankA.assign(currentChannelsNum, false);
    switchBankB.assign(currentChannelsNum, false);
    selectedVoltageReferenceRangeIdx = defaultVoltageReferenceRangeIdx;
    selectedCompensationChannel = 0;
    const RangedMeasurement& cFastRange = cFast.control.range;
    cFastValues.assign(currentChannelsNum, {cFast.control.defaultValue, cFastRange.prefix, cFastRange.unit});
    cFastEnabled.assign(currentChannelsNum, false);
    for (int f = 0; f < FastPulsesFieldsNum; f++) {
        const RangedMeasurement& r = fastPulses.ranges[f];
        const bool segment = f == SegmentVoltage || f == SegmentDuration;
        // Rows start at zero volts and the shortest times.
        fastPulses.values[f].assign(segment ? fastPulses.segments : fastPulses.pulses,
                                    {std::clamp(0.0, r.min, r.max), r.prefix, r.unit});
    }
}

void MessageDispatcher::releaseBuffers() {
    rxRing.reset();
    filteredRing.reset();
    unfilteredRing.reset();
    readBuffer.reset();
    unfilteredReadBuffer.reset();
    if (txLog) std::fclose(txLog);
    if (rxRawLog) std::fclose(rxRawLog);
    txLog = rxRawLog = nullptr;
}

ErrorCodes_t MessageDispatcher::openTransport() {
    transport.deviceId = deviceId;
    transport.rxChannel = rxChannel;
    transport.txChannel = txChannel;
    transport.syncFifo = syncFifo;
    const ErrorCodes_t err = transport.open();
    if (err != Success) return err;
    rxReadIdx = rxWriteIdx = rxPending = 0;
    inSync = false;
    rxReceived = clockSamplesTaken = 0;
    trusted = false;
    gap.open = false;
    {
        std::lock_guard lock(dataMutex);
        infoIndexStuck = false;
        losses.clear();
        framesHandedOut = 0;
        flushesSeen = flushes;
    }
    std::lock_guard lock(txMutex);
    txWriteSlot = txReadSlot = txCount = 0;
    // The device's rate is ours from our first message on.
    clockRestartMessage = txQueued + 1;
    return Success;
}

ErrorCodes_t MessageDispatcher::connect(std::unique_ptr<FtdiEeprom> deviceEeprom) {
    if (connected) return ErrorDeviceAlreadyConnected;
    connected = true;
    eeprom = std::move(deviceEeprom);
    const ErrorCodes_t err = openTransport();
    if (err != Success) return err;

    std::fill(switchBankA.begin(), switchBankA.end(), false);
    std::fill(switchBankB.begin(), switchBankB.end(), false);
    configureDenoiser(denoiserPeriod, denoiserAlpha, denoiserSuspended);
    stopRequested = false;
    setDigitalFilter({30.0, UnitPfxKilo, "Hz"}, true, false);
    startThreads();

    // The device needs the reset pulse to settle before it takes its configuration.
    resetDevice();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    initializeDevice();
    sendMessage();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return Success;
}

ErrorCodes_t MessageDispatcher::disconnect() {
    if (!connected || stopping) return ErrorDeviceNotConnected;
    stopping = true;
    stopRequested = true;
    stopThreads();
    releaseBuffers();
    if (spiMode) {
        calibrationMemory.close();
        spiMode = false;
    } else if (transport.isOpen()) {
        // A failing close still lets the teardown finish: the handles are lost either way.
        transport.close();
    }
    eeprom.reset();
    connected = false;
    stopping = false;
    return Success;
}

void MessageDispatcher::startThreads() {
    stopRequested = false;
    {
        std::lock_guard lock(txMutex);
        threadsRunning = true;
    }
    rxThread = std::thread(&MessageDispatcher::rxLoop, this);
    txThread = std::thread(&MessageDispatcher::txLoop, this);
}

void MessageDispatcher::stopThreads() {
    if (!threadsRunning) return;
    {
        std::lock_guard lock(txMutex);
        stopRequested = true;
    }
    txNotEmpty.notify_all();
    txThread.join();
    rxThread.join();
    {
        std::lock_guard lock(txMutex);
        threadsRunning = false;
    }
    // A setter blocked on a full queue must not wait for a thread that is gone.
    txNotFull.notify_all();
}

// ---- Receive path -------------------------------------------------------------------------------

void MessageDispatcher::updateRxPacing() {
    const double rate = samplingRate.getNoPrefixValue();
    if (rate <= 0.0 || packetBytes == 0 || samplesPerPacket <= 0) return;
    const uint32_t maxP = uint32_t(std::ceil(rate * 0.05 / samplesPerPacket));
    const uint32_t minP = std::min(uint32_t(std::ceil(2048.0 / packetBytes)), maxP);
    maxPackets = maxP;
    minPackets = minP;
    maxWaits = maxP / minP + 2;
    waitMicroseconds = uint32_t(std::ceil(samplesPerPacket * minP / rate * 1.0e6));
    const double bytes = rate * packetBytes / samplesPerPacket;
    if (byteRate.exchange(bytes) == bytes) return;
    std::lock_guard lock(txMutex);
    rateUnqueued = true;
}

uint32_t MessageDispatcher::ringWord32(uint32_t offset) const {
    const uint32_t i = rxReadIdx + offset;
    return uint32_t(rxRing[i & rxRingMask]) << 24 | uint32_t(rxRing[(i + 1) & rxRingMask]) << 16 |
           uint32_t(rxRing[(i + 2) & rxRingMask]) << 8 | uint32_t(rxRing[(i + 3) & rxRingMask]);
}

int MessageDispatcher::infoIndex(uint32_t offset, uint32_t cycle) const {
    if (cycle == 0) return -1;
    const uint8_t index = rxRing[(rxReadIdx + offset + 4) & rxRingMask];
    return index < cycle ? index : -1;
}

void MessageDispatcher::resynchronise() {
    dropReceivedBytes();
    ftPurge(transport.dataHandle, FT_PURGE_RX);
    // The polls since the last read counted bytes that will never arrive.
    if (clockSamplesTaken > 0 && clockSamples[(clockSamplesTaken - 1) % clockSamplesNum].first == rxReceived)
        clockSamplesTaken--;
}

void MessageDispatcher::dropReceivedBytes() {
    rxReadIdx = rxWriteIdx;
    rxPending = 0;
    inSync = false;
    rxFlushed = false;
}

void MessageDispatcher::rxLoop() {
    { std::lock_guard lock(dataMutex); }
    uint32_t waits = 0;
    while (!stopRequested) {
        DWORD queued = 0;
        if (ftGetQueueStatus(transport.dataHandle, &queued) != FT_OK) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        noteClock(queued);
        if (queued > 0 && !dataSeen) {
            {
                std::lock_guard lock(txMutex);
                dataSeen = true;
            }
            txNotEmpty.notify_all();
        }
        const uint32_t packetsQueued = queued / packetBytes;
        if (packetsQueued < minPackets && waits < maxWaits) {
            waits++;
            sleepMicroseconds(waitMicroseconds);
            continue;
        }
        if (waits >= maxWaits) {
            // The stream stalled: whatever is half received cannot be trusted any more.
            resynchronise();
            waits = 0;
            continue;
        }
        waits = 0;

        const uint32_t n = std::min({uint32_t(queued), rxRingBytes - rxPending, rxRingBytes - rxWriteIdx});
        if (n > 0) {
            DWORD got = 0;
            std::lock_guard lock(rxMutex);
            if (rxFlushed) {
                dropReceivedBytes();
                continue;
            }
            if (ftRead(transport.dataHandle, rxRing.get() + rxWriteIdx, n, &got) != FT_OK || got == 0)
                continue;
            if (rxRawLog) {
                std::fwrite(rxRing.get() + rxWriteIdx, 1, got, rxRawLog);
                std::fflush(rxRawLog);
            }
            rxWriteIdx = (rxWriteIdx + got) & rxRingMask;
            rxPending += got;
            rxReceived += got;
        }
        // Parse in batches of about 50 ms so the reader's lock is taken a few times a second.
        if (rxPending / packetBytes < maxPackets) continue;
        scanReceivedBytes();
    }
}

void MessageDispatcher::scanReceivedBytes() {
    const uint32_t cycle = infoCycle();
    for (;;) {
        if (!inSync) {
            uint32_t pos = 0;
            while (pos + 4 <= rxPending && ringWord32(pos) != syncWord)
                pos++;
            if (pos + 4 > rxPending) {
                // No marker: keep the last three bytes, a marker may be starting there.
                const uint32_t drop = rxPending > 3 ? rxPending - 3 : 0;
                rxReadIdx = (rxReadIdx + drop) & rxRingMask;
                rxPending -= drop;
                return;
            }
            rxReadIdx = (rxReadIdx + pos) & rxRingMask;
            rxPending -= pos;
        }
        // A packet counts only when the next packet's marker is already here and, where packets
        // carry an info index, the next index follows its own. Before an index that skips,
        // packets went missing between intact markers, and the packet there may be the two halves
        // of packets joined where the bytes lost were a whole number of packets long: it goes too.
        // A packet that does not start where the last one parsed ended resumes after a gap.
        // An index that repeats itself is stuck rather than skipping: it can no longer tell a
        // loss, so the packets are kept and the stuck index is reported instead.
        const uint32_t needed = packetBytes + 4 + (cycle > 0 ? 1 : 0);
        const uint64_t first = rxReceived - rxPending;
        uint32_t counted = 0;
        uint32_t pos = 0;
        bool resumes = false;
        bool untrusted = false;
        bool stuck = infoIndexStuck;
        bool known = trusted;
        uint64_t end = trustedEnd;
        int last = trustedInfo;
        while (rxPending - pos >= needed && ringWord32(pos + packetBytes) == syncWord) {
            int index = infoIndex(pos, cycle);
            if (known && first + pos != end)
                resumes = true; // only ever the first packet of a pass
            else if (index < 0 && last >= 0)
                index = int((last + 1) % cycle);
            const int next = infoIndex(pos + packetBytes, cycle);
            if (index >= 0 && next >= 0) {
                const bool moves = next == int((index + 1) % cycle);
                if (!moves && next != index) {
                    untrusted = true;
                    break;
                }
                stuck = !moves;
            }
            known = true;
            end = first + pos + packetBytes;
            last = index;
            counted++;
            pos += packetBytes;
        }
        const bool lost = !untrusted && rxPending - pos >= needed;
        if (counted > 0 || lost) {
            std::lock_guard lock(dataMutex);
            // Parsed after a flush, they would reach readers who asked for what follows it.
            if (rxFlushed) {
                dropReceivedBytes();
                return;
            }
            if (counted > 0) {
                if (flushedSinceLastLook() || !trusted) {
                    segmentStart = first;
                    segmentClock = std::numeric_limits<double>::infinity();
                } else if (resumes)
                    openGap(first, stuck ? -1 : infoIndex(0, cycle));
                const uint64_t stored = framesHandedOut + availableFrames;
                parsePackets(counted);
                markRangeSwitches(first, counted, stored);
                if (stuck && !infoIndexStuck) dataLost = true;
                infoIndexStuck = stuck;
                trusted = true;
                trustedEnd = end;
                trustedInfo = last;
            }
            if (lost) dataLost = true;
        }
        if (untrusted) pos += packetBytes; // the next marker is intact: stay in step
        rxReadIdx = (rxReadIdx + pos) & rxRingMask;
        rxPending -= pos;
        if (untrusted) continue;
        if (!lost) {
            inSync = true;
            return;
        }
        // The packet before the missing marker cannot be trusted: search again one byte into it.
        rxReadIdx = (rxReadIdx + 1) & rxRingMask;
        rxPending -= 1;
        inSync = false;
    }
}

void MessageDispatcher::noteClock(uint32_t queued) {
    const double now =
        std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    // A gap whose stream stopped again is sized with the polls it has.
    if (gap.open && now - gap.openedAt > gapWaitSeconds) {
        std::lock_guard lock(dataMutex);
        if (!flushedSinceLastLook()) settleGap(closeGap());
    }
    // A new rate starts a new stretch: its polls and the older ones time bytes differently. A gap
    // still waiting for polls is sized with those it has.
    const uint64_t restart = clockRestartMessage.load();
    if (restart > clockRestartSeen && txWritten.load() >= restart) {
        clockRestartSeen = restart;
        std::lock_guard lock(dataMutex);
        if (gap.open && !flushedSinceLastLook()) settleGap(closeGap());
        segmentStart = rxReceived;
        segmentClock = std::numeric_limits<double>::infinity();
    }
    // An empty queue says nothing about the bytes still to come.
    const double rate = byteRate.load(std::memory_order_relaxed);
    if (queued == 0 || rate <= 0.0 || clockSamples.empty()) return;
    const uint64_t end = rxReceived + queued;
    const double bound = now - double(end) / rate;
    ClockSample& previous = clockSamples[(clockSamplesTaken + clockSamplesNum - 1) % clockSamplesNum];
    if (clockSamplesTaken > 0 && previous.first == rxReceived) {
        // Polls between two reads (waiting, stalled, reads that gave nothing) make one sample.
        previous.end = std::max(previous.end, end);
        previous.bound = std::min(previous.bound, bound);
    } else {
        clockSamples[clockSamplesTaken++ % clockSamplesNum] = {rxReceived, end, bound};
        if (gap.open) gap.samples++;
    }
    if (!gap.open) return;
    // Polls after the gap was found only see bytes that followed it.
    gap.after = std::min(gap.after, bound);
    if (gap.samples < clockSamplesUsed) return;
    std::lock_guard lock(dataMutex);
    if (!flushedSinceLastLook()) settleGap(closeGap());
}

bool MessageDispatcher::flushedSinceLastLook() {
    if (flushes == flushesSeen) return false;
    flushesSeen = flushes;
    trusted = false;
    gap.open = false;
    return true;
}

void MessageDispatcher::openGap(uint64_t resumedAt, int resumedInfo) {
    if (gap.open) settleGap(closeGap());
    gap.open = true;
    gap.openedAt = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    gap.from = trustedEnd;
    gap.to = resumedAt;
    const uint32_t cycle = infoCycle();
    const bool indexed = cycle > 1 && trustedInfo >= 0 && resumedInfo >= 0 && !infoIndexStuck;
    gap.cycle = indexed ? cycle : 1;
    gap.residue = indexed ? uint32_t(resumedInfo + 2 * int(cycle) - trustedInfo - 1) % cycle : 0;
    // The newest polls that saw only bytes of the stretch before the gap, and every poll that
    // saw only bytes after it. Polls between two reads make one sample, so a stretch's first
    // sample may also hold polls from before the bytes at its head were lost: it is left out.
    const double none = std::numeric_limits<double>::infinity();
    double before = none;
    uint32_t beforeSamples = 0;
    gap.after = none;
    gap.samples = 0;
    const uint64_t oldest = clockSamplesTaken > clockSamplesNum ? clockSamplesTaken - clockSamplesNum : 0;
    for (uint64_t i = clockSamplesTaken; i-- > oldest;) {
        const ClockSample& c = clockSamples[i % clockSamplesNum];
        if (c.first <= segmentStart) break;
        if (c.first > resumedAt) {
            gap.after = std::min(gap.after, c.bound);
            gap.samples++;
        } else if (c.end <= gap.from && beforeSamples < clockSamplesUsed) {
            before = std::min(before, c.bound);
            beforeSamples++;
        }
    }
    before = std::min(before, segmentClock);
    gap.before = before < none ? before : std::numeric_limits<double>::quiet_NaN();
    segmentStart = resumedAt;
    segmentClock = none;
    losses.push_back(Loss{0, framesHandedOut + availableFrames, false, false});
    if (gap.samples >= clockSamplesUsed) settleGap(closeGap());
}

uint64_t MessageDispatcher::closeGap() {
    gap.open = false;
    segmentClock = gap.after;
    // Whole packets went: at least the bytes received in the gap, as many more as the clock
    // moved on, to the nearest count the info index allows.
    const uint64_t received = gap.to - gap.from;
    const uint64_t least = (received + packetBytes - 1) / packetBytes;
    uint64_t packets = least + (gap.residue + gap.cycle - least % gap.cycle) % gap.cycle;
    if (!std::isnan(gap.before) && gap.samples > 0) {
        const double lostBytes = (gap.after - gap.before) * byteRate.load(std::memory_order_relaxed);
        const double estimate = (double(received) + lostBytes) / packetBytes;
        if (estimate > double(packets))
            packets += gap.cycle * uint64_t(std::llround((estimate - double(packets)) / gap.cycle));
    }
    return packets * uint64_t(samplesPerPacket);
}

void MessageDispatcher::settleGap(uint64_t frames) {
    const auto l = std::find_if(losses.begin(), losses.end(), [](const Loss& x) { return !x.counted; });
    if (l == losses.end()) return;
    if (frames == 0) {
        losses.erase(l);
        return;
    }
    l->frames = frames;
    l->counted = true;
}

void MessageDispatcher::parsePackets(uint32_t count) {
    parsePacketBatch(count, true, 0, 0);
}

void MessageDispatcher::parsePacketBatch(uint32_t count, bool hasInfoBytes, uint16_t voltageWordOffset,
                                         uint16_t currentWordOffset) {
    // The per-word work differs with the denoiser and the filter: each mix gets its own loop,
    // so the inner loop carries no test of either.
    const bool denoise = denoiserEnabled && !denoiserSuspended;
    const bool filter = b1 != 0.0 || b2 != 0.0 || a1 != 0.0 || a2 != 0.0 || b0 != 1.0;
    const ParseWords words{hasInfoBytes, voltageWordOffset, currentWordOffset};
    // A ring read empty starts again at its start, and so does one that has run past its first
    // pages with few frames unread, those moved there: parallel devices are read only as far as
    // every one of them has come, so some always hold a few frames more. The frames then stay
    // within the pages that the reader's largest backlog needed, and the rest of the ring
    // (hundreds of MB for many channels) is never touched.
    if (availableFrames == 0 || (frameWriteIdx >= ringRestartFrames && frameReadIdx < frameWriteIdx &&
                                 availableFrames <= ringRestartFrames / 4)) {
        const size_t from = size_t(frameReadIdx) * wordsPerSample;
        const size_t bytes = size_t(availableFrames) * wordsPerSample * sizeof(uint16_t);
        if (bytes > 0) {
            std::memmove(filteredRing.get(), filteredRing.get() + from, bytes);
            std::memmove(unfilteredRing.get(), unfilteredRing.get() + from, bytes);
        }
        frameReadIdx = 0;
        frameWriteIdx = availableFrames;
    }
    if (denoise)
        filter ? parseBatch<true, true>(count, words) : parseBatch<true, false>(count, words);
    else
        filter ? parseBatch<false, true>(count, words) : parseBatch<false, false>(count, words);
    if (availableFrames > frameRingFrames) {
        const uint32_t dropped = availableFrames - frameRingFrames;
        frameReadIdx = frameWriteIdx;
        availableFrames = frameRingFrames;
        bufferOverflow = true;
        // The oldest unread frames went: every later gap moves up by as many frames, those that
        // lay among them to the reader's next frame, where the overrun itself is placed.
        for (Loss& l : losses)
            if (l.at > framesHandedOut)
                l.at = l.at - framesHandedOut > dropped ? l.at - dropped : framesHandedOut;
        const auto after =
            std::find_if(losses.begin(), losses.end(), [&](const Loss& l) { return l.at > framesHandedOut; });
        // Overruns before the reader's next frame make one gap.
        const auto previous = after == losses.begin() ? losses.end() : std::prev(after);
        if (previous != losses.end() && previous->bufferOverflow && previous->at == framesHandedOut)
            previous->frames += dropped;
        else
            losses.insert(after, Loss{dropped, framesHandedOut, true, true});
    }
}

template <bool Denoise, bool Filter>
void MessageDispatcher::parseBatch(uint32_t count, const ParseWords& words) {
    const uint32_t nV = voltageChannelsNum;
    const uint32_t nC = currentChannelsNum;
    const uint32_t nW = wordsPerSample;
    const uint32_t headerBytes = words.hasInfoBytes ? 6 : 4;
    const int16_t divider = voltageDivider;
    const uint16_t rawOffset = voltageRawOffset;
    const double alpha = denoiserAlpha;
    const double beta = denoiserBeta;
    double* const means = denoiserMeans.data();
    double* const histIn = filterIn.data();
    double* const histOut = filterOut.data();
    bool allSmall = true;
    bool rangeUp = true;
    uint32_t offset = rxReadIdx;

    for (uint32_t p = 0; p < count; p++) {
        const uint8_t* packet = rxRing.get() + offset;
        if (offset + packetBytes > rxRingBytes) {
            const uint32_t first = rxRingBytes - offset;
            std::memcpy(packetScratch.data(), packet, first);
            std::memcpy(packetScratch.data() + first, rxRing.get(), packetBytes - first);
            packet = packetScratch.data();
        }
        offset = (offset + packetBytes) & rxRingMask;
        if (words.hasInfoBytes && packet[4] < infoBytes.size()) infoBytes[packet[4]] = packet[5];
        const uint8_t* w = packet + headerBytes;

        for (int32_t s = 0; s < samplesPerPacket; s++) {
            uint16_t* filtered = filteredRing.get() + size_t(frameWriteIdx) * nW;
            uint16_t* unfiltered = unfilteredRing.get() + size_t(frameWriteIdx) * nW;
            bool sampleSaturated = false;
            uint32_t k = 0;
            for (; k < nV; k++, w += 2) {
                const uint16_t x = uint16_t((w[0] << 8 | w[1]) - words.voltageWordOffset);
                filtered[k] = unfiltered[k] = uint16_t(int16_t(x) / divider + rawOffset);
            }
            const uint32_t h = filterHistoryIdx;
            const uint32_t h1 = h == 2 ? 0 : h + 1;
            const uint32_t h2 = h == 0 ? 2 : h - 1;
            // The templates of one phase lie side by side, so a sample touches one cache line.
            double* const templates = denoiserTemplates.data() + size_t(denoiserPhase) * nC;
            for (uint32_t c = 0; c < nC; c++, k++, w += 2) {
                const uint16_t x = uint16_t((w[0] << 8 | w[1]) + words.currentWordOffset);
                if (uint16_t(x + 0x0800) > 0x1000) { // |x| > 2048
                    allSmall = false;
                    if (uint16_t(x - 0x7801) <= 0x0FFE) { // |x| >= 30721
                        sampleSaturated = true;
                        if (x == 0x7FFE || x == 0x8000) wordOverflow = true;
                    }
                }
                double d = int16_t(x);
                if constexpr (Denoise) {
                    const double saved = templates[c];
                    const double t = saved + (d - saved) * alpha;
                    templates[c] = t;
                    means[c] += (t - saved) * beta;
                    d = d - t + means[c];
                }
                unfiltered[k] = uint16_t(int16_t(std::clamp(d, -32768.0, 32767.0)));
                double y = d;
                if constexpr (Filter) {
                    double* in = histIn + c * 3;
                    double* out = histOut + c * 3;
                    in[h] = d;
                    y = b0 * d + b1 * in[h1] - a1 * out[h1] + b2 * in[h2] - a2 * out[h2];
                    out[h] = y;
                }
                filtered[k] = uint16_t(int16_t(roundHalfAway(std::clamp(y, -32768.0, 32767.0))));
            }
            for (; k < nW; k++, w += 2)
                filtered[k] = unfiltered[k] = uint16_t(w[0] << 8 | w[1]);

            rangeUp = rangeUp && sampleSaturated;
            if (++denoiserPhase >= denoiserPeriod) denoiserPhase = 0;
            filterHistoryIdx = h == 0 ? 2 : h - 1;
            availableFrames++;
            frameWriteIdx = (frameWriteIdx + 1) & frameRingMask;
        }
    }
    rangeUpSuggested = rangeUp;
    if (allSmall) rangeDownSuggested = true;
}

uint64_t MessageDispatcher::bytesSent() {
    // Those received, and those waiting in the driver, taken together while no read moves them
    // from one to the other.
    std::lock_guard lock(rxMutex);
    DWORD queued = 0;
    if (ftGetQueueStatus(transport.dataHandle, &queued) != FT_OK) queued = 0;
    return rxReceived + queued;
}

void MessageDispatcher::noteRangeMessageWritten(uint64_t number, uint64_t byte) {
    std::lock_guard lock(dataMutex);
    for (RangeSwitch& r : rangeSwitches)
        if (r.byte == RangeSwitch::unknown && r.message <= number) r.byte = byte;
}

void MessageDispatcher::markRangeSwitches(uint64_t first, uint32_t packets, uint64_t stored) {
    for (RangeSwitch& r : rangeSwitches) {
        if (r.frame != RangeSwitch::unknown || r.byte == RangeSwitch::unknown) continue;
        if (r.byte >= first + uint64_t(packets) * packetBytes) break; // in bytes still to come
        // A packet begun before the message was out was acquired before it.
        const uint64_t before = r.byte > first ? (r.byte - first + packetBytes - 1) / packetBytes : 0;
        r.frame = stored + before * uint64_t(samplesPerPacket);
    }
}

uint32_t MessageDispatcher::applyRangeSwitches() {
    size_t due = 0;
    while (due < rangeSwitches.size() && rangeSwitches[due].frame <= framesHandedOut)
        acquiredWords = std::move(rangeSwitches[due++].words);
    if (due > 0) publishConversion();
    rangeSwitches.erase(rangeSwitches.begin(), rangeSwitches.begin() + std::ptrdiff_t(due));
    // The frames of one read are converted with one step: a read stops where a range starts.
    if (rangeSwitches.empty() || rangeSwitches.front().frame == RangeSwitch::unknown) return availableFrames;
    return uint32_t(std::min<uint64_t>(availableFrames, rangeSwitches.front().frame - framesHandedOut));
}

ErrorCodes_t MessageDispatcher::getStatus(DataStatus_t& status) {
    std::lock_guard lock(dataMutex);
    status.availableFrames = std::min(applyRangeSwitches(), maxOutputFrames);
    status.bufferOverflow = bufferOverflow;
    status.dataLost = dataLost;
    status.wordOverflow = wordOverflow;
    status.rangeUpSuggested = rangeUpSuggested && selectedCurrentRange + 1 < currentRanges.size();
    status.rangeDownSuggested = rangeDownSuggested && selectedCurrentRange > 0;
    status.spareFlag = false;
    status.infoIndexStuck = infoIndexStuck;
    bufferOverflow = dataLost = wordOverflow = rangeUpSuggested = rangeDownSuggested = false;
    return status.availableFrames == 0 ? WarningNoDataAvailable : Success;
}

ErrorCodes_t MessageDispatcher::readFrames(uint32_t maxFrames, uint16_t*& filtered, uint16_t*& unfiltered,
                                           uint32_t& framesRead) {
    std::lock_guard lock(dataMutex);
    framesRead = 0;
    filtered = readBuffer.get();
    unfiltered = unfilteredReadBuffer.get();
    if (!filteredRing) return WarningNoDataAvailable;
    const uint32_t available = applyRangeSwitches();
    const uint32_t k = std::min({available, maxFrames, maxOutputFrames});
    const ErrorCodes_t result = (std::min(available, maxFrames) > maxOutputFrames || available < maxFrames)
                                    ? WarningNotEnoughData
                                    : Success;

    const uint32_t first = std::min(k, frameRingFrames - frameReadIdx);
    const size_t wordBytes = size_t(wordsPerSample) * sizeof(uint16_t);
    const size_t at = size_t(frameReadIdx) * wordsPerSample;
    std::memcpy(readBuffer.get(), filteredRing.get() + at, first * wordBytes);
    std::memcpy(unfilteredReadBuffer.get(), unfilteredRing.get() + at, first * wordBytes);
    const size_t rest = size_t(first) * wordsPerSample;
    std::memcpy(readBuffer.get() + rest, filteredRing.get(), (k - first) * wordBytes);
    std::memcpy(unfilteredReadBuffer.get() + rest, unfilteredRing.get(), (k - first) * wordBytes);

    availableFrames -= k;
    frameReadIdx = (frameReadIdx + k) & frameRingMask;
    framesHandedOut += k;
    framesRead = k;
    return result;
}

void MessageDispatcher::takeFramesLost(std::vector<kv4cl::FramesLost_t>& lost, uint64_t& handedOut) {
    lost.clear();
    std::lock_guard lock(dataMutex);
    handedOut = framesHandedOut;
    size_t n = 0;
    while (n < losses.size() && losses[n].counted && losses[n].at <= framesHandedOut) {
        const Loss& l = losses[n++];
        lost.push_back({l.frames, framesHandedOut - l.at, l.bufferOverflow});
    }
    losses.erase(losses.begin(), losses.begin() + std::ptrdiff_t(n));
}

void MessageDispatcher::flushData(bool purgeDriver) {
    if (purgeDriver && transport.isOpen()) {
        // What the driver loses here would otherwise leave a gap after the bytes the receive
        // thread still holds: those go too.
        std::lock_guard lock(rxMutex);
        ftPurge(transport.dataHandle, FT_PURGE_RX);
        rxFlushed = true;
    }
    std::lock_guard lock(dataMutex);
    // The frames a switch waited for are gone: it takes effect on what follows.
    for (RangeSwitch& r : rangeSwitches)
        if (r.frame != RangeSwitch::unknown) r.frame = framesHandedOut;
    frameReadIdx = frameWriteIdx;
    availableFrames = 0;
    bufferOverflow = wordOverflow = dataLost = false;
    losses.clear();
    flushes++;
}

// ---- Digital filter and reset denoiser ----------------------------------------------------------

void MessageDispatcher::computeFilterCoefficients() {
    std::lock_guard lock(dataMutex);
    Measurement half = samplingRate;
    half.value /= 2.0;
    const bool inEffect = filterEnabled && filterCutoff.unit == samplingRate.unit && filterCutoff < half;
    if (inEffect) {
        const double pi = std::acos(-1.0);
        const double K = std::tan(pi * filterCutoff.getNoPrefixValue() * samplingPeriod.getNoPrefixValue());
        const double K2 = K * K;
        const double norm = 1.0 / (1.0 + 2.0 * std::sin(pi / 4.0) * K + K2);
        const double c = 2.0 * std::cos(pi / 4.0);
        a0 = 1.0;
        a1 = norm * (2.0 * K2 - 2.0);
        a2 = (K2 * K2 + 1.0 - 2.0 * K2 + c * c * K2) * norm * norm;
        if (filterLowPass) {
            b0 = b2 = (1.0 + a1 + a2) / 4.0;
            b1 = 2.0 * b0;
        } else {
            b0 = b2 = (1.0 - a1 + a2) / 4.0;
            b1 = -2.0 * b0;
        }
    } else {
        b0 = a0 = 1.0;
        b1 = b2 = a1 = a2 = 0.0;
    }
    std::fill(filterIn.begin(), filterIn.end(), 0.0);
    std::fill(filterOut.begin(), filterOut.end(), 0.0);
}

ErrorCodes_t MessageDispatcher::setDigitalFilter(const Measurement& cutoff, bool lowPass, bool enabled) {
    if (enabled) {
        Measurement half = samplingRate;
        half.value /= 2.0;
        if (cutoff.value <= 0.0 || cutoff.unit != samplingRate.unit || !(cutoff < half))
            return ErrorValueOutOfRange;
    }
    filterCutoff = cutoff;
    filterLowPass = lowPass;
    filterEnabled = enabled;
    computeFilterCoefficients();
    return Success;
}

void MessageDispatcher::configureDenoiser(uint32_t period, double alpha, bool suspended) {
    std::lock_guard lock(dataMutex);
    denoiserPeriod = std::clamp<uint32_t>(period, 1, denoiserTemplateMax);
    denoiserAlpha = alpha;
    denoiserSuspended = suspended;
    denoiserPhase = 0;
    denoiserBeta = 1.0 / denoiserPeriod;
    std::fill(denoiserTemplates.begin(), denoiserTemplates.end(), 0.0);
    std::fill(denoiserMeans.begin(), denoiserMeans.end(), 0.0);
}

void MessageDispatcher::currentRangeChanged() {
    configureDenoiser(denoiserPeriod, denoiserAlpha, denoiserSuspended);
}

ErrorCodes_t MessageDispatcher::setDenoiserEnabled(bool on) {
    if (!denoiserAvailable) return ErrorFeatureNotImplemented;
    std::lock_guard lock(dataMutex);
    denoiserEnabled = on;
    return Success;
}

// ---- Transmit path ------------------------------------------------------------------------------

void MessageDispatcher::enqueueTxMessage(const std::vector<uint8_t>& message) {
    std::unique_lock lock(txMutex);
    txNotFull.wait(lock, [this] { return txCount < txQueueSlots || !threadsRunning; });
    if (txCount == txQueueSlots) {
        // Nobody is sending (no threads): every message is a full snapshot, so the oldest is superseded.
        txReadSlot = (txReadSlot + 1) % txQueueSlots;
        txCount--;
    }
    std::copy_n(message.begin(), std::min<size_t>(message.size(), txMessageBytes),
                txQueue[txWriteSlot].begin());
    txWriteSlot = (txWriteSlot + 1) % txQueueSlots;
    txCount++;
    txQueued++;
    if (rateUnqueued) clockRestartMessage = txQueued;
    rateUnqueued = false;
    txNotEmpty.notify_all();
}

void MessageDispatcher::txLoop() {
    { std::lock_guard lock(dataMutex); }
    {
        // Commands are sent only once the device shows signs of life.
        std::unique_lock lock(txMutex);
        txNotEmpty.wait(lock, [this] { return dataSeen || txWithoutData || stopRequested; });
    }
    while (!stopRequested) {
        uint64_t number = 0;
        {
            std::unique_lock lock(txMutex);
            txNotEmpty.wait(lock, [this] { return txCount > 0 || stopRequested; });
            if (txCount == 0) break;
            std::copy(txQueue[txReadSlot].begin(), txQueue[txReadSlot].end(), txStaging.begin());
            number = txQueued - txCount + 1;
        }
        // What the device sent before it had this message was acquired without it.
        const uint64_t sentBefore = bytesSent();
        // Each message gets its own ten attempts, so one bad spell does not silence later ones.
        for (int attempt = 0; attempt < 10 && !stopRequested; attempt++) {
            DWORD written = 0;
            const FT_STATUS status =
                ftWrite(transport.commandHandle, txStaging.data(), txMessageBytes, &written);
            if (status != FT_OK) continue;
            if (txLog) {
                std::fprintf(txLog, "\n%d %d %d\n", txMessageBytes, txMessageBytes, int(written));
                for (uint32_t i = 0; i < txMessageBytes; i++) {
                    std::fprintf(txLog, "%03d:%02x ", int(i), txStaging[i]);
                    if ((i + 1) % 16 == 0) std::fprintf(txLog, "\n");
                }
                std::fprintf(txLog, "\n");
                std::fflush(txLog);
            }
            if (written == txMessageBytes) break;
            ftPurge(transport.commandHandle, FT_PURGE_TX);
        }
        txWritten = number;
        noteRangeMessageWritten(number, sentBefore);
        {
            std::lock_guard lock(txMutex);
            txCount--;
            txReadSlot = (txReadSlot + 1) % txQueueSlots;
        }
        txNotFull.notify_all();
    }
}

// ---- Range selection and the conversion of samples ----------------------------------------------

void MessageDispatcher::publishConversion() {
    for (size_t w = 0; w < wordStep.size(); w++) {
        const WordRange& acquired = acquiredWords[w];
        const double factor = kv4cl::prefixFactor(acquired.prefix, selectedWords[w].prefix);
        wordStep[w].store(acquired.step * factor, std::memory_order_relaxed);
        wordOffset[w].store(acquired.offset * factor, std::memory_order_relaxed);
    }
}

uint64_t MessageDispatcher::nextCarrier() {
    std::lock_guard lock(txMutex);
    return dataSeen ? txQueued + 1 : 0;
}

void MessageDispatcher::selectWordRanges(uint64_t carrier) {
    std::vector<WordRange> words;
    words.reserve(wordStep.size());
    words.push_back(selectedVoltageRangeIdx < voltageRanges.size()
                        ? WordRange{voltageRanges[selectedVoltageRangeIdx].step, 0.0,
                                    voltageRanges[selectedVoltageRangeIdx].prefix}
                        : WordRange{});
    for (const RangedMeasurement& r : selectedCurrentRanges)
        words.push_back({r.step, 0.0, r.prefix});
    for (uint16_t g = 0; g < gpChannelsNum; g++) {
        const bool known = g < gpRanges.size() && g < selectedGpRangeIdx.size() &&
                           selectedGpRangeIdx[g] < gpRanges[g].size();
        const RangedMeasurement* r = known ? &gpRanges[g][selectedGpRangeIdx[g]] : nullptr;
        words.push_back(r ? WordRange{r->step, r->min, r->prefix} : WordRange{});
    }
    selectedWords = words;
    if (carrier == 0) {
        acquiredWords = std::move(words);
        rangeSwitches.clear();
    } else if (words != (rangeSwitches.empty() ? acquiredWords : rangeSwitches.back().words)) {
        rangeSwitches.push_back({.message = carrier, .words = std::move(words)});
    }
    publishConversion();
}

// ---- Setters ------------------------------------------------------------------------------------

ErrorCodes_t MessageDispatcher::setCurrentRange(uint16_t rangeIdx, uint16_t channelIdx, bool apply) {
    if (rangeIdx >= currentRanges.size() || channelIdx > currentChannelsNum) return ErrorValueOutOfRange;
    const uint64_t carrier = nextCarrier();
    {
        std::lock_guard lock(dataMutex); // getStatus and the reads use what is set here
        selectedCurrentRange = rangeIdx;
        const auto select = [&](uint16_t ch) {
            selectedCurrentRangeIdx[ch] = rangeIdx;
            selectedCurrentRanges[ch] = currentRanges[rangeIdx];
            if (!currentRangeCoders.empty())
                currentRangeCoders[ch < currentRangeCoders.size() ? ch : 0]->encode(rangeIdx, txMessage);
        };
        if (channelIdx < currentChannelsNum)
            select(channelIdx);
        else
            for (uint16_t ch = 0; ch < currentChannelsNum; ch++)
                select(ch);
        selectWordRanges(carrier);
    }
    currentRangeChanged();
    if (apply) sendMessage();
    return Success;
}

ErrorCodes_t MessageDispatcher::setGpRange(uint16_t rangeIdx, uint16_t gpChannelIdx, bool apply) {
    if (gpChannelIdx >= gpChannelsNum || gpChannelIdx >= gpRanges.size() ||
        rangeIdx >= gpRanges[gpChannelIdx].size())
        return ErrorValueOutOfRange;
    const uint64_t carrier = nextCarrier();
    {
        std::lock_guard lock(dataMutex);
        selectedGpRangeIdx[gpChannelIdx] = rangeIdx;
        selectWordRanges(carrier);
    }
    if (gpChannelIdx < gpRangeCoders.size()) gpRangeCoders[gpChannelIdx]->encode(rangeIdx, txMessage);
    if (apply) sendMessage();
    return Success;
}

ErrorCodes_t MessageDispatcher::setSamplingRate(uint16_t rateIdx, bool apply) {
    if (rateIdx >= realSamplingRates.size() || rateIdx >= samplingPeriods.size()) return ErrorValueOutOfRange;
    selectedSamplingRateIdx = rateIdx;
    baseSamplingRate = realSamplingRates[rateIdx];
    samplingRate = baseSamplingRate;
    samplingRate.value *= oversamplingRatio;
    samplingPeriod = samplingPeriods[rateIdx];
    samplingPeriod.value /= oversamplingRatio;
    computeFilterCoefficients();
    updateRxPacing();
    // The reset artefact's period in samples follows the rate.
    currentRangeChanged();
    if (samplingRateCoder) samplingRateCoder->encode(rateIdx, txMessage);
    if (apply) sendMessage();
    return Success;
}

ErrorCodes_t MessageDispatcher::setOversamplingRatio(uint16_t ratioIdx, bool apply) {
    if (!oversamplingAvailable) return ErrorFeatureNotImplemented;
    if (ratioIdx >= oversamplingRatios.size()) return ErrorValueOutOfRange;
    selectedOversamplingRatioIdx = ratioIdx;
    oversamplingRatio = oversamplingRatios[ratioIdx];
    samplingRate = baseSamplingRate;
    samplingRate.value *= oversamplingRatio;
    if (selectedSamplingRateIdx < samplingPeriods.size()) {
        samplingPeriod = samplingPeriods[selectedSamplingRateIdx];
        samplingPeriod.value /= oversamplingRatio;
    }
    computeFilterCoefficients();
    updateRxPacing();
    currentRangeChanged();
    if (oversamplingCoder) oversamplingCoder->encode(ratioIdx, txMessage);
    if (apply) sendMessage();
    return Success;
}

namespace {
// Sets one channel, or all of them when channelIdx equals the count, and returns the bank as a mask.
ErrorCodes_t setBankBit(std::vector<bool>& bank, uint16_t channelIdx, bool on, uint32_t& mask) {
    if (channelIdx > bank.size()) return ErrorValueOutOfRange;
    if (channelIdx == bank.size())
        std::fill(bank.begin(), bank.end(), on);
    else
        bank[channelIdx] = on;
    mask = 0;
    for (size_t i = 0; i < bank.size(); i++)
        mask |= uint32_t(bank[i]) << i;
    return Success;
}
} // namespace

ErrorCodes_t MessageDispatcher::setChannelSwitchA(uint16_t channelIdx, bool on, bool apply) {
    if (!switchBankACoder) return ErrorFeatureNotImplemented;
    uint32_t mask = 0;
    if (setBankBit(switchBankA, channelIdx, on, mask) != Success) return ErrorValueOutOfRange;
    switchBankACoder->encode(mask, txMessage);
    if (apply) sendMessage();
    return Success;
}

ErrorCodes_t MessageDispatcher::setChannelSwitchB(uint16_t channelIdx, bool on, bool apply) {
    if (!switchBankBCoder) return ErrorFeatureNotImplemented;
    uint32_t mask = 0;
    if (setBankBit(switchBankB, channelIdx, on, mask) != Success) return ErrorValueOutOfRange;
    switchBankBCoder->encode(mask, txMessage);
    if (apply) sendMessage();
    return Success;
}

ErrorCodes_t MessageDispatcher::setSingleSwitch(bool on, bool apply) {
    if (!singleSwitchCoder) return ErrorFeatureNotImplemented;
    singleSwitchCoder->encode(on, txMessage);
    if (apply) sendMessage();
    return Success;
}

ErrorCodes_t MessageDispatcher::setVoltageRange(uint16_t rangeIdx, bool apply) {
    if (voltageRanges.empty()) return ErrorFeatureNotImplemented;
    if (rangeIdx >= voltageRanges.size()) return ErrorValueOutOfRange;
    const uint64_t carrier = nextCarrier();
    {
        std::lock_guard lock(dataMutex);
        selectedVoltageRangeIdx = rangeIdx;
        selectWordRanges(carrier);
    }
    if (voltageRangeCoder) voltageRangeCoder->encode(rangeIdx, txMessage);
    if (apply) sendMessage();
    return Success;
}

ErrorCodes_t MessageDispatcher::setVoltageStimulusLpf(uint16_t filterIdx, bool apply) {
    if (voltageStimulusLpfs.empty()) return ErrorFeatureNotImplemented;
    if (filterIdx >= voltageStimulusLpfs.size()) return ErrorValueOutOfRange;
    // Some models list the choices without a field of their own: nothing to encode or send then.
    if (!voltageStimulusLpfCoder) return Success;
    voltageStimulusLpfCoder->encode(filterIdx, txMessage);
    if (apply) sendMessage();
    return Success;
}

ErrorCodes_t MessageDispatcher::setProtocolVoltage(uint32_t paramIdx, Measurement value, bool apply) {
    return setProtocolParameter(ProtocolVoltage, paramIdx, std::move(value), apply);
}

ErrorCodes_t MessageDispatcher::setProtocolParameter(ProtocolFamily family, uint32_t paramIdx,
                                                     Measurement value, bool apply) {
    if (protocolNames.empty()) return ErrorFeatureNotImplemented;
    ProtocolParameters& params = protocolParameters[family];
    if (paramIdx >= params.coders.size() || paramIdx >= params.ranges.size()) return ErrorValueOutOfRange;
    value.convertValue(params.ranges[paramIdx].prefix);
    params.coders[paramIdx]->encode(value.value, txMessage);
    // Validation judges what was asked for, not the clamped code.
    params.values.resize(params.coders.size());
    params.values[paramIdx] = value;
    if (apply) sendMessage();
    return Success;
}

ErrorCodes_t MessageDispatcher::selectProtocol(uint16_t protocolIdx, bool apply) {
    if (!protocolCoder) return ErrorFeatureNotImplemented;
    const bool fastPulsesIdx = fastPulses.available() && protocolIdx == fastPulses.protocolIdx;
    if (protocolIdx >= protocolNames.size() && !fastPulsesIdx) return ErrorValueOutOfRange;
    selectedProtocolIdx = protocolIdx;
    protocolCoder->encode(protocolIdx, txMessage);
    if (apply) sendMessage();
    return Success;
}

ErrorCodes_t MessageDispatcher::applyProtocol() {
    if (!protocolStartCoder) return ErrorFeatureNotImplemented;
    prepareProtocol();
    // The next message must not start the protocol again.
    strobe(*protocolStartCoder);
    return Success;
}

namespace {
ErrorCodes_t firePulse(MessageDispatcher& d, const PulseControls& pulse, const Measurement& voltage,
                       const Measurement& duration) {
    if (!pulse.available()) return ErrorFeatureNotImplemented;
    // A pulse starts from the plain holding protocol.
    if (!d.protocolNames.empty()) {
        d.selectProtocol(0, false);
        d.applyProtocol();
    }
    if (pulse.voltageCoder)
        pulse.voltageCoder->encode(voltage.converted(pulse.voltageRange.prefix).value, d.txMessage);
    if (pulse.durationCoder)
        pulse.durationCoder->encode(duration.converted(pulse.durationRange.prefix).value, d.txMessage);
    return Success;
}
} // namespace

ErrorCodes_t MessageDispatcher::setInsertionPulse(const Measurement& voltage, const Measurement& duration) {
    const ErrorCodes_t err = firePulse(*this, insertionPulse, voltage, duration);
    if (err == Success) strobe(*insertionPulse.pulseCoder);
    return err;
}

ErrorCodes_t MessageDispatcher::setReferencePulse(const Measurement& voltage, const Measurement& duration) {
    const ErrorCodes_t err = firePulse(*this, referencePulse, voltage, duration);
    if (err == Success) strobe(*referencePulse.pulseCoder);
    return err;
}

ErrorCodes_t MessageDispatcher::setSwitch(uint16_t switchIdx, bool on) {
    if (switchCoders.empty()) return ErrorFeatureNotImplemented;
    if (switchIdx >= switchCoders.size()) return ErrorValueOutOfRange;
    switchCoders[switchIdx]->encode(on, txMessage);
    sendMessage();
    return Success;
}

ErrorCodes_t MessageDispatcher::setChoice(uint16_t choiceIdx, uint16_t optionIdx) {
    if (choiceCoders.empty()) return ErrorFeatureNotImplemented;
    if (choiceIdx >= choiceCoders.size() || choiceIdx >= choiceOptions.size() ||
        optionIdx >= choiceOptions[choiceIdx].size())
        return ErrorValueOutOfRange;
    choiceCoders[choiceIdx]->encode(optionIdx, txMessage);
    sendMessage();
    return Success;
}

ErrorCodes_t MessageDispatcher::setRawBit(uint16_t byte, uint8_t bit, bool value) {
    if (byte >= txMessageBytes || bit > 6) return ErrorValueOutOfRange;
    BoolArrayCoder(BoolCoder::pack(byte, bit, 1)).encode(value, txMessage);
    sendMessage();
    return Success;
}

ErrorCodes_t MessageDispatcher::setRawField(uint16_t byte, uint8_t value) {
    if (byte >= txMessageBytes) return ErrorValueOutOfRange;
    BoolArrayCoder(BoolCoder::pack(byte, 0, 7)).encode(value, txMessage);
    sendMessage();
    return Success;
}

void MessageDispatcher::strobe(const BoolCoder& coder) {
    coder.encode(1, txMessage);
    sendMessage();
    coder.encode(0, txMessage);
}

void MessageDispatcher::pulse(const BoolCoder& coder) {
    coder.encode(1, txMessage);
    sendMessage();
    coder.encode(0, txMessage);
    sendMessage();
}

ErrorCodes_t MessageDispatcher::resetDevice() {
    if (!resetCoder) return ErrorFeatureNotImplemented;
    pulse(*resetCoder);
    if (secondResetCoder) {
        // The second stage must see the first one finished.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        pulse(*secondResetCoder);
    }
    if (thirdPulseCoder) pulse(*thirdPulseCoder);
    return Success;
}

ErrorCodes_t MessageDispatcher::holdReset(bool on) {
    if (!resetCoder) return ErrorFeatureNotImplemented;
    resetCoder->encode(on, txMessage);
    if (on) return Success;
    if (secondResetCoder)
        pulse(*secondResetCoder);
    else
        sendMessage();
    return Success;
}

ErrorCodes_t MessageDispatcher::initializeDevice() {
    // The channels power up on: the bank must say so before a single channel is switched.
    if (switchBankACoder) setChannelSwitchA(currentChannelsNum, true, false);
    if (!voltageRanges.empty()) setVoltageRange(defaultVoltageRangeIdx, false);
    if (!currentRanges.empty()) setCurrentRange(defaultCurrentRangeIdx, currentChannelsNum, false);
    for (uint16_t i = 0; i < gpChannelsNum && i < defaultGpRangeIdx.size(); i++)
        setGpRange(defaultGpRangeIdx[i], i, false);
    if (!realSamplingRates.empty()) setSamplingRate(defaultSamplingRateIdx, false);
    if (oversamplingAvailable) setOversamplingRatio(defaultOversamplingRatioIdx, false);
    if (voltageStimulusLpfCoder) setVoltageStimulusLpf(defaultVoltageStimulusLpfIdx, false);
    if (protocolCoder) {
        for (int f = 0; f < ProtocolFamiliesNum; f++) {
            const auto& params = protocolParameters[f];
            for (uint32_t i = 0; i < params.defaults.size() && i < params.coders.size(); i++)
                setProtocolParameter(ProtocolFamily(f), i, params.defaults[i], false);
        }
        selectProtocol(defaultProtocolIdx, false);
    }
    if (!voltageReferenceRanges.empty()) setVoltageReferenceRange(defaultVoltageReferenceRangeIdx, false);
    if (!voltageReferenceLpfs.empty()) setVoltageReferenceLpf(defaultVoltageReferenceLpfIdx, false);
    for (size_t i = 0; i < customDoubleCoders.size() && i < customDoubleDefaults.size(); i++)
        customDoubleCoders[i]->encode(customDoubleDefaults[i], txMessage);
    for (size_t i = 0; i < switchCoders.size() && i < switchDefaults.size(); i++)
        switchCoders[i]->encode(switchDefaults[i], txMessage);
    for (size_t i = 0; i < choiceCoders.size() && i < choiceDefaults.size(); i++)
        choiceCoders[i]->encode(choiceDefaults[i], txMessage);
    return Success;
}

// ---- Model hooks without a feature --------------------------------------------------------------

ErrorCodes_t MessageDispatcher::getWasherSpeedRange(RangedMeasurement&) {
    return ErrorFeatureNotImplemented;
}
ErrorCodes_t MessageDispatcher::getWasherPresetSpeeds(std::vector<int8_t>& speeds) {
    speeds.clear();
    return ErrorFeatureNotImplemented;
}
ErrorCodes_t MessageDispatcher::getWasherStatus(int8_t&, std::vector<int8_t>&) {
    return ErrorFeatureNotImplemented;
}
ErrorCodes_t MessageDispatcher::setWasherPresetSpeeds(const std::vector<int8_t>&) {
    return ErrorFeatureNotImplemented;
}
ErrorCodes_t MessageDispatcher::startWasher(uint16_t) {
    return ErrorFeatureNotImplemented;
}
ErrorCodes_t MessageDispatcher::resetWasherError() {
    return ErrorFeatureNotImplemented;
}
ErrorCodes_t MessageDispatcher::updateWasherState() {
    return ErrorFeatureNotImplemented;
}
ErrorCodes_t MessageDispatcher::updateWasherPresetSpeeds() {
    return ErrorFeatureNotImplemented;
}

// ---- Calibration memory -------------------------------------------------------------------------

ErrorCodes_t MessageDispatcher::setSpiMode(bool on) {
    if (!calibrationMemoryAvailable) return ErrorEepromNotConnected;
    if (!connected) return ErrorDeviceNotConnected;
    if (on == spiMode) return Success;
    if (on) {
        stopRequested = true;
        stopThreads();
        transport.close();
        if (!calibrationMemory.open(deviceId + spiChannel)) {
            // Give the data channels back so the device keeps working.
            if (openTransport() == Success) {
                startThreads();
                sendMessage();
            }
            return ErrorEepromConnectionFailed;
        }
        spiMode = true;
        dataSeen = false;
        return Success;
    }
    calibrationMemory.close();
    spiMode = false;
    const ErrorCodes_t err = openTransport();
    if (err != Success) return err;
    startThreads();
    resetDevice();
    sendMessage();
    return Success;
}

ErrorCodes_t MessageDispatcher::readCalibration(std::vector<uint32_t>& values,
                                                const std::vector<uint32_t>& addresses,
                                                const std::vector<uint32_t>& sizes) {
    if (!spiMode) return ErrorEepromNotConnected;
    if (sizes.size() != addresses.size()) return ErrorValueOutOfRange;
    values.assign(addresses.size(), 0);
    for (size_t i = 0; i < addresses.size(); i++) {
        if (sizes[i] == 0 || sizes[i] > 4) return ErrorValueOutOfRange;
        uint8_t bytes[4];
        if (!calibrationMemory.read(addresses[i], bytes, sizes[i])) return ErrorEepromReadFailed;
        for (uint32_t b = 0; b < sizes[i]; b++)
            values[i] = values[i] << 8 | bytes[b];
    }
    return Success;
}

ErrorCodes_t MessageDispatcher::writeCalibration(const std::vector<uint32_t>& values,
                                                 const std::vector<uint32_t>& addresses,
                                                 const std::vector<uint32_t>& sizes) {
    if (!spiMode) return ErrorEepromNotConnected;
    if (sizes.size() != addresses.size() || values.size() != addresses.size()) return ErrorValueOutOfRange;
    std::vector<uint32_t> stored;
    const ErrorCodes_t err = readCalibration(stored, addresses, sizes);
    if (err != Success) return err;
    for (size_t i = 0; i < addresses.size(); i++) {
        // Only changed cells are written: the memory wears with every write.
        if (stored[i] == values[i]) continue;
        uint8_t bytes[4];
        for (uint32_t b = 0; b < sizes[i]; b++)
            bytes[b] = uint8_t(values[i] >> (8 * (sizes[i] - 1 - b)));
        if (!calibrationMemory.write(addresses[i], bytes, sizes[i])) return ErrorDeviceCommunicationFailed;
    }
    return Success;
}

// ---- FTDI EEPROM words --------------------------------------------------------------------------

ErrorCodes_t MessageDispatcher::onEepromChannel(const std::function<FT_STATUS(FT_HANDLE)>& call,
                                                ErrorCodes_t failure) {
    if (FT_HANDLE streaming = transport.handleOf('A')) return call(streaming) == FT_OK ? Success : failure;
    FT_HANDLE handle = nullptr;
    if (ftOpenEx(deviceId + 'A', &handle) != FT_OK) return failure;
    const FT_STATUS status = call(handle);
    const bool closed = ftClose(handle) == FT_OK;
    if (status != FT_OK) return failure;
    return closed ? Success : ErrorEepromDisconnectionFailed;
}

ErrorCodes_t MessageDispatcher::readEepromWord(uint32_t address, uint16_t& value) {
    if (address >= eepromWords) return ErrorValueOutOfRange;
    return onEepromChannel([&](FT_HANDLE handle) { return ftReadEE(handle, address, &value); },
                           ErrorEepromReadFailed);
}

// The codes have no write failure of their own: a failed write is a failed exchange with the EEPROM.
ErrorCodes_t MessageDispatcher::writeEepromWord(uint32_t address, uint16_t value) {
    if (address >= eepromWords) return ErrorValueOutOfRange;
    return onEepromChannel([&](FT_HANDLE handle) { return ftWriteEE(handle, address, value); },
                           ErrorEepromConnectionFailed);
}

} // namespace kv4CommLib
