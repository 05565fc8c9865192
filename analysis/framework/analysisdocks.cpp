#include "analysis/framework/analysisdocks.h"

#include "analysis/framework/analysisconsumer.h"

#include "acquisition/devicedataproducer.h"
#include "analysis/framework/analysiswidget.h"

#include <QAction>
#include <QMainWindow>
#include <QMenu>

void AnalysisDocks::addSubmenus(QMenu* analysisMenu, const std::vector<Analysis>& analyses) {
    for (const Analysis& analysis : analyses)
        if (analysis.placement == AnalysisPlacement::PerChannel)
            analysisMenu->addMenu(analysis.title)->setObjectName(analysis.key);
}

AnalysisDocks::AnalysisDocks(DeviceDataProducer* producer, const std::vector<Analysis>& analyses,
                             QMainWindow* window, QMenu* analysisMenu)
    : QObject(window) {
    const DeviceDataProducer::ChannelCounts& counts = producer->channelCounts();
    const uint32_t current = counts.current;
    // The docked analyses come first in the menu, before the submenus.
    QAction* firstSubmenu = analysisMenu->actions().value(0);
    AnalysisWidget* firstDocked = nullptr;
    for (const Analysis& analysis : analyses) {
        const std::vector<AnalysisConsumer*> consumers = analysis.makeConsumers(producer);
        for (AnalysisConsumer* consumer : consumers)
            made.emplace_back(consumer, analysis.filterKey);
        const QString objectName = analysis.key + "Widget";
        if (analysis.placement == AnalysisPlacement::PerChannel) {
            auto* submenu = analysisMenu->findChild<QMenu*>(analysis.key, Qt::FindDirectChildrenOnly);
            for (int c = 0; c < int(current); c++) {
                AnalysisWidget* widget = analysis.makeDock(consumers, counts, c, window);
                widget->setObjectName(objectName + QString::number(c + 1));
                place(widget, window, true);
                widget->toggleViewAction()->setText(QString("Channel %1").arg(c + 1));
                if (submenu) submenu->addAction(widget->toggleViewAction());
            }
            continue;
        }
        AnalysisWidget* widget = analysis.makeDock(consumers, counts, int(current), window);
        widget->setObjectName(objectName);
        const bool docked = analysis.placement == AnalysisPlacement::Docked;
        place(widget, window, !docked);
        widget->toggleViewAction()->setText(analysis.title);
        if (docked) {
            analysisMenu->insertAction(firstSubmenu, widget->toggleViewAction());
            // Opened together, each is a tab of the other.
            if (firstDocked)
                window->tabifyDockWidget(firstDocked, widget);
            else
                firstDocked = widget;
        } else {
            analysisMenu->addAction(widget->toggleViewAction());
        }
    }
}

void AnalysisDocks::place(AnalysisWidget* widget, QMainWindow* window, bool floating) {
    window->addDockWidget(Qt::RightDockWidgetArea, widget);
    widget->setFloating(floating);
    widget->hide();
    connect(widget, &AnalysisWidget::labbookEvent, this, &AnalysisDocks::labbookEvent);
    widgets.emplace_back(widget);
}

AnalysisDocks::~AnalysisDocks() {
    for (const QPointer<AnalysisWidget>& widget : widgets)
        delete widget.data();
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
