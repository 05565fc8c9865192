#pragma once
// Value types shared by the library's public functions and its classes.

#include <cstdint>
#include <string>

namespace kv4cl {

enum UnitPfx_t : int32_t {
    UnitPfxFemto = 0,
    UnitPfxPico,
    UnitPfxNano,
    UnitPfxMicro,
    UnitPfxMilli,
    UnitPfxNone,
    UnitPfxKilo,
    UnitPfxMega,
    UnitPfxGiga,
    UnitPfxTera,
    UnitPfxPeta,
    UnitPfxNum
};

// Prefix symbols, indexed by UnitPfx_t.
extern const char* const unitPrefixes[UnitPfxNum];

// Whether a prefix is one of the table's; conversions from any other give NaN, labels "?".
bool knownPrefix(int32_t prefix);

// Factor that takes a value with prefix `from` to prefix `to`, from the table of powers of 1000.
double prefixFactor(UnitPfx_t from, UnitPfx_t to);

struct Measurement_t {
    double value = 0.0;
    UnitPfx_t prefix = UnitPfxNone;
    std::string unit;

    // Converts in place to another prefix.
    void convertValue(UnitPfx_t newPrefix);
    Measurement_t converted(UnitPfx_t newPrefix) const;
    double getNoPrefixValue() const;
    // Prefix symbol followed by the unit, e.g. "mV".
    std::string label() const;
    // Comparisons reconcile the prefixes; both operands must share the unit.
    bool operator<(const Measurement_t& o) const { return getNoPrefixValue() < o.getNoPrefixValue(); }
    bool operator>(const Measurement_t& o) const { return o < *this; }
    bool operator<=(const Measurement_t& o) const { return !(o < *this); }
    bool operator>=(const Measurement_t& o) const { return !(*this < o); }
    bool operator==(const Measurement_t& o) const;
};

// A finite value with a known prefix: what the library's setters accept at all.
bool isUsable(const Measurement_t& m);

// The same value brought to the prefix that puts its magnitude in [1, 1000), within femto to
// peta; zero, infinities and values that are not numbers (or carry an unknown prefix, which
// makes them NaN) get no prefix.
Measurement_t withFittingPrefix(Measurement_t value);

struct RangedMeasurement_t {
    double min = 0.0;
    double max = 0.0;
    double step = 1.0; // value of one least significant bit
    UnitPfx_t prefix = UnitPfxNone;
    std::string unit;

    // Min, max and step converted together.
    void convertValues(UnitPfx_t newPrefix);
    RangedMeasurement_t converted(UnitPfx_t newPrefix) const;
    double steps() const { return (max - min) / step; }
    std::string label() const;
    bool includes(const Measurement_t& m) const;
};

enum ErrorCodes_t : int32_t {
    Success = 0,
    ErrorNoDevicesDetected = 0x10001,
    ErrorDevicesDetectionFailed = 0x10002,
    ErrorEepromOpenFailed = 0x20001,
    ErrorEepromConnectionFailed = 0x20002,
    ErrorEepromDisconnectionFailed = 0x20003,
    ErrorEepromNotConnected = 0x20004,
    ErrorEepromReadFailed = 0x20005,
    ErrorEepromNotRecognized = 0x20007,
    ErrorResourcesInitialization = 0x30001,
    ErrorDeviceTypeNotControllable = 0x30002,
    ErrorDeviceAlreadyConnected = 0x30003,
    ErrorDeviceNotConnected = 0x30004,
    ErrorDeviceConnectionFailed = 0x30005,
    ErrorFtdiConfigurationFailed = 0x30006,
    ErrorDeviceDisconnectionFailed = 0x30007,
    ErrorDeviceCommunicationFailed = 0x30008,
    ErrorDifferentDeviceTypes = 0x30009,
    ErrorMessageSendFailed = 0x40001,
    ErrorCommandNotImplemented = 0x40002,
    ErrorValueOutOfRange = 0x40003,
    WarningNoDataAvailable = 0x40004,
    WarningNotEnoughData = 0x40005,
    ErrorInvalidProtocolParameters = 0x40006,
    ErrorFeatureNotImplemented = 0x50000,
    ErrorUnknown = -1
};

// The meaning of a code as the application words it, e.g. "No devices detected";
// "Unknown error" for a value that is not a code.
const char* errorMessage(ErrorCodes_t code);

// A compensation control as the user sets it: range (with prefix and unit), default,
// the decimals to show and its name.
struct CompensationControl_t {
    RangedMeasurement_t range;
    double defaultValue = 0.0;
    uint16_t decimals = 0;
    std::string name;
};

struct DataStatus_t {
    uint32_t availableFrames = 0;
    bool bufferOverflow = false;
    bool dataLost = false;
    bool wordOverflow = false;
    bool rangeUpSuggested = false;
    bool rangeDownSuggested = false;
    bool spareFlag = false;
    // While set, the packets' info index does not move: packets lost between intact markers can
    // no longer be seen. dataLost is raised when it starts; the packets are still handed out.
    bool infoIndexStuck = false;
};

// A gap in the frames that readSamples hands out.
struct FramesLost_t {
    uint64_t frames = 0;      // frames (samples per channel) that never reached the reader
    uint64_t framesAfter = 0; // of the frames handed out by readSamples so far, how many came after the gap
    bool bufferOverflow = false; // the library's own frame buffer overran (the reader was too slow);
                                 // otherwise packets were lost on the way (dropped bytes, a stall, the
                                 // device's buffer overflowing)
};

} // namespace kv4cl

namespace kv4CommLib {
// The classes use the very same layouts.
using Measurement = kv4cl::Measurement_t;
using RangedMeasurement = kv4cl::RangedMeasurement_t;
using kv4cl::CompensationControl_t;
using kv4cl::ErrorCodes_t;
using kv4cl::UnitPfx_t;
} // namespace kv4CommLib
