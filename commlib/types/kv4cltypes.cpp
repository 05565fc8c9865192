#include "commlib/types/kv4cltypes.h"

#include <cmath>

namespace kv4cl {

const char* const unitPrefixes[UnitPfxNum] = {"f", "p", "n", "µ", "m", "", "k", "M", "G", "T", "P"};

bool knownPrefix(int32_t prefix) {
    return prefix >= UnitPfxFemto && prefix < UnitPfxNum;
}

bool isUsable(const Measurement_t& m) {
    return std::isfinite(m.value) && knownPrefix(m.prefix);
}

namespace {
// 1000^k: conversions multiply or divide by these, never call pow().
constexpr double powersOf1000[UnitPfxNum] = {1.0,    1.0e3,  1.0e6,  1.0e9,  1.0e12, 1.0e15,
                                             1.0e18, 1.0e21, 1.0e24, 1.0e27, 1.0e30};

// A prefix outside the table has no factor: the value becomes NaN rather than a read past it.
double rescale(double value, int32_t from, int32_t to) {
    if (!knownPrefix(from) || !knownPrefix(to)) return std::nan("");
    return from > to ? value * powersOf1000[from - to] : value / powersOf1000[to - from];
}

const char* prefixSymbol(int32_t prefix) {
    return knownPrefix(prefix) ? unitPrefixes[prefix] : "?";
}
} // namespace

double prefixFactor(UnitPfx_t from, UnitPfx_t to) {
    return rescale(1.0, from, to);
}

void Measurement_t::convertValue(UnitPfx_t newPrefix) {
    value = rescale(value, prefix, newPrefix);
    prefix = newPrefix;
}

Measurement_t Measurement_t::converted(UnitPfx_t newPrefix) const {
    Measurement_t m = *this;
    m.convertValue(newPrefix);
    return m;
}

double Measurement_t::getNoPrefixValue() const {
    return rescale(value, prefix, UnitPfxNone);
}

Measurement_t withFittingPrefix(Measurement_t value) {
    if (!knownPrefix(value.prefix)) value.value = std::nan("");
    if (value.value == 0.0 || !std::isfinite(value.value)) {
        value.prefix = UnitPfxNone;
        return value;
    }
    while (std::abs(value.value) >= 1000.0 && value.prefix < UnitPfxPeta) {
        value.value /= 1000.0;
        value.prefix = UnitPfx_t(value.prefix + 1);
    }
    while (std::abs(value.value) < 1.0 && value.prefix > UnitPfxFemto) {
        value.value *= 1000.0;
        value.prefix = UnitPfx_t(value.prefix - 1);
    }
    return value;
}

std::string Measurement_t::label() const {
    return prefixSymbol(prefix) + unit;
}

bool Measurement_t::operator==(const Measurement_t& o) const {
    return unit == o.unit && getNoPrefixValue() == o.getNoPrefixValue();
}

void RangedMeasurement_t::convertValues(UnitPfx_t newPrefix) {
    min = rescale(min, prefix, newPrefix);
    max = rescale(max, prefix, newPrefix);
    step = rescale(step, prefix, newPrefix);
    prefix = newPrefix;
}

RangedMeasurement_t RangedMeasurement_t::converted(UnitPfx_t newPrefix) const {
    RangedMeasurement_t r = *this;
    r.convertValues(newPrefix);
    return r;
}

std::string RangedMeasurement_t::label() const {
    return prefixSymbol(prefix) + unit;
}

bool RangedMeasurement_t::includes(const Measurement_t& m) const {
    const double v = m.converted(prefix).value;
    return v >= min && v <= max;
}

// No default case: a code added to the enumeration without a text is a compiler warning.
const char* errorMessage(ErrorCodes_t code) {
    switch (code) {
    case Success:
        return "No error";
    case ErrorNoDevicesDetected:
        return "No devices detected";
    case ErrorDevicesDetectionFailed:
        return "Devices detection failed";
    case ErrorEepromOpenFailed:
    case ErrorEepromConnectionFailed:
        return "Connection to device EEPROM failed";
    case ErrorEepromDisconnectionFailed:
        return "Disconnection from device EEPROM failed";
    case ErrorEepromNotConnected:
        return "Not connected to device EEPROM";
    case ErrorEepromReadFailed:
        return "Read from device EEPROM failed";
    case ErrorEepromNotRecognized:
        return "Device EEPROM not recognized";
    case ErrorResourcesInitialization:
        return "Error initializing the resources";
    case ErrorDeviceTypeNotControllable:
        return "Device type not controllable with KAV4";
    case ErrorDeviceAlreadyConnected:
        return "Device already connected";
    case ErrorDeviceNotConnected:
        return "Device not connected";
    case ErrorDeviceConnectionFailed:
        return "Connection to device failed";
    case ErrorFtdiConfigurationFailed:
        return "Ftdi configuration failed";
    case ErrorDeviceDisconnectionFailed:
        return "Disconnection from device failed";
    case ErrorDeviceCommunicationFailed:
        return "Failed communication with the device";
    case ErrorDifferentDeviceTypes:
        return "Trying to connect to device of different types";
    case ErrorMessageSendFailed:
        return "Failed to send message to the device";
    case ErrorCommandNotImplemented:
        return "Command not implemented";
    case ErrorValueOutOfRange:
        return "Value out of range for the device";
    case WarningNoDataAvailable:
        return "No data available";
    case WarningNotEnoughData:
        return "Not enough data available";
    case ErrorInvalidProtocolParameters:
        return "Invalid protocol parameters";
    case ErrorFeatureNotImplemented:
        return "This feature is not implemented for the current device";
    case ErrorUnknown:
        return "Unknown error";
    }
    return "Unknown error";
}

} // namespace kv4cl
