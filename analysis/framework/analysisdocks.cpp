#include "analysis/framework/analysisdocks.h"

#include "analysis/eventdetection/eventdetectionconsumer.h"
#include "analysis/eventdetection/eventdetectionwidget.h"
#include "analysis/histogram/histogramconsumer.h"
#include "analysis/histogram/histogramwidget.h"
#include "analysis/ivgraph/ivgraphconsumer.h"
#include "analysis/ivgraph/ivgraphwidget.h"
#include "analysis/membranemonitor/membranemonitorconsumer.h"
#include "analysis/membranemonitor/membranemonitorwidget.h"
#include "analysis/noisereport/noisereportconsumer.h"
#include "analysis/noisereport/noisereportwidget.h"
#include "analysis/rcestimation/rcestimationwidget.h"
#include "analysis/spectrum/spectrumconsumer.h"
#include "analysis/spectrum/spectrumwidget.h"
#include "analysis/voltagecontroller/voltageautomaticcontrollerconsumer.h"
#include "analysis/voltagecontroller/voltageautomaticcontrollerwidget.h"
#include "plots/plottab.h"

#include "commlib/api/kv4cl.h"

#include <QAction>
#include <QMainWindow>
#include <QMenu>

#include <functional>

AnalysisDocks::AnalysisDocks(DeviceDataProducer* producer, QMainWindow* window, QMenu* analysisMenu)
    : QObject(window) {
    uint32_t voltage = 0, current = 0, gp = 0;
    kv4cl::getChannelCounts(voltage, current, gp);

    auto* noiseConsumer = new NoiseReportConsumer(producer);
    made.emplace_back(noiseConsumer, DeviceDataConsumer::TypeNoiseReport);
    auto* noiseWidget = new NoiseReportWidget(window);
    noiseWidget->setObjectName("noiseReportWidget");
    noiseWidget->setChannelsNumber(int(voltage), int(current), int(gp));
    noiseWidget->setConsumer(noiseConsumer);
    widgets.emplace_back(noiseWidget);

    auto* rConsumer = new REstimationConsumer(producer);
    auto* cConsumer = new CEstimationConsumer(producer);
    made.emplace_back(rConsumer, DeviceDataConsumer::TypeRcEstimation);
    made.emplace_back(cConsumer, DeviceDataConsumer::TypeRcEstimation);
    rcWidget = new RCEstimationWidget(window);
    rcWidget->setObjectName("rcEstimationWidget");
    rcWidget->setConsumers(rConsumer, cConsumer);
    widgets.emplace_back(rcWidget);

    // Single docks come first in the menu, before the submenus of the per-channel analyses.
    QAction* firstSubmenu = analysisMenu->actions().value(0);
    for (AnalysisWidget* widget : widgets) {
        window->addDockWidget(Qt::RightDockWidgetArea, widget);
        widget->hide();
        analysisMenu->insertAction(firstSubmenu, widget->toggleViewAction());
        connect(widget, &AnalysisWidget::labbookEvent, this, &AnalysisDocks::labbookEvent);
    }
    // The two single analyses share one place: opened together, each is a tab of the other.
    window->tabifyDockWidget(noiseWidget, rcWidget);

    // The per-channel analyses: one consumer serves a floating dock for each current channel,
    // listed as "Channel N" in the analysis's submenu.
    const auto channelDocks = [&](AnalysisConsumer* consumer, DeviceDataConsumer::Types_t type,
                                  const QString& submenuTitle, const QString& objectName,
                                  const std::function<AnalysisWidget*(int)>& makeDock) {
        made.emplace_back(consumer, type);
        QMenu* submenu = nullptr;
        for (QAction* action : analysisMenu->actions())
            if (action->menu() && action->text() == submenuTitle) submenu = action->menu();
        for (int c = 0; c < int(current); c++) {
            AnalysisWidget* widget = makeDock(c);
            widget->setObjectName(objectName.arg(c + 1));
            widget->setConsumer(consumer);
            window->addDockWidget(Qt::RightDockWidgetArea, widget);
            widget->setFloating(true);
            widget->hide();
            widget->toggleViewAction()->setText(QString("Channel %1").arg(c + 1));
            if (submenu) submenu->addAction(widget->toggleViewAction());
            connect(widget, &AnalysisWidget::labbookEvent, this, &AnalysisDocks::labbookEvent);
            widgets.emplace_back(widget);
        }
    };
    channelDocks(new HistogramConsumer(producer), DeviceDataConsumer::TypeHistogram, "Histogram",
                 "histogramWidget%1", [window](int c) { return new HistogramWidget(c, window); });
    channelDocks(new EventDetectionConsumer(producer), DeviceDataConsumer::TypeEventDetection,
                 "Event detection", "eventDetectionWidget%1",
                 [window](int c) { return new EventDetectionWidget(c, window); });
    channelDocks(new SpectrumConsumer(producer), DeviceDataConsumer::TypeSpectrum, "Spectrum",
                 "spectrumWidget%1", [window](int c) { return new SpectrumWidget(c, window); });
    channelDocks(new IvGraphConsumer(producer), DeviceDataConsumer::TypeIvGraph, "I/V Graph",
                 "ivGraphWidget%1", [window](int c) { return new IvGraphWidget(c, window); });

    // The two watchers of every channel: floating docks listed after the submenus.
    auto* monitorConsumer = new MembraneMonitorConsumer(producer);
    made.emplace_back(monitorConsumer, DeviceDataConsumer::TypeMembraneMonitor);
    monitorWidget = new MembraneMonitorWidget(window);
    monitorWidget->setObjectName("membraneMonitorWidget");
    monitorWidget->setConsumer(monitorConsumer);
    auto* controllerConsumer = new VoltageAutomaticControllerConsumer(producer);
    made.emplace_back(controllerConsumer, DeviceDataConsumer::TypeVoltageAutomaticController);
    controllerWidget = new VoltageAutomaticControllerWidget(window);
    controllerWidget->setObjectName("voltageAutomaticControllerWidget");
    controllerWidget->setConsumer(controllerConsumer);
    for (AnalysisWidget* widget : {(AnalysisWidget*)monitorWidget, (AnalysisWidget*)controllerWidget}) {
        window->addDockWidget(Qt::RightDockWidgetArea, widget);
        widget->setFloating(true);
        widget->hide();
        analysisMenu->addAction(widget->toggleViewAction());
        connect(widget, &AnalysisWidget::labbookEvent, this, &AnalysisDocks::labbookEvent);
        widgets.emplace_back(widget);
    }
    controllerWidget->toggleViewAction()->setText("Voltage Automatic Controller");
}

void AnalysisDocks::attach(PlotTab* plotTab, StimulusService* stimulus) {
    rcWidget->setStimulus(stimulus);
    controllerWidget->setStimulus(stimulus);
    for (int c = 0; c < plotTab->currentChannels(); c++)
        monitorWidget->onSetIconStatus(c, plotTab->isSwitchedOn(c), false);
    connect(plotTab, &PlotTab::monitorMembraneStateChanged, monitorWidget,
            &MembraneMonitorWidget::onSetIconStatus);
    connect(monitorWidget, &MembraneMonitorWidget::membraneMonitorEnabled, plotTab,
            &PlotTab::onMembraneMonitorEnabled);
    connect(monitorWidget, &MembraneMonitorWidget::switchChannelOn, plotTab, &PlotTab::onSwitchChannelOn);
}

AnalysisDocks::~AnalysisDocks() {
    for (const QPointer<AnalysisWidget>& widget : widgets)
        delete widget.data();
}

RCEstimationWidget* AnalysisDocks::rcEstimation() const {
    return rcWidget;
}

MembraneMonitorWidget* AnalysisDocks::membraneMonitor() const {
    return monitorWidget;
}

VoltageAutomaticControllerWidget* AnalysisDocks::voltageController() const {
    return controllerWidget;
}

std::vector<QDockWidget*> AnalysisDocks::docks() const {
    return {widgets.begin(), widgets.end()};
}

void AnalysisDocks::onVoltageRangeChanged(kv4cl::RangedMeasurement_t range) {
    for (AnalysisWidget* widget : widgets)
        widget->onVoltageRangeChanged(range);
}

void AnalysisDocks::onCurrentRangeChanged(kv4cl::RangedMeasurement_t range, int channelIdx) {
    for (AnalysisWidget* widget : widgets)
        widget->onCurrentRangeChanged(range, channelIdx);
}

void AnalysisDocks::onGpRangeChanged(kv4cl::RangedMeasurement_t range, int channelIdx) {
    for (AnalysisWidget* widget : widgets)
        widget->onGpRangeChanged(range, channelIdx);
}

void AnalysisDocks::onNewRecordFile(QString name) {
    for (AnalysisWidget* widget : widgets)
        widget->onNewRecordFile(name);
}

void AnalysisDocks::onRecording(bool on) {
    for (AnalysisWidget* widget : widgets)
        widget->onRecording(on);
}
