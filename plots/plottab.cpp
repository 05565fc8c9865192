#include "plots/plottab.h"

#include "commlib/api/kv4cl.h"
#include "plots/membranemonitorbutton.h"
#include "plots/plotlayout.h"
#include "plots/plotpreferencesdialog.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMutexLocker>
#include <QPointer>
#include <QResizeEvent>
#include <QSplitter>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

namespace {

// A sweep shorter than a millisecond shows nothing useful; one longer than a quarter of an
// hour would take that long to draw once.
constexpr double shortestSpan = 1e-3;
constexpr double longestSpan = 1000.0;

QColor foregroundFor(const QColor& background) {
    return background.lightness() < 128 ? Qt::white : Qt::black;
}

// Axes, labels and grid that read well on the background.
void paintPlot(Plot* plot, const QColor& background) {
    const QColor foreground = foregroundFor(background);
    const QColor grid = background.lightness() < 128 ? QColor(80, 80, 80) : QColor(Qt::lightGray);
    plot->setBackground(background);
    plot->axisRect()->setBackground(background);
    for (QCPAxis* axis : plot->axisRect()->axes()) {
        axis->setBasePen(QPen(foreground));
        axis->setTickPen(QPen(foreground));
        axis->setSubTickPen(QPen(foreground));
        axis->setTickLabelColor(foreground);
        axis->setLabelColor(foreground);
        axis->grid()->setPen(QPen(grid, 0.5));
        axis->grid()->setSubGridPen(QPen(grid, 0.3));
    }
    plot->replot(QCustomPlot::rpQueuedReplot);
}

void clearGrid(QGridLayout* grid) {
    while (grid->count() > 0)
        delete grid->takeAt(0);
}

} // namespace

PlotTab::PlotTab(GapFreePlotConsumer* consumer, const PlotPreferencesDialog& preferences,
                 ProtocolSubPlot::Features features, QWidget* parent)
    : QWidget(parent), consumer(consumer), voltageCount(int(consumer->voltageCurves().size())),
      currentCount(int(consumer->currentCurves().size())), gpCount(int(consumer->gpCurves().size())),
      currentGrid(new QGridLayout), gpGrid(new QGridLayout), currentArea(new QWidget), gpArea(new QWidget),
      views(new QStackedWidget), overlapView(new Plot) {
    setObjectName("plotTab");
    const int total = currentCount + gpCount;
    switchedOn.assign(size_t(total), true);
    shown.assign(size_t(total), true);
    tracking.assign(size_t(total), false);
    for (int c = 0; c < currentCount; c++)
        channelColors.push_back(preferences.color(PlotPreferencesDialog::Current, c));
    for (int g = 0; g < gpCount; g++)
        channelColors.push_back(preferences.color(PlotPreferencesDialog::Gp, g));
    for (int v = 0; v < voltageCount; v++)
        voltageColors.push_back(preferences.color(PlotPreferencesDialog::Voltage, v));
    backgroundColor = preferences.backgroundColor();

    auto addChannel = [&](ProtocolSubPlot::Kind kind, int index, int rowIndex, Curve* curve) {
        auto* plot = new ProtocolDataPlot(rowIndex);
        curve->attach(plot->xAxis, plot->yAxis);
        ProtocolSubPlot::Features own = features;
        if (kind != ProtocolSubPlot::CurrentChannel) own = {};
        const QString gpName = kind == ProtocolSubPlot::GpChannel
                                   ? consumer->gpChannelNames().value(index - currentCount)
                                   : QString();
        auto* sub = new ProtocolSubPlot(kind, index, plot, own, gpName);
        if (kind == ProtocolSubPlot::VoltageChannel) {
            voltagePlotList.push_back(plot);
            voltageSubPlots.push_back(sub);
            connectPlot(plot, Voltage);
            return;
        }
        channelPlotList.push_back(plot);
        subPlots.push_back(sub);
        connectPlot(plot, kind == ProtocolSubPlot::CurrentChannel ? Current : Gp);
        connect(sub, &ProtocolSubPlot::baselineTracking, this, &PlotTab::onBaselineTracking);
        connect(sub, &ProtocolSubPlot::maximizeChannel, this, &PlotTab::onMaximizeChannel);
        connect(sub, &ProtocolSubPlot::maximizeNextChannel, this, &PlotTab::onMaximizeNextChannel);
        connect(sub, &ProtocolSubPlot::maximizePreviousChannel, this, &PlotTab::onMaximizePreviousChannel);
        connect(sub, &ProtocolSubPlot::selectStimulusChannel, this, &PlotTab::onSelectStimulusChannel);
        connect(sub, &ProtocolSubPlot::digitalOffsetCompensation, this,
                &PlotTab::onDigitalOffsetCompensation);
        connect(sub, &ProtocolSubPlot::zap, this, &PlotTab::onZap);
        connect(sub, &ProtocolSubPlot::switchChannelOn, this, &PlotTab::onSwitchChannelOn);
        connect(sub, &ProtocolSubPlot::monitorMembraneStateChanged, this,
                &PlotTab::monitorMembraneStateChanged);
    };
    for (int v = 0; v < voltageCount; v++)
        addChannel(ProtocolSubPlot::VoltageChannel, v, v, consumer->voltageCurves()[v]);
    for (int c = 0; c < currentCount; c++)
        addChannel(ProtocolSubPlot::CurrentChannel, c, voltageCount + c, consumer->currentCurves()[c]);
    for (int g = 0; g < gpCount; g++)
        addChannel(ProtocolSubPlot::GpChannel, currentCount + g, voltageCount + currentCount + g,
                   consumer->gpCurves()[g]);

    // The grids of current and gp channels, and the voltage plots beside them.
    auto* channelArea = new QSplitter(Qt::Vertical);
    currentArea->setLayout(currentGrid);
    // How many sub-plots a page holds follows the room the grid has.
    currentArea->installEventFilter(this);
    channelArea->addWidget(currentArea);
    gpArea->setLayout(gpGrid);
    gpArea->installEventFilter(this);
    channelArea->addWidget(gpArea);
    // The few gp channels lie side by side in their share.
    channelArea->setStretchFactor(0, 3);
    channelArea->setStretchFactor(1, 1);
    for (QGridLayout* grid : {currentGrid, gpGrid}) {
        grid->setContentsMargins(0, 0, 0, 0);
        // Wide enough that a click meant for one sub-plot's last button stays off its
        // neighbour's switch.
        grid->setHorizontalSpacing(12);
        grid->setVerticalSpacing(2);
    }
    auto* voltageArea = new QWidget;
    auto* voltageColumn = new QVBoxLayout(voltageArea);
    voltageColumn->setContentsMargins(0, 0, 0, 0);
    for (ProtocolSubPlot* sub : voltageSubPlots)
        voltageColumn->addWidget(sub);
    voltageArea->setMinimumWidth(150);
    auto* grids = new QSplitter(Qt::Horizontal);
    grids->addWidget(channelArea);
    grids->addWidget(voltageArea);
    // A splitter dragged to its end would squeeze the plots to nothing, and a plot without room
    // still redraws, into an empty pixmap that Qt warns about: each area keeps its minimum.
    for (QSplitter* splitter : {channelArea, grids})
        splitter->setChildrenCollapsible(false);
    grids->setStretchFactor(0, 3);
    grids->setStretchFactor(1, 1);
    if (voltageCount == 0) voltageArea->hide();
    views->addWidget(grids);
    overlapView->setAxisUnit(Rect4::xBottom, kv4cl::UnitPfxNone, "s");
    overlapView->yAxis2->setVisible(true);
    overlapView->yAxis2->setTickLabels(true);
    connect(overlapView, &Plot::zoomInRequest, overlapView,
            [this](Rect4* rect) { overlapView->onZoomInRequest(rect, ZoomSynchNone); });
    connect(overlapView, &Plot::zoomOutRequest, overlapView,
            [this] { overlapView->onZoomOutRequest(ZoomSynchNone); });
    connect(overlapView, &Plot::zoomResetRequest, overlapView,
            [this] { overlapView->onZoomResetRequest(ZoomSynchNone); });
    views->addWidget(overlapView);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    layout->addWidget(createToolbar());
    layout->addWidget(views, 1);

    for (int ch = 0; ch < total; ch++)
        applyChannelColor(ch);
    for (int v = 0; v < voltageCount; v++)
        onVoltageColorChanged(v, voltageColors[size_t(v)]);
    onPlotColorsChanged(backgroundColor);
    relayout();

    // Every channel plot follows the tab's trigger state.
    for (auto [signal, slot] :
         {std::pair{&PlotTab::enableTriggerPicker, &ProtocolDataPlot::onEnableTriggerPicker},
          std::pair{&PlotTab::disableTriggerPicker, &ProtocolDataPlot::onDisableTriggerPicker},
          std::pair{&PlotTab::triggerDisabled, &ProtocolDataPlot::onDisableTriggerMarker}})
        for (ProtocolDataPlot* plot : allPlots())
            connect(this, signal, plot, slot);
    connectConsumer();
    onHorzZoom(span);
}

QWidget* PlotTab::createToolbar() {
    auto* bar = new QWidget;
    auto* layout = new QHBoxLayout(bar);
    layout->setContentsMargins(2, 2, 2, 0);
    layout->setSpacing(2);
    auto addButton = [&](const QString& icon, const QString& toolTip) {
        auto* button = new QToolButton;
        button->setIcon(QIcon(icon));
        button->setIconSize(QSize(24, 24));
        button->setToolTip(toolTip);
        button->setAutoRaise(true);
        layout->addWidget(button);
        return button;
    };
    connect(addButton(
                ":/imgs/trigger rise.png",
                "Trigger: left click on a plot to set a rising edge trigger;\nright click for a falling edge "
                "trigger"),
            &QToolButton::clicked, this, &PlotTab::enableTriggerPicker);
    removeTriggerButton = addButton(":/imgs/trigger disable.png", "Remove triggers");
    removeTriggerButton->setEnabled(false);
    connect(removeTriggerButton, &QToolButton::clicked, this, &PlotTab::onDisableTrigger);
    connect(addButton(":/imgs/zoom+.png", "X-Axis zoom in (CTRL +)"), &QToolButton::clicked, this,
            &PlotTab::onHorzZoomIn);
    connect(addButton(":/imgs/zoom-.png", "X-Axis zoom out (CTRL -)"), &QToolButton::clicked, this,
            &PlotTab::onHorzZoomOut);
    connect(addButton(":/imgs/zoom full.png", "Fit the Y-Axis of every plot to its data (F)"),
            &QToolButton::clicked, this, &PlotTab::onFitYAxes);
    QToolButton* synchronize = addButton(":/imgs/y axis zoom synchronization.png",
                                         "Synchronize Y-Axis zoom between plots of the same type");
    synchronize->setCheckable(true);
    connect(synchronize, &QToolButton::toggled, this, [this](bool on) { ySynchronized = on; });
    auto* overlapBox = new QCheckBox("overlap");
    overlapBox->setObjectName("overlap");
    connect(overlapBox, &QCheckBox::toggled, this, &PlotTab::onOverlapPlots);
    layout->addWidget(overlapBox);
    averageBox = new QCheckBox("average");
    averageBox->setObjectName("average");
    averageBox->setToolTip("Show the mean of the sweeps from now on; with a trigger set, of the sweeps that "
                           "start at it.\nThe count of sweeps in the mean follows the box.");
    connect(averageBox, &QCheckBox::toggled, consumer, &PlotConsumer::onAverageSweeps);
    layout->addWidget(averageBox);
    auto* overlayBox = new QCheckBox("overlay");
    overlayBox->setObjectName("overlay");
    overlayBox->setToolTip(QString("Draw the last %1 sweeps, from now on, in a pale shade behind the current "
                                   "one;\nwith a trigger set, the sweeps that start at it.")
                               .arg(PlotConsumer::sweepsKeptMax));
    connect(overlayBox, &QCheckBox::toggled, consumer, &PlotConsumer::onOverlaySweeps);
    layout->addWidget(overlayBox);
    layout->addStretch();

    // Pages of channels, when more are shown than fit.
    pageBar = new QWidget;
    auto* pages = new QHBoxLayout(pageBar);
    pages->setContentsMargins(0, 0, 0, 0);
    previousPageButton = new QToolButton;
    nextPageButton = new QToolButton;
    pageLabel = new QLabel;
    for (auto [button, icon, toolTip, step] :
         {std::tuple{previousPageButton, ":/imgs/backward.png", "Show the previous page of channels", -1},
          std::tuple{nextPageButton, ":/imgs/forward.png", "Show the next page of channels", +1}}) {
        button->setIcon(QIcon(icon));
        button->setIconSize(QSize(24, 24));
        button->setToolTip(toolTip);
        button->setAutoRaise(true);
        connect(button, &QToolButton::clicked, this, [this, step] { onShowPage(page + step); });
    }
    pages->addWidget(previousPageButton);
    pages->addWidget(pageLabel);
    pages->addWidget(nextPageButton);
    layout->addWidget(pageBar);
    return bar;
}

bool PlotTab::eventFilter(QObject* watched, QEvent* event) {
    if ((watched == currentArea || watched == gpArea) && event->type() == QEvent::Resize) {
        const QSize size = static_cast<QResizeEvent*>(event)->size();
        const PageShape shape = pageShape(size.width(), size.height());
        if (watched == gpArea && shape.rows != gpRows) {
            gpRows = shape.rows;
            relayout();
        } else if (watched == currentArea && (!fitted || shape != fit)) {
            fitted = true;
            fit = shape;
            relayout();
        }
    }
    return QWidget::eventFilter(watched, event);
}

void PlotTab::onShowPage(int pageIdx) {
    page = pageIdx;
    relayout();
}

void PlotTab::connectPlot(ProtocolDataPlot* plot, Group group) {
    connect(
        plot, &ProtocolDataPlot::triggerEnabled, this,
        [this, plot](ProtocolDataPlot::TriggerType_t type, double x, double y, int ch, bool notifyPlotTab) {
            if (!notifyPlotTab) return;
            this->consumer->onTriggerEnabled(type, x, y, ch);
            // The other plots show when the trigger sits; its level means something only
            // in the unit of the trigger's own channel.
            for (ProtocolDataPlot* channelPlot : allPlots()) {
                if (channelPlot == plot) continue;
                channelPlot->onEnableTriggerMarker(x, y);
                channelPlot->triggerLevelMarker()->setVisible(false);
            }
            removeTriggerButton->setEnabled(true);
        });
    connect(plot, &ProtocolDataPlot::disableTriggerPicker, this, &PlotTab::disableTriggerPicker);

    connect(plot, &Plot::zoomInRequest, this, [this, plot](Rect4* rect) {
        plot->onZoomInRequest(rect, ySynchronized ? ZoomSynchBoth : ZoomSynchX);
    });
    auto spreadX = [this, plot](Rect4* rect) {
        for (Plot* other : allPlots())
            if (other != plot) other->onHorzZoomInRequest(rect, ZoomSynchNone);
    };
    auto spreadY = [this, plot, group](Rect4* rect) {
        for (Plot* other : plotsOf(group))
            if (other != plot) other->onVertZoomInRequest(rect, ZoomSynchNone);
    };
    connect(plot, &Plot::xAxisZoomed, this, spreadX);
    connect(plot, &Plot::yAxisZoomed, this, spreadY);
    // One zoom on each plot, so that a right click steps each of them back by one.
    connect(plot, &Plot::bothAxisZoomed, this, [this, plot, group](Rect4* rect) {
        const std::vector<Plot*> same = plotsOf(group);
        for (Plot* other : allPlots()) {
            if (other == plot) continue;
            if (std::find(same.begin(), same.end(), other) != same.end())
                other->onZoomInRequest(rect, ZoomSynchNone);
            else
                other->onHorzZoomInRequest(rect, ZoomSynchNone);
        }
    });
    connect(plot, &Plot::zoomOutRequest, this, [plot] { plot->onZoomOutRequest(ZoomSynchX); });
    connect(plot, &Plot::zoomPopped, this, [this, plot] {
        for (Plot* other : allPlots())
            if (other != plot) other->onZoomOutRequest(ZoomSynchNone);
    });
    connect(plot, &Plot::zoomResetRequest, this, [plot] { plot->onZoomResetRequest(ZoomSynchX); });
    connect(plot, &Plot::zoomReset, this, [this, plot] {
        for (Plot* other : allPlots())
            if (other != plot) other->onZoomResetRequest(ZoomSynchNone);
    });
}

void PlotTab::connectConsumer() {
    connect(consumer, &GapFreePlotConsumer::setPlotData, this, &PlotTab::onSetGapFreePlotData);
    connect(consumer, &PlotConsumer::plotDataUpdated, this, &PlotTab::onPlotDataUpdated);
    // The copies a range or the baselines come with are read after the consumer's hand-over (a
    // consumer already gone has ended its thread, which orders them).
    const QPointer<PlotConsumer> from = consumer;
    connect(consumer, &PlotConsumer::voltageRangeUpdated, this,
            [this, from](const kv4cl::RangedMeasurement_t& range) {
                if (from) from->takeHandOver();
                onVoltageRangeChanged(range);
            });
    connect(consumer, &PlotConsumer::currentRangeUpdated, this,
            [this, from](const kv4cl::RangedMeasurement_t& range, int channelIdx) {
                if (from) from->takeHandOver();
                onCurrentRangeChanged(range, channelIdx);
            });
    connect(consumer, &PlotConsumer::gpRangeUpdated, this,
            [this, from](const kv4cl::RangedMeasurement_t& range, int channelIdx) {
                if (from) from->takeHandOver();
                onGpRangeChanged(range, channelIdx);
            });
    connect(consumer, &PlotConsumer::durationUpdated, this, [this](double duration) {
        for (Plot* plot : allPlots())
            if (auto* channelPlot = qobject_cast<ProtocolDataPlot*>(plot))
                channelPlot->onDurationUpdated(duration);
        overlapView->xAxis->setRange(0.0, duration);
        overlapView->replot(QCustomPlot::rpQueuedReplot);
    });
    connect(consumer, &PlotConsumer::baselinesAvailable, this, [this, from](const QList<double>& baselines) {
        if (from) from->takeHandOver();
        onBaselinesAvailable(baselines);
    });
    connect(this, &PlotTab::triggerDisabled, consumer, &PlotConsumer::onTriggerDisabled);
}

PlotTab::Group PlotTab::groupOf(const Plot* plot) const {
    if (std::find(voltagePlotList.begin(), voltagePlotList.end(), plot) != voltagePlotList.end())
        return Voltage;
    const auto at = std::find(channelPlotList.begin(), channelPlotList.end(), plot);
    return at - channelPlotList.begin() < currentCount ? Current : Gp;
}

std::vector<Plot*> PlotTab::plotsOf(Group group) const {
    std::vector<Plot*> plots;
    if (group == Voltage) plots.assign(voltagePlotList.begin(), voltagePlotList.end());
    if (group == Current) plots.assign(channelPlotList.begin(), channelPlotList.begin() + currentCount);
    if (group == Gp) plots.assign(channelPlotList.begin() + currentCount, channelPlotList.end());
    return plots;
}

std::vector<ProtocolDataPlot*> PlotTab::allPlots() const {
    std::vector<ProtocolDataPlot*> plots(voltagePlotList.begin(), voltagePlotList.end());
    plots.insert(plots.end(), channelPlotList.begin(), channelPlotList.end());
    return plots;
}

QGridLayout* PlotTab::gridOf(int channelIdx) const {
    QGridLayout* grid = channelIdx < currentCount ? currentGrid : gpGrid;
    return grid->indexOf(subPlots[size_t(channelIdx)]) >= 0 ? grid : nullptr;
}

bool PlotTab::plotShown(const Plot* plot) const {
    if (overlap) return false; // the overlap view replaces the channel plots
    if (plot == overlapView) return false;
    if (groupOf(plot) == Voltage) return true;
    const int ch =
        int(std::find(channelPlotList.begin(), channelPlotList.end(), plot) - channelPlotList.begin());
    return onScreen[size_t(ch)];
}

Curve* PlotTab::curveOf(int channelIdx) const {
    return channelIdx < currentCount ? consumer->currentCurves()[channelIdx]
                                     : consumer->gpCurves()[channelIdx - currentCount];
}

void PlotTab::onSetGapFreePlotData(double* timeValues, QList<double*>* voltageValues,
                                   QList<double*>* currentValues, QList<double*>* gpValues, int dataSize) {
    QMutexLocker lock(&consumer->displayMutex());
    auto attach = [&](const QList<Curve*>& curves, const QList<double*>& values) {
        for (int i = 0; i < curves.size() && i < values.size(); i++) {
            curves[i]->setRawSamples(timeValues, values[i], dataSize);
            curves[i]->updateData();
        }
    };
    attach(consumer->voltageCurves(), *voltageValues);
    attach(consumer->currentCurves(), *currentValues);
    attach(consumer->gpCurves(), *gpValues);
}

void PlotTab::onPlotDataUpdated() {
    // Only what is on screen is copied and drawn: a maximised channel costs one plot.
    std::vector<QCustomPlot*> drawn;
    if (overlap) drawn.push_back(overlapView);
    for (Plot* plot : allPlots())
        if (plotShown(plot)) drawn.push_back(plot);
    auto isDrawn = [&](const Curve* curve) {
        return curve->graph() &&
               std::find(drawn.begin(), drawn.end(), curve->graph()->parentPlot()) != drawn.end();
    };
    std::vector<double> losses;
    {
        QMutexLocker lock(&consumer->displayMutex());
        for (const QList<Curve*>* curves :
             {&consumer->voltageCurves(), &consumer->currentCurves(), &consumer->gpCurves()})
            for (Curve* curve : *curves)
                if (isDrawn(curve)) curve->updateData();
        losses = consumer->lossTimes();
        // The sweeps kept change once a sweep: a plot copies them when they did since it last did.
        const uint64_t generation = consumer->keptGeneration();
        for (ProtocolDataPlot* plot : allPlots()) {
            if (!plotShown(plot) || plot->sweepsGeneration() == generation) continue;
            std::vector<const double*> sweeps;
            for (int k = 0; k < consumer->sweepsKept(); k++)
                sweeps.push_back(consumer->keptSweep(k, plot->channelIdx()));
            plot->showSweeps(generation, consumer->sweepTimes(), sweeps, consumer->keptPoints());
        }
    }
    for (ProtocolDataPlot* plot : allPlots())
        if (plotShown(plot)) plot->showLosses(losses);
    for (QCustomPlot* plot : drawn)
        plot->replot(QCustomPlot::rpQueuedReplot);
    const int averaged = consumer->sweepsAveraged();
    averageBox->setText(averaged > 0 ? QString("average (%1)").arg(averaged) : "average");
}

void PlotTab::onVoltageRangeChanged(kv4cl::RangedMeasurement_t range) {
    for (ProtocolDataPlot* plot : voltagePlotList)
        plot->onRangeUpdated(range);
}

void PlotTab::onCurrentRangeChanged(kv4cl::RangedMeasurement_t range, int channelIdx) {
    if (channelIdx >= 0 && channelIdx < currentCount)
        channelPlotList[size_t(channelIdx)]->onRangeUpdated(range);
}

void PlotTab::onGpRangeChanged(kv4cl::RangedMeasurement_t range, int channelIdx) {
    if (channelIdx >= 0 && channelIdx < gpCount)
        channelPlotList[size_t(currentCount + channelIdx)]->onRangeUpdated(range);
}

void PlotTab::onDisableTrigger() {
    emit disableTriggerPicker();
    emit triggerDisabled();
    removeTriggerButton->setEnabled(false);
}

void PlotTab::onBaselineTracking(int channelIdx, bool on) {
    const int total = currentCount + gpCount;
    for (int ch = 0; ch < total; ch++) {
        if (channelIdx != total && ch != channelIdx) continue;
        tracking[size_t(ch)] = on;
        subPlots[size_t(ch)]->showBaselineTracking(on);
    }
}

void PlotTab::onBaselinesAvailable(QList<double> baselines) {
    const int total = currentCount + gpCount;
    for (int ch = 0; ch < total && ch < baselines.size(); ch++)
        if (tracking[size_t(ch)]) channelPlotList[size_t(ch)]->onUpdateBaseline(Rect4::yLeft, baselines[ch]);
}

void PlotTab::onMaximizeChannel(int channelIdx, bool on) {
    if (channelIdx < 0 || channelIdx >= currentCount + gpCount) return;
    if (maximized && maximizedIdx != channelIdx) subPlots[size_t(maximizedIdx)]->showMaximized(false);
    if (on && shown[size_t(channelIdx)]) {
        maximized = true;
        maximizedIdx = channelIdx;
    } else if (!on && channelIdx == maximizedIdx) {
        maximized = false;
        maximizedIdx = -1;
    }
    subPlots[size_t(channelIdx)]->showMaximized(maximized && maximizedIdx == channelIdx);
    relayout();
}

void PlotTab::onMaximizeNextChannel(int channelIdx) {
    const int next = nextSwitchedOnChannel(switchedOn, channelIdx, +1);
    if (next >= 0) onMaximizeChannel(next, true);
}

void PlotTab::onMaximizePreviousChannel(int channelIdx) {
    const int previous = nextSwitchedOnChannel(switchedOn, channelIdx, -1);
    if (previous >= 0) onMaximizeChannel(previous, true);
}

void PlotTab::onSelectStimulusChannel(int channelIdx, bool on) {
    emit selectStimulusChannel(channelIdx, on);
}

void PlotTab::onDigitalOffsetCompensation(int channelIdx, bool on) {
    emit digitalOffsetCompensation(channelIdx, on);
}

void PlotTab::showDigitalOffsetCompensation(int channelIdx, bool on) {
    subPlots[size_t(channelIdx)]->showDigitalOffsetCompensation(on);
}

void PlotTab::onZap(int channelIdx) {
    emit zap(channelIdx);
}

void PlotTab::onSwitchChannelOn(int channelIdx, bool on) {
    const int total = currentCount + gpCount;
    if (channelIdx < 0 || channelIdx > total) return;
    // Gp channels have no switch of their own; "every channel" switches the current channels.
    if (channelIdx < currentCount || channelIdx == total) {
        const kv4cl::ErrorCodes_t result =
            kv4cl::setChannelSwitchA(uint16_t(channelIdx == total ? currentCount : channelIdx), on);
        if (result != kv4cl::Success) {
            qWarning("Switching channel %d failed: 0x%x", channelIdx, unsigned(result));
            // The button shows what the channel really does.
            if (channelIdx < total) showSwitch(channelIdx, switchedOn[size_t(channelIdx)]);
            return;
        }
    } else {
        return;
    }
    emit switchChannelOn(channelIdx, on);
    for (int ch = 0; ch < currentCount; ch++) {
        if (channelIdx != total && ch != channelIdx) continue;
        switchedOn[size_t(ch)] = on;
        shown[size_t(ch)] = hideOffed ? on : true;
        showSwitch(ch, on);
        applyChannelColor(ch);
    }
    relayout();
}

void PlotTab::showSwitch(int channelIdx, bool on) {
    MembraneMonitorButton* button = subPlots[size_t(channelIdx)]->switchButton();
    if (!button || button->isChecked() == on) return;
    button->showChecked(on);
    // Set from elsewhere than the button: the membrane monitor learns it here.
    emit monitorMembraneStateChanged(channelIdx, on, button->monitoringEnabled());
}

void PlotTab::onMembraneMonitorEnabled(bool enable) {
    for (ProtocolSubPlot* sub : subPlots)
        sub->onMembraneMonitorEnabled(enable);
}

void PlotTab::onHideOffedChannels(bool hide) {
    hideOffed = hide;
    for (size_t ch = 0; ch < shown.size(); ch++)
        shown[ch] = hide ? switchedOn[ch] : true;
    relayout();
}

void PlotTab::relayout() {
    if (maximized && !shown[size_t(maximizedIdx)]) {
        subPlots[size_t(maximizedIdx)]->showMaximized(false);
        maximized = false;
        maximizedIdx = -1;
    }
    std::vector<int> currents, gps;
    for (int ch = 0; ch < currentCount + gpCount; ch++)
        if (shown[size_t(ch)]) (ch < currentCount ? currents : gps).push_back(ch);

    // Current channels past a page are shown a page at a time; a maximised channel brings its
    // page along, for when it returns to the grid.
    const int shownCurrents = int(currents.size());
    const int perPage = fitted ? fit.size() : shownCurrents;
    const int maxRows = fitted ? fit.rows : 4;
    const int pages = std::max(1, (shownCurrents + perPage - 1) / std::max(1, perPage));
    if (maximized && maximizedIdx < currentCount)
        page = int(std::find(currents.begin(), currents.end(), maximizedIdx) - currents.begin()) / perPage;
    page = std::clamp(page, 0, pages - 1);
    const int first = page * perPage;
    const int onPage = std::min(perPage, shownCurrents - first);
    pageBar->setVisible(pages > 1);
    pageBar->setEnabled(!maximized);
    previousPageButton->setEnabled(page > 0);
    nextPageButton->setEnabled(page < pages - 1);
    if (onPage > 0)
        pageLabel->setText(QString("Page %1 of %2: Ch%3-Ch%4")
                               .arg(page + 1)
                               .arg(pages)
                               .arg(currents[size_t(first)] + 1)
                               .arg(currents[size_t(first + onPage - 1)] + 1));
    currents = std::vector<int>(currents.begin() + first, currents.begin() + first + onPage);
    if (maximized) {
        currents.clear();
        gps.clear();
        (maximizedIdx < currentCount ? currents : gps).push_back(maximizedIdx);
    }

    clearGrid(currentGrid);
    clearGrid(gpGrid);
    onScreen.assign(size_t(currentCount + gpCount), false);
    for (int ch : currents)
        onScreen[size_t(ch)] = true;
    for (int ch : gps)
        onScreen[size_t(ch)] = true;
    for (size_t ch = 0; ch < subPlots.size(); ch++)
        subPlots[ch]->setVisible(onScreen[ch]);
    // Every page of a group has the shape of a full one, so that plots keep their size from
    // page to page.
    auto layOut = [this](QGridLayout* grid, const std::vector<int>& channels, int full, int maxRows) {
        for (int k = 0; k < int(channels.size()); k++) {
            const GridCell cell = gridCell(k, full, maxRows);
            grid->addWidget(subPlots[size_t(channels[size_t(k)])], cell.row, cell.column);
        }
        const int rows = gridRows(full, maxRows), columns = gridColumns(full, maxRows);
        for (int r = 0; r < std::max(rows, grid->rowCount()); r++)
            grid->setRowStretch(r, r < rows ? 1 : 0);
        for (int c = 0; c < std::max(columns, grid->columnCount()); c++)
            grid->setColumnStretch(c, c < columns ? 1 : 0);
    };
    layOut(currentGrid, currents, maximized ? 1 : std::min(perPage, shownCurrents), maxRows);
    layOut(gpGrid, gps, int(gps.size()), gpRows);
    currentArea->setVisible(!currents.empty());
    gpArea->setVisible(!gps.empty());
}

void PlotTab::applyChannelColor(int channelIdx) {
    QColor color = channelColors[size_t(channelIdx)];
    if (!switchedOn[size_t(channelIdx)]) {
        // A switched-off channel fades towards the background.
        const QColor& bg = backgroundColor;
        color = QColor((color.red() + 2 * bg.red()) / 3, (color.green() + 2 * bg.green()) / 3,
                       (color.blue() + 2 * bg.blue()) / 3);
    }
    curveOf(channelIdx)->setColor(color);
    channelPlotList[size_t(channelIdx)]->replot(QCustomPlot::rpQueuedReplot);
}

void PlotTab::onCurrentColorChanged(int channelIdx, QColor color) {
    if (channelIdx < 0 || channelIdx >= currentCount) return;
    channelColors[size_t(channelIdx)] = color;
    applyChannelColor(channelIdx);
}

void PlotTab::onCurrentColorChanged(int channelIdx) {
    if (channelIdx >= 0 && channelIdx < currentCount) applyChannelColor(channelIdx);
}

void PlotTab::onVoltageColorChanged(int channelIdx, QColor color) {
    if (channelIdx < 0 || channelIdx >= voltageCount) return;
    voltageColors[size_t(channelIdx)] = color;
    onVoltageColorChanged(channelIdx);
}

void PlotTab::onVoltageColorChanged(int channelIdx) {
    if (channelIdx < 0 || channelIdx >= voltageCount) return;
    consumer->voltageCurves()[channelIdx]->setColor(voltageColors[size_t(channelIdx)]);
    voltagePlotList[size_t(channelIdx)]->replot(QCustomPlot::rpQueuedReplot);
}

void PlotTab::onGpColorChanged(int channelIdx, QColor color) {
    if (channelIdx < 0 || channelIdx >= gpCount) return;
    channelColors[size_t(currentCount + channelIdx)] = color;
    applyChannelColor(currentCount + channelIdx);
}

void PlotTab::onGpColorChanged(int channelIdx) {
    if (channelIdx >= 0 && channelIdx < gpCount) applyChannelColor(currentCount + channelIdx);
}

void PlotTab::onPlotColorsChanged(QColor color) {
    backgroundColor = color;
    onPlotColorsChanged();
}

void PlotTab::onPlotColorsChanged() {
    for (Plot* plot : allPlots())
        paintPlot(plot, backgroundColor);
    paintPlot(overlapView, backgroundColor);
    // Switched-off channels fade towards the new background.
    for (int ch = 0; ch < currentCount + gpCount; ch++)
        if (!switchedOn[size_t(ch)]) applyChannelColor(ch);
}

void PlotTab::onHorzZoom(double totalTime) {
    span = std::clamp(totalTime, shortestSpan, longestSpan);
    consumer->onDurationChanged(kv4cl::Measurement_t{span, kv4cl::UnitPfxNone, "s"});
    Rect4 view;
    view[Rect4::xBottom] = QCPRange(0.0, span);
    for (Plot* plot : allPlots())
        plot->onHorzZoomInRequest(&view, ZoomSynchNone);
    overlapView->onHorzZoomInRequest(&view, ZoomSynchNone);
    const std::vector<ProtocolDataPlot*> plots = allPlots();
    if (!plots.empty()) span = plots.front()->xAxis->range().size();
}

void PlotTab::onHorzZoomIn() {
    onHorzZoom(span / 2.0);
}

void PlotTab::onHorzZoomOut() {
    onHorzZoom(span * 2.0);
}

void PlotTab::zoomGroup(Group group, double factor) {
    std::vector<Plot*> plots = plotsOf(group);
    Plot::Axis axis = Rect4::yLeft;
    if (overlap && group != Gp) {
        plots = {overlapView};
        axis = group == Voltage ? Rect4::yRight : Rect4::yLeft;
    }
    for (Plot* plot : plots)
        plot->onScaleYAxis(axis, factor);
}

void PlotTab::onVertZoomInCurrentPlots() {
    zoomGroup(Current, 0.5);
}

void PlotTab::onVertZoomInVoltagePlots() {
    zoomGroup(Voltage, 0.5);
}

void PlotTab::onVertZoomInGpPlots() {
    zoomGroup(Gp, 0.5);
}

void PlotTab::onVertZoomOutCurrentPlots() {
    zoomGroup(Current, 2.0);
}

void PlotTab::onVertZoomOutVoltagePlots() {
    zoomGroup(Voltage, 2.0);
}

void PlotTab::onVertZoomOutGpPlots() {
    zoomGroup(Gp, 2.0);
}

void PlotTab::onZoomReset() {
    for (Plot* plot : allPlots())
        plot->onZoomResetRequest(ZoomSynchNone);
    if (overlap) overlapView->onZoomResetRequest(ZoomSynchNone);
}

void PlotTab::onFitYAxes() {
    for (Plot* plot : allPlots())
        plot->onVertZoomFullRequest(ZoomSynchNone);
    if (overlap) overlapView->onVertZoomFullRequest(ZoomSynchNone);
}

void PlotTab::onOverlapPlots(bool on) {
    overlap = on;
    {
        QMutexLocker lock(&consumer->displayMutex());
        for (int v = 0; v < voltageCount; v++) {
            Plot* target = on ? overlapView : voltagePlotList[size_t(v)];
            consumer->voltageCurves()[v]->attach(target->xAxis, on ? target->yAxis2 : target->yAxis);
        }
        for (int c = 0; c < currentCount; c++) {
            Plot* target = on ? overlapView : channelPlotList[size_t(c)];
            consumer->currentCurves()[c]->attach(target->xAxis, target->yAxis);
        }
    }
    if (on) {
        overlapView->xAxis->setRange(voltagePlotList.empty() ? channelPlotList.front()->xAxis->range()
                                                             : voltagePlotList.front()->xAxis->range());
        overlapView->onZoomResetRequest(ZoomSynchNone);
    }
    for (Plot* plot : allPlots())
        plot->replot(QCustomPlot::rpQueuedReplot);
    views->setCurrentIndex(on ? 1 : 0);
}
