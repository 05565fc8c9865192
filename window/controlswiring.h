#pragma once
// The Controls dock's choices, each where it applies: range and rate changes to every consumer
// (through the session), to the information dock, the analyses, and on models with protocols to
// the stimulus and the recording settings; the automatic current range to the producer, whose
// moves of the range the dock shows.

class AcquisitionInfoDockWidget;
class AnalysisDocks;
class ControlsDockWidget;
class DeviceSession;
class ProtocolDockWidget;

struct ControlledViews {
    AcquisitionInfoDockWidget* info = nullptr;
    AnalysisDocks* analyses = nullptr;
    ProtocolDockWidget* protocol = nullptr; // on models with protocols
};

void connectControls(ControlsDockWidget* controls, DeviceSession& session, const ControlledViews& views);
