#pragma once
// The views a recording touches, over the session's RecordingService: the protocol dock asks
// for it and gives its plan, channels switched off on the plots stay out of the next one, the
// ranges stay put while one runs, the compensations dock tags the recording that starts, the
// analyses and the information dock learn of it and of its files, the lab book keeps its notes.

class AcquisitionInfoDockWidget;
class AnalysisDocks;
class CompensationsDockWidget;
class ControlsDockWidget;
class Labbook;
class PlotTab;
class ProtocolDockWidget;
class RecordingService;

struct RecordingViews {
    PlotTab* plotTab = nullptr;
    ControlsDockWidget* controls = nullptr;
    AcquisitionInfoDockWidget* info = nullptr;
    AnalysisDocks* analyses = nullptr;
    Labbook* labbook = nullptr;
    ProtocolDockWidget* protocol = nullptr;           // on models with protocols
    CompensationsDockWidget* compensations = nullptr; // on models with CFast
};

void connectRecording(RecordingService* recorder, const RecordingViews& views);
