#include "analysis/analyses.h"

// Each is defined in its analysis's folder. An analysis added is its folder and one line here,
// in the menu's order within its placement.
Analysis noiseReportAnalysis();
Analysis rcEstimationAnalysis();
Analysis histogramAnalysis();
Analysis eventDetectionAnalysis();
Analysis spectrumAnalysis();
Analysis ivGraphAnalysis();
Analysis membraneMonitorAnalysis();
Analysis voltageControllerAnalysis();

const std::vector<Analysis>& analyses() {
    static const std::vector<Analysis> all = {
        noiseReportAnalysis(), rcEstimationAnalysis(), histogramAnalysis(),       eventDetectionAnalysis(),
        spectrumAnalysis(),    ivGraphAnalysis(),      membraneMonitorAnalysis(), voltageControllerAnalysis(),
    };
    return all;
}
