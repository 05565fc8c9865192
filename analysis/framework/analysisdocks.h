#pragma once
// The online analyses of a connection, as the main window needs them: each analysis's
// consumer on the producer and its dock in the window, reachable from the Analysis menu.
// The main window files the consumers with its others (they follow rate, range and filter
// changes there and are stopped and deleted with them) and routes ranges, record file names
// and the lab book through this object. Deleting it deletes the docks.

#include "acquisition/devicedataconsumer.h"

#include "recording/labbookevent.h"

#include "commlib/types/kv4cltypes.h"

#include <QObject>
#include <QPointer>

#include <utility>
#include <vector>

class AnalysisWidget;
class MembraneMonitorWidget;
class PlotTab;
class RCEstimationWidget;
class DeviceDataProducer;
class VoltageAutomaticControllerWidget;
class StimulusService;
class QDockWidget;
class QMainWindow;
class QMenu;

class AnalysisDocks : public QObject {
    Q_OBJECT

  public:
    // The docks go to the right area of `window`, hidden until chosen in `analysisMenu`.
    AnalysisDocks(DeviceDataProducer* producer, QMainWindow* window, QMenu* analysisMenu);
    ~AnalysisDocks() override;

    // Each consumer with its kind; the caller owns them.
    const std::vector<std::pair<DeviceDataConsumer*, DeviceDataConsumer::Types_t>>& consumers() const {
        return made;
    }
    std::vector<QDockWidget*> docks() const;
    // The main window hands its capacitances on.
    RCEstimationWidget* rcEstimation() const;
    MembraneMonitorWidget* membraneMonitor() const;
    VoltageAutomaticControllerWidget* voltageController() const;
    // The membrane monitor watches and switches the plot tab's channels; the RC estimation runs
    // its protocols and the voltage automatic controller applies its voltages through the
    // stimulus (null on models without protocols).
    void attach(PlotTab* plotTab, StimulusService* stimulus);

  signals:
    // Ownership of the event passes with the signal.
    void labbookEvent(LabbookEvent* event);

  public slots:
    void onVoltageRangeChanged(kv4cl::RangedMeasurement_t range);
    void onCurrentRangeChanged(kv4cl::RangedMeasurement_t range, int channelIdx);
    void onGpRangeChanged(kv4cl::RangedMeasurement_t range, int channelIdx);
    void onNewRecordFile(QString name);
    void onRecording(bool on);

  private:
    std::vector<std::pair<DeviceDataConsumer*, DeviceDataConsumer::Types_t>> made;
    std::vector<QPointer<AnalysisWidget>> widgets;
    QPointer<RCEstimationWidget> rcWidget;
    QPointer<MembraneMonitorWidget> monitorWidget;
    QPointer<VoltageAutomaticControllerWidget> controllerWidget;
};
