#pragma once
// What a recording needs from the record settings, copied by each writer when it starts:
// lengths are in samples (per channel), the maximum file size in MB.

#include <limits>

struct RecordSettings {
    // Left at its defaults, a recording goes on until it is stopped.
    bool unlimitedRecording = true;
    bool bigFileClip = false; // "Limit max file size"
    // Whether the writers split files and cut sweeps; the dialog may turn these off while its
    // boxes keep their values.
    bool chunksEnabled = false;
    bool sweepsEnabled = false;
    double recordLength = -1.0; // -1 when off
    double chunkLength = -1.0;
    double sweepLength = -1.0;
    double maxFileSize = std::numeric_limits<double>::max();
};
