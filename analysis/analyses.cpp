#include "analysis/analyses.h"

// Each entry is defined in its analysis's folder. An analysis added is its folder and one line
// here, in the menu's order within its placement.
#define ANALYSES(X)                                                                                          \
    X(noiseReportAnalysis)                                                                                   \
    X(rcEstimationAnalysis)                                                                                  \
    X(histogramAnalysis)                                                                                     \
    X(eventDetectionAnalysis)                                                                                \
    X(spectrumAnalysis)                                                                                      \
    X(ivGraphAnalysis)                                                                                       \
    X(membraneMonitorAnalysis)                                                                               \
    X(voltageControllerAnalysis)

#define DECLARED(entry) Analysis entry();
ANALYSES(DECLARED)

const std::vector<Analysis>& analyses() {
#define LISTED(entry) entry(),
    static const std::vector<Analysis> all = {ANALYSES(LISTED)};
    return all;
}
