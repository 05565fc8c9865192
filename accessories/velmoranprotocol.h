#pragma once
// The text protocol of the Velmoran temperature controller. A command is its text, the sum of
// the text's bytes modulo 256 as two uppercase hexadecimal digits, and a carriage return. The
// controller echoes the command and answers after the echo; fields sit at fixed positions of
// the reply. Temperatures travel as tenths of a degree in four hexadecimal digits, negative
// ones in 16-bit two's complement.

#include <optional>
#include <string>

namespace velmoran {

// Text + checksum + carriage return.
std::string command(const std::string& text);

inline const std::string statusText = "YTs";
inline const std::string resetText = "YTr";
inline const std::string stopText = "YTd";
std::string readTemperatureText(int channel); // "YT?" and channel + 50
std::string readSetPointText(int channel);    // "YT?" and channel + 40
// "YTt", the channel in two digits, the tenths of `celsius` (truncated toward zero) in four
// hexadecimal digits, "01" with regulation on, "00" off.
std::string writeSetPointText(int channel, double celsius, bool regulation);

// What follows the echo of `sent` in `received`: the whole text when it is shorter than the
// command or does not begin with it.
std::string replyOf(const std::string& sent, const std::string& received);

// Fields of the replies; nullopt when the reply is too short or a field is not a number.
std::optional<double> temperatureOf(const std::string& reply); // positions 3 to 6
struct SetPoint {
    double celsius;
    bool regulation;
};
std::optional<SetPoint> setPointOf(const std::string& reply); // 3 to 6, regulation 7 and 8
struct Status {
    int status; // 0 ready, 1 and 6 reset needed
    int flags;  // 8: regulating
};
std::optional<Status> statusOf(const std::string& reply); // positions 4 and 5

} // namespace velmoran
