#pragma once
// kav4-cli record: records the connected amplifiers without windows, through the session and
// the recording service the program's window records through (writers, naming, headers, lab
// book), for a time or until Ctrl+C; optionally injects the virtual amplifiers' faults and
// proves the files whole in pattern mode.

#include "tools/acquisitionsettings.h"

#include <string>
#include <vector>

namespace kav4sim {
class SimulatedBus;
}

namespace kav4cli {

// What record ends with, besides 1 (a failure) and 2 (a usage error).
constexpr int exitRecorded = 0;   // nothing lost
constexpr int exitFramesLost = 3; // recorded, with frames lost, each marked in the files

struct RecordRequest {
    std::vector<std::string> ids;
    double seconds = 0.0;
    int format = 0; // 0 for DAT, 1 for ABF
    std::string folder;
    bool verifyPattern = false;
    // Every this many seconds the next fault of the virtual amplifiers; 0 for none.
    double faultSeconds = 0.0;
    AcquisitionSettings settings;
};

// `bus` holds the virtual amplifiers, null without a simulation; the ids are known devices.
int record(const RecordRequest& request, kav4sim::SimulatedBus* bus);

} // namespace kav4cli
