#pragma once
// One connected device set as the Python module drives it (see amplifier.cpp), and the
// module's bindings of it.

#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

class DataHook;
class DeviceSession;
class LabbookFiles;
class RecordingPlan;
class RecordingService;
class StimulusService;

class Amplifier {
  public:
    explicit Amplifier(const std::vector<std::string>& ids);
    ~Amplifier();
    Amplifier(const Amplifier&) = delete;
    Amplifier& operator=(const Amplifier&) = delete;

    // Stops what runs and disconnects; idempotent.
    void close();

    // The model, channel counts and gp names.
    pybind11::dict describe() const;
    // Each column's unit as the ranges in force give it, in a recording's column order.
    pybind11::list units() const;
    // Current and voltage ranges, nominal rates, oversampling ratios.
    pybind11::dict choices() const;
    // The real rate in force (Hz).
    double rate() const { return realRate; }

    void setRate(int index);
    void setOversampling(int index);
    // channel: a current channel, or the channel count for all of them.
    void setCurrentRange(int index, int channel);
    void setVoltageRange(int index);
    void setFilter(double cutoffHz, bool lowPass, bool enabled);

    // Per protocol its name and parameters (name, family, index, range, value chosen).
    pybind11::list protocols() const;
    // values: (family, index, value in the range's prefix) given by the script.
    void applyProtocol(int protocol, const std::vector<std::tuple<int, int, double>>& values);

    // The next `frames` frames of the stream, and the losses among them (frame from the
    // stream's start, frames lost).
    pybind11::tuple read(int64_t frames, double timeout);
    void endStream();

    // Records `seconds` into folder/name/ and returns the first file written.
    std::string record(const std::string& folder, const std::string& name, double seconds, int format);

  private:
    DeviceSession& open() const;
    StimulusService& stimulus() const;
    void announceRate();

    std::vector<std::string> ids;
    std::unique_ptr<DeviceSession> session;
    double realRate = 0.0;
    std::unique_ptr<DataHook> hook;
    uint64_t streamStart = 0;
    RecordingService* recorder = nullptr; // the session's child
    std::unique_ptr<RecordingPlan> plan;
    std::unique_ptr<LabbookFiles> labbook;
};

void bindAmplifier(pybind11::module_& m);
