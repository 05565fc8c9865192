#pragma once
// Every image the program loads, as ":/imgs/<name>.png", with its size in logical pixels.
// Each also exists at twice that size as ":/imgs/<name>@2x.png" for high-density screens.

#include <array>
#include <string_view>

namespace kav4img {

struct Image {
    std::string_view name;
    int width;
    int height;
};

inline constexpr int kIcon = 32;
inline constexpr int kProtocolWidth = 160;
inline constexpr int kProtocolHeight = 96;

inline constexpr auto kImages = std::to_array<Image>({
    {"activation button off", 44, 22},
    {"activation button on", 44, 22},
    {"analysis boltzmann sigmoid fit", kIcon, kIcon},
    {"analysis export", kIcon, kIcon},
    {"analysis gaussian fit", kIcon, kIcon},
    {"analysis labbook", kIcon, kIcon},
    {"analysis linear fit", kIcon, kIcon},
    {"analysis reset", kIcon, kIcon},
    {"backward", kIcon, kIcon},
    {"baseline", kIcon, kIcon},
    {"cursor rise", kIcon, kIcon},
    {"cursors", kIcon, kIcon},
    {"data monitor", kIcon, kIcon},
    {"digital offset compensation", kIcon, kIcon},
    {"folder settings", kIcon, kIcon},
    {"forward", kIcon, kIcon},
    {"help icon", kIcon, kIcon},
    {"hide", kIcon, kIcon},
    {"insertion pulse", kIcon, kIcon},
    {"led off", 16, 16},
    {"limit to roi", kIcon, kIcon},
    {"load parameters", kIcon, kIcon},
    {"lock closed", kIcon, kIcon},
    {"lock open", kIcon, kIcon},
    {"logo_with_name", 480, 140},
    {"maximize", kIcon, kIcon},
    {"minimize", kIcon, kIcon},
    {"pause protocol", kIcon, kIcon},
    {"power on", kIcon, kIcon},
    {"record protocol", kIcon, kIcon},
    {"recording protocol", kIcon, kIcon},
    {"red led on", 16, 16},
    {"reference pulse", kIcon, kIcon},
    {"reference pulse override", kIcon, kIcon},
    {"restore default protocols", kIcon, kIcon},
    {"save parameters", kIcon, kIcon},
    {"select channel", kIcon, kIcon},
    {"show", kIcon, kIcon},
    {"splitter handle", 12, 24},
    {"start protocol", kIcon, kIcon},
    {"stop protocol", kIcon, kIcon},
    {"trigger disable", kIcon, kIcon},
    {"trigger rise", kIcon, kIcon},
    {"view table", kIcon, kIcon},
    {"warning icon", kIcon, kIcon},
    {"y axis zoom synchronization", kIcon, kIcon},
    {"zap", kIcon, kIcon},
    {"zoom full", kIcon, kIcon},
    {"zoom+", kIcon, kIcon},
    {"zoom-", kIcon, kIcon},
    {"protocols/conductance001", kProtocolWidth, kProtocolHeight},
    {"protocols/cyclicVoltammetry002", kProtocolWidth, kProtocolHeight},
    {"protocols/holdingVoltage001", kProtocolWidth, kProtocolHeight},
    {"protocols/ramp002", kProtocolWidth, kProtocolHeight},
    {"protocols/sealTest001", kProtocolWidth, kProtocolHeight},
    {"protocols/stepVariableAmplitude001", kProtocolWidth, kProtocolHeight},
    {"protocols/stepVariableDuration001", kProtocolWidth, kProtocolHeight},
    {"protocols/triangularParametric001", kProtocolWidth, kProtocolHeight},
});

} // namespace kav4img
