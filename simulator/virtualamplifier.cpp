#include "simulator/virtualamplifier.h"

#include "commlib/api/catalogue.h"
#include "commlib/core/messagedispatcherlegacykav3.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace kav4sim {

using namespace kv4CommLib;

namespace {

double toSi(double value, kv4cl::UnitPfx_t prefix) {
    return value * kv4cl::prefixFactor(prefix, kv4cl::UnitPfxNone);
}

// The nearest code, saturating at the given extremes.
int32_t quantise(double x, int32_t lowest, int32_t highest) {
    if (!(x > lowest)) return lowest; // also NaN
    if (x >= highest) return highest;
    return int32_t(std::lround(x));
}

void putWord(uint8_t*& at, uint16_t word) {
    at[0] = uint8_t(word >> 8);
    at[1] = uint8_t(word);
    at += 2;
}

// The hardware's extreme current codes, which the library flags as overflow.
constexpr int32_t lowestCurrentCode = -32768; // 0x8000
constexpr int32_t highestCurrentCode = 32766; // 0x7FFE

} // namespace

std::unique_ptr<VirtualAmplifier> VirtualAmplifier::create(std::shared_ptr<VirtualDevice> device) {
    const uint16_t identity = device->eepromWord(116);
    std::unique_ptr<MessageDispatcher> model =
        describeModel(identity >> 8, identity & 0xFF, device->eepromWord(117), device->serial);
    if (!model) return nullptr;
    return std::make_unique<VirtualAmplifier>(std::move(device), std::move(model));
}

VirtualAmplifier::VirtualAmplifier(std::shared_ptr<VirtualDevice> device,
                                   std::unique_ptr<MessageDispatcher> model)
    : dev(std::move(device)), description(std::move(model)), rxLetter(description->rxChannel),
      txLetter(description->txChannel), voltageWords(description->voltageChannelsNum),
      currentWords(description->currentChannelsNum), wordsPerSample(description->wordsPerSample),
      samplesPerPacket(uint32_t(std::max(description->samplesPerPacket, 0))),
      packetBytes(description->packetBytes), decoder(*description) {
    const uint32_t body = 2 * samplesPerPacket * wordsPerSample;
    if (samplesPerPacket == 0 || wordsPerSample < voltageWords + currentWords ||
        (packetBytes != body + 4 && packetBytes != body + 6))
        throw std::invalid_argument("the model's packet layout is neither generation's");
    headerBytes = packetBytes - body;
    if (const auto* legacy = dynamic_cast<const MessageDispatcherLegacyKav3*>(description.get())) {
        offsetCode = true;
        voltageOffset = legacy->legacyVoltageOffset;
    }
    description->resetSelection();
    packet.assign(packetBytes, 0);
    packetPos = packetBytes;
    currentStep.assign(currentWords, 1.0);
    channelOn.assign(currentWords, true);
    offsets.assign(currentWords, Stimulus());
    compensation.assign(currentWords, 0.0);
    channelVoltage.assign(currentWords, 0.0);
    offsetCompensation.assign(currentWords, {});
    if (dynamic_cast<const Washer::Model*>(description.get())) washerUnit.emplace();
    const size_t seed = std::hash<std::string>{}(dev->serial);
    for (uint16_t c = 0; c < currentWords; c++)
        cells.emplace_back(CellParameters{}, seed + c);
    {
        std::lock_guard lock(mutex);
        applySettings();
        stimulus = Stimulus(holdingLevel());
    }

    dev->setRxCapacity(rxLetter, defaultBufferBytes);
    // The pace before the generator, so that it never runs free.
    updatePace();
    dev->setSource(
        rxLetter, [this](std::vector<uint8_t>& out, size_t n) { produce(out, n); },
        [this](size_t n) { skip(n); });
    const VirtualDevice::PaceStart start = dev->paceStart(rxLetter);
    {
        std::lock_guard lock(mutex);
        paceStart = start;
    }
    dev->setWriteSink(txLetter, [this](const std::vector<uint8_t>& bytes) { onWrite(bytes); });
}

VirtualAmplifier::~VirtualAmplifier() {
    // The sink first: a message being decoded may still change the pace.
    dev->setWriteSink(txLetter, nullptr);
    dev->setSource(rxLetter, nullptr, nullptr);
}

// ---- Timing ----------------------------------------------------------------------------------

void VirtualAmplifier::setFreeRunning(bool on) {
    {
        std::lock_guard lock(mutex);
        freeRunning = on;
    }
    updatePace();
}

void VirtualAmplifier::setClockSkew(double ppm) {
    {
        std::lock_guard lock(mutex);
        skewPpm = ppm;
    }
    updatePace();
}

void VirtualAmplifier::setBufferBytes(size_t bytes) {
    dev->setRxCapacity(rxLetter, bytes);
}

double VirtualAmplifier::frameRate() const {
    std::lock_guard lock(mutex);
    return trueRate();
}

double VirtualAmplifier::frameTime(uint64_t n) const {
    std::lock_guard lock(mutex);
    // Frame n lies n * packetBytes / samplesPerPacket bytes into the stream, within a frame.
    const double firstFrame = double(paceStart.bytes) * samplesPerPacket / packetBytes;
    return paceStart.seconds + (double(n) - firstFrame) / trueRate();
}

void VirtualAmplifier::updatePace() {
    std::lock_guard paceLock(paceMutex);
    double pace = 0.0;
    {
        std::lock_guard lock(mutex);
        pace = freeRunning ? 0.0 : trueRate() * packetBytes / samplesPerPacket;
        if (pace == appliedPace) return;
    }
    // The device generates what fell due at the old pace; it calls back into produce().
    dev->setPace(rxLetter, pace);
    const VirtualDevice::PaceStart start = dev->paceStart(rxLetter);
    std::lock_guard lock(mutex);
    appliedPace = pace;
    paceStart = start;
}

// ---- Signal and faults -----------------------------------------------------------------------

void VirtualAmplifier::setCell(uint16_t channel, const CellParameters& parameters) {
    std::lock_guard lock(mutex);
    if (channel > currentWords) throw std::out_of_range("no such current channel");
    for (uint16_t c = 0; c < currentWords; c++)
        if (c == channel || channel == currentWords) cells[c].setParameters(parameters);
}

CellParameters VirtualAmplifier::cell(uint16_t channel) const {
    std::lock_guard lock(mutex);
    return cells.at(channel).parameters();
}

void VirtualAmplifier::setPatternMode(bool on) {
    std::lock_guard lock(mutex);
    pattern = on;
}

void VirtualAmplifier::dropBytes(size_t count) {
    std::lock_guard lock(mutex);
    dropLeft += count;
}

void VirtualAmplifier::dropPackets(size_t count) {
    std::lock_guard lock(mutex);
    packetsToDrop += count;
}

void VirtualAmplifier::corruptBytes(size_t count) {
    std::lock_guard lock(mutex);
    corruptLeft += count;
}

void VirtualAmplifier::stickInfoIndex(bool on) {
    std::lock_guard lock(mutex);
    infoIndexStuck = on;
}

void VirtualAmplifier::stall(bool on) {
    dev->stall(on);
}

void VirtualAmplifier::unplug() {
    dev->unplug();
}

void VirtualAmplifier::replug() {
    dev->replug();
}

// ---- Washer ----------------------------------------------------------------------------------

std::optional<Washer> VirtualAmplifier::washer() const {
    std::lock_guard lock(mutex);
    return washerUnit;
}

void VirtualAmplifier::failWasher(int8_t errorCode) {
    std::lock_guard lock(mutex);
    if (!washerUnit) throw std::logic_error("the model drives no washer");
    washerUnit->fail(errorCode);
}

// ---- Commands --------------------------------------------------------------------------------

DecodedCommand VirtualAmplifier::command() const {
    std::lock_guard lock(mutex);
    return decoder.state();
}

bool VirtualAmplifier::waitForCommand(const std::function<bool(const DecodedCommand&)>& done,
                                      std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex);
    return commandChanged.wait_for(lock, timeout, [&] { return done(decoder.state()); });
}

void VirtualAmplifier::onWrite(const std::vector<uint8_t>& bytes) {
    {
        std::lock_guard lock(mutex);
        const DecodedCommand was = decoder.state();
        if (decoder.write(bytes) == 0) return;
        applySettings();
        startCommands(was, decoder.state());
    }
    commandChanged.notify_all();
    updatePace();
}

void VirtualAmplifier::startCommands(const DecodedCommand& was, const DecodedCommand& now) {
    const MessageDispatcher& m = *description;
    if (now.protocolStarts != was.protocolStarts) {
        // The protocol runs with the parameters of the message that started it. Further
        // protocols get their shapes in the table of stimulus.cpp.
        started = true;
        const bool fast = m.fastPulses.available() && now.protocolIdx == m.fastPulses.protocolIdx;
        Stimulus::Parameters parameters = now.protocolParameters;
        if (fast) parameters.insert(now.fastPulses.begin(), now.fastPulses.end());
        const auto& names = m.protocolNames;
        const std::string name = fast                             ? "Fast pulses"
                                 : now.protocolIdx < names.size() ? names[now.protocolIdx]
                                                                  : std::string();
        stimulus = Stimulus(name, parameters, rate);
        cellStimulus = fast ? Stimulus("Fast pulses waveform 2", parameters, rate) : Stimulus();
    } else if (!started) {
        stimulus = Stimulus(holdingLevel());
    }

    const auto pulse = [this](const DecodedCommand::Pulse& p) {
        pulses = Stimulus::pulses(p.voltage, p.duration, p.duration, 1, rate);
    };
    if (now.insertionPulse.count != was.insertionPulse.count) pulse(now.insertionPulse);
    if (now.referencePulse.count != was.referencePulse.count) pulse(now.referencePulse);
    if (now.referencePulseTrain.count != was.referencePulseTrain.count) {
        const DecodedCommand::PulseTrain& train = now.referencePulseTrain;
        pulses = Stimulus::pulses(now.referencePulse.voltage, now.referencePulse.duration, train.period,
                                  train.pulses, rate);
    }

    for (size_t ch = 0; ch < now.voltageOffsets.size(); ch++) {
        const DecodedCommand::OffsetOrder& order = now.voltageOffsets[ch];
        if (order.count != was.voltageOffsets[ch].count)
            offsets[ch] = Stimulus::ramp(order.from, order.to, order.duration, rate);
    }

    for (size_t ch = 0; ch < now.offsetCompensation.size(); ch++) {
        const DecodedCommand::CompensationOrder& order = now.offsetCompensation[ch];
        if (order.count == was.offsetCompensation[ch].count) continue;
        offsetCompensation[ch].running = order.on;
        offsetCompensation[ch].elapsed = 0;
    }
    for (size_t ch = 0; ch < now.zaps.size(); ch++) {
        if (now.zaps[ch] == was.zaps[ch]) continue;
        CellParameters ruptured = cells[ch].parameters();
        ruptured.membraneResistance = zappedMembraneResistance;
        cells[ch].setParameters(ruptured);
    }
    if (now.ttl.count != was.ttl.count) {
        ttl = now.ttl;
        ttlStart = frame;
    }

    if (washerUnit && now.washer.count != was.washer.count)
        washerUnit->execute(now.washer.command, now.washer.preset, now.washer.speeds);
}

double VirtualAmplifier::holdingLevel() const {
    const auto& parameters = decoder.state().protocolParameters;
    const auto vhold = parameters.find("Vhold");
    return vhold == parameters.end() ? 0.0 : vhold->second;
}

void VirtualAmplifier::applySettings() {
    MessageDispatcher& m = *description;
    const DecodedCommand& c = decoder.state();
    const bool ratioKnown = m.oversamplingAvailable && c.oversamplingRatioIdx < m.oversamplingRatios.size();
    const double ratio = ratioKnown ? m.oversamplingRatios[c.oversamplingRatioIdx] : 1.0;
    if (c.samplingRateIdx < m.realSamplingRates.size())
        rate = m.realSamplingRates[c.samplingRateIdx].getNoPrefixValue() * ratio;
    if (c.voltageRangeIdx < m.voltageRanges.size()) {
        const RangedMeasurement& range = m.voltageRanges[c.voltageRangeIdx];
        voltageStep = toSi(range.step, range.prefix);
    }
    for (uint16_t ch = 0; ch < currentWords; ch++) {
        if (c.currentRangeIdx[ch] < m.currentRanges.size()) {
            const RangedMeasurement& range = m.currentRanges[c.currentRangeIdx[ch]];
            currentStep[ch] = toSi(range.step, range.prefix);
        }
        channelOn[ch] = c.switchBankA.empty() || c.switchBankA[ch];
        compensation[ch] = c.cFastEnabled[ch] ? c.cFast[ch] : 0.0;
    }
    resetHeld = c.resetBit;
    offsetCompensationAutostop = c.offsetCompensationAutostop;
    // An exponential follower of time constant settling / 5 leaves e^-5 (0.7%) after the settling time.
    offsetCompensationGain = -std::expm1(-5.0 / (offsetCompensationSettling * rate));
    offsetCompensationFrames = uint64_t(std::ceil(offsetCompensationSettling * rate));
    overrideVoltage = c.referenceOverride ? c.referencePulse.voltage : 0.0;
    // The reference monitor reads the reference voltage back through its gp range.
    gpLevels.assign(wordsPerSample - voltageWords - currentWords, 0);
    if (const std::optional<uint16_t> g = m.voltageReferenceMonitorGp;
        g && *g < gpLevels.size() && *g < m.gpRanges.size() && c.gpRangeIdx[*g] < m.gpRanges[*g].size()) {
        const RangedMeasurement& range = m.gpRanges[*g][c.gpRangeIdx[*g]];
        const double code =
            (c.voltageReference - toSi(range.min, range.prefix)) / toSi(range.step, range.prefix);
        gpLevels[*g] = uint16_t(quantise(code, 0, 0xFFFF));
    }

    // The model knows the front end's reset period at this rate and range.
    m.setSamplingRate(c.samplingRateIdx, false);
    if (m.oversamplingAvailable) m.setOversamplingRatio(c.oversamplingRatioIdx, false);
    for (uint16_t ch = 0; ch < currentWords; ch++)
        m.setCurrentRange(c.currentRangeIdx[ch], ch, false);
    m.currentRangeChanged();
    const uint32_t period = m.denoiserPeriod;
    if (period <= 1) {
        artefact.clear();
    } else if (artefact.size() != period) {
        // A glitch at the reset that fades within a sixteenth of the period.
        artefact.resize(period);
        const double decay = std::max(1.0, period / 16.0);
        for (uint32_t k = 0; k < period; k++)
            artefact[k] = std::exp(-double(k) / decay);
    }
}

// ---- Stream ----------------------------------------------------------------------------------

void VirtualAmplifier::produce(std::vector<uint8_t>& out, size_t n) {
    std::lock_guard lock(mutex);
    out.reserve(out.size() + n);
    while (n > 0) {
        if (packetPos == packetBytes) {
            buildPacket();
            if (packetsToDrop > 0) {
                packetsToDrop--;
                dropLeft += packetBytes;
            }
        }
        const size_t take = std::min<size_t>(n, packetBytes - packetPos);
        sendBytes(out, packet.data() + packetPos, take);
        packetPos += take;
        n -= take;
    }
}

void VirtualAmplifier::sendBytes(std::vector<uint8_t>& out, const uint8_t* bytes, size_t n) {
    if (dropLeft == 0 && corruptLeft == 0) {
        out.insert(out.end(), bytes, bytes + n);
        return;
    }
    for (size_t i = 0; i < n; i++) {
        if (dropLeft > 0) {
            dropLeft--;
        } else if (corruptLeft > 0) {
            corruptLeft--;
            out.push_back(uint8_t(~bytes[i]));
        } else {
            out.push_back(bytes[i]);
        }
    }
}

void VirtualAmplifier::skip(size_t n) {
    std::lock_guard lock(mutex);
    const size_t inPacket = packetBytes - packetPos;
    if (n <= inPacket) {
        packetPos += n;
        return;
    }
    n -= inPacket;
    // Whole packets are passed over without being made; the command is taken to hold its
    // last value meanwhile.
    const uint64_t packets = n / packetBytes;
    const uint64_t frames = packets * samplesPerPacket;
    frame += frames;
    packetCount += packets;
    stimulus.skip(frames);
    pulses.skip(frames);
    cellStimulus.skip(frames);
    for (uint16_t c = 0; c < currentWords; c++) {
        // The compensation's estimate holds over frames never made; its time runs on.
        OffsetCompensation& doc = offsetCompensation[c];
        if (doc.running) {
            doc.elapsed += frames;
            doc.running = !(offsetCompensationAutostop && doc.elapsed >= offsetCompensationFrames);
        }
        offsets[c].skip(frames);
        if (!pattern) cells[c].skip(channelVoltage[c], double(frames) / trueRate());
    }
    packetPos = packetBytes;
    if (const size_t rest = n % packetBytes; rest > 0) {
        buildPacket();
        packetPos = rest;
    }
}

void VirtualAmplifier::buildPacket() {
    uint8_t* p = packet.data();
    const uint32_t sync = description->syncWord;
    putWord(p, uint16_t(sync >> 16));
    putWord(p, uint16_t(sync));
    if (headerBytes == 6) {
        // The info pair walks through the status bytes.
        const size_t infos = description->infoBytes.size();
        const size_t index = infos > 0 && !infoIndexStuck ? packetCount % infos : 0;
        if (index == 0) status = statusBytes();
        *p++ = uint8_t(index);
        *p++ = index < status.size() ? status[index] : 0;
    }
    for (uint32_t s = 0; s < samplesPerPacket; s++, p += 2 * wordsPerSample) {
        if (pattern)
            patternFrame(p, frame++);
        else
            sampleFrame(p);
    }
    packetCount++;
    packetPos = 0;
}

std::vector<uint8_t> VirtualAmplifier::statusBytes() const {
    std::vector<uint8_t> bytes(description->infoBytes.size(), 0);
    const VoltageOffsetControls& o = description->voltageOffsets;
    if (o.available()) {
        // Big-endian two's complement in steps of the offset range.
        const double step = toSi(o.range.step, o.range.prefix);
        for (uint16_t c = 0; c < currentWords; c++) {
            const size_t at = o.infoByteOffset + 2 * size_t(c);
            if (at + 1 >= bytes.size()) break;
            const auto code = uint16_t(quantise(offsets[c].peek() / step, -32768, 32767));
            bytes[at] = uint8_t(code >> 8);
            bytes[at + 1] = uint8_t(code);
        }
    }
    const DigitalOffsetCompensationControls& doc = description->digitalOffsetCompensationControls;
    if (doc.available()) {
        for (uint16_t c = 0; c < currentWords; c++) {
            const size_t at = doc.infoByteOffset + c / 8u;
            if (at < bytes.size() && offsetCompensation[c].running) bytes[at] |= uint8_t(1u << (c % 8));
        }
    }
    if (washerUnit) washerUnit->answer(bytes);
    return bytes;
}

void VirtualAmplifier::sampleFrame(uint8_t* w) {
    const uint64_t n = frame++;
    const double v = stimulus.next() + pulses.next() + overrideVoltage;
    const double onCells = v + cellStimulus.next();
    // What the parser undoes: the divider and, in the previous generation, the calibration offset.
    const int32_t vCode = quantise(v / voltageStep, -32768, 32767);
    const uint16_t vWord = uint16_t(vCode * description->voltageDivider + voltageOffset);
    for (uint16_t k = 0; k < voltageWords; k++)
        putWord(w, vWord);

    const double dt = 1.0 / trueRate();
    const double glitch = artefact.empty() ? 0.0 : artefact[n % artefact.size()];
    for (uint16_t c = 0; c < currentWords; c++) {
        const double command = onCells + offsets[c].next();
        // The compensation injects the charge that its capacitance would take.
        const double compensated = compensation[c] * (command - channelVoltage[c]) / dt;
        channelVoltage[c] = command;
        double current = cells[c].step(command, dt) - compensated;
        OffsetCompensation& doc = offsetCompensation[c];
        if (doc.running) {
            doc.offset += (current - doc.offset) * offsetCompensationGain;
            doc.running = !(offsetCompensationAutostop && ++doc.elapsed >= offsetCompensationFrames);
        }
        current -= doc.offset;
        int32_t code = 0;
        if (channelOn[c] && !resetHeld) {
            const double total = current + glitch * cells[c].parameters().resetArtefact;
            code = quantise(total / currentStep[c], lowestCurrentCode, highestCurrentCode);
        }
        putWord(w, offsetCode ? uint16_t(code ^ 0x8000) : uint16_t(code));
    }
    const std::optional<uint16_t> ttlWord = description->ttlOutput.gpChannel;
    for (uint16_t g = 0; g < gpLevels.size(); g++)
        putWord(w, ttlWord && g == *ttlWord ? (ttlHigh(n) ? 0xFFFF : 0) : gpLevels[g]);
}

bool VirtualAmplifier::ttlHigh(uint64_t n) const {
    if (ttl.count == 0 || n < ttlStart || ttl.period <= 0.0) return false;
    // The sample's period [a, b) in the train's time; pulse k lasts [k period, k period + duration).
    const double a = double(n - ttlStart) / rate - ttl.delay;
    const double b = a + 1.0 / rate;
    const double first = std::max(0.0, std::floor((a - ttl.duration) / ttl.period) + 1.0);
    return first < ttl.pulses && first * ttl.period < b;
}

void VirtualAmplifier::patternFrame(uint8_t* w, uint64_t n) const {
    const auto low = uint16_t(n);
    const auto vWord = uint16_t(int16_t(low) * description->voltageDivider + voltageOffset);
    for (uint16_t k = 0; k < voltageWords; k++)
        putWord(w, vWord);
    for (uint16_t c = 0; c < currentWords; c++) {
        const auto code = uint16_t(c == 0 ? n : c == 1 ? n >> 16 : n + c);
        putWord(w, offsetCode ? uint16_t(code ^ 0x8000) : code);
    }
    for (uint16_t k = voltageWords + currentWords; k < wordsPerSample; k++)
        putWord(w, low);
}

} // namespace kav4sim
