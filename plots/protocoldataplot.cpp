#include "plots/protocoldataplot.h"

#include "acquisition/valuelabel.h"

#include <QHelpEvent>
#include <QToolTip>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {
// How long the picker stays on after a pick, so that the click is over before the zoom gestures
// come back.
constexpr int pickerTimeoutMs = 50;

bool sameRange(const kv4cl::RangedMeasurement_t& a, const kv4cl::RangedMeasurement_t& b) {
    return a.min == b.min && a.max == b.max && a.step == b.step && a.prefix == b.prefix && a.unit == b.unit;
}

QCPItemStraightLine* addMarker(QCustomPlot* plot) {
    auto* marker = new QCPItemStraightLine(plot);
    marker->setPen(QPen(QColor("green")));
    marker->setVisible(false);
    return marker;
}

// In the middle of an edge of the canvas, clear of the corner labels.
QCPItemText* addOffScaleMarker(QCustomPlot* plot, Qt::Edge edge) {
    auto* marker = new QCPItemText(plot);
    marker->position->setType(QCPItemPosition::ptAxisRectRatio);
    marker->position->setCoords(0.5, edge == Qt::TopEdge ? 0.0 : 1.0);
    marker->setPositionAlignment(Qt::AlignHCenter | (edge == Qt::TopEdge ? Qt::AlignTop : Qt::AlignBottom));
    marker->setPadding(QMargins(4, 1, 4, 1));
    QFont font = marker->font();
    font.setPointSize(10);
    font.setBold(true);
    marker->setFont(font);
    marker->setVisible(false);
    return marker;
}
QCPItemText* addReadout(QCustomPlot* plot) {
    auto* text = new QCPItemText(plot);
    text->position->setType(QCPItemPosition::ptAxisRectRatio);
    text->position->setCoords(0.0, 0.0);
    text->setPositionAlignment(Qt::AlignTop | Qt::AlignLeft);
    text->setTextAlignment(Qt::AlignLeft);
    text->setPadding(QMargins(3, 1, 3, 1));
    // Small, as a page holds many channels, and on a pale ground through which the trace shows.
    QFont font = text->font();
    font.setPointSize(7);
    text->setFont(font);
    text->setBrush(QColor(255, 255, 255, 220));
    // Above the traces and the cursors, which are drawn on the main layer.
    text->setLayer("legend");
    text->setVisible(false);
    return text;
}

QString timeText(double seconds) {
    return measurementDisplay({seconds, kv4cl::UnitPfxNone, "s"});
}

// The sample whose time is nearest to t.
QCPGraphDataContainer::const_iterator nearestSample(const QCPGraphDataContainer& data, double t) {
    auto after = data.findBegin(t, false);
    if (after == data.constEnd()) return after - 1;
    if (after != data.constBegin() && t - (after - 1)->key < after->key - t) return after - 1;
    return after;
}
} // namespace

ProtocolDataPlot::ProtocolDataPlot(int channelIdx, QWidget* parent, const QString& topRightText,
                                   const QString& otherCornersText)
    : Plot(parent, topRightText, otherCornersText), channel(channelIdx),
      // A negative hot spot puts it at the centre of the image.
      triggerCursor(QPixmap(":/imgs/cursor rise.png")), levelMarker(addMarker(this)),
      timeMarker(addMarker(this)), topMarker(addOffScaleMarker(this, Qt::TopEdge)),
      bottomMarker(addOffScaleMarker(this, Qt::BottomEdge)), readout(addReadout(this)) {
    pickerTimer.setSingleShot(true);
    pickerTimer.setInterval(pickerTimeoutMs);
    connect(&pickerTimer, &QTimer::timeout, this, &ProtocolDataPlot::disableTriggerPicker);
    setAxisUnit(Rect4::xBottom, kv4cl::UnitPfxNone, "s");
    // Every redraw follows a change of the data or of the view, the two things that move a
    // trace out of sight.
    connect(this, &QCustomPlot::beforeReplot, this, [this] {
        updateOffScaleMarkers();
        updateCursorReadout();
    });
}

void ProtocolDataPlot::showLosses(const std::vector<double>& times) {
    while (lossLines.size() < times.size()) {
        auto* line = new QCPItemStraightLine(this);
        line->setPen(QPen(Qt::red, 1, Qt::DashLine));
        line->setSelectable(false);
        lossLines.push_back(line);
    }
    lossCount = times.size();
    for (size_t i = 0; i < lossLines.size(); i++) {
        lossLines[i]->setVisible(i < lossCount);
        if (i >= lossCount) continue;
        lossLines[i]->point1->setCoords(times[i], 0.0);
        lossLines[i]->point2->setCoords(times[i], 1.0);
    }
}

std::vector<double> ProtocolDataPlot::lossesShown() const {
    std::vector<double> times;
    for (size_t i = 0; i < lossCount; i++)
        times.push_back(lossLines[i]->point1->coords().x());
    return times;
}

void ProtocolDataPlot::showSweeps(uint64_t generation, const double* times,
                                  const std::vector<const double*>& sweeps, int points) {
    sweepsShown = generation;
    if (!layer("sweeps")) addLayer("sweeps", layer("main"), QCustomPlot::limBelow);
    const QCPGraph* trace = leftTrace();
    QColor pale = trace ? trace->pen().color() : Qt::gray;
    pale.setAlpha(60);
    while (sweepGraphs.size() < sweeps.size()) {
        auto* graph = new QCPGraph(xAxis, yAxis);
        graph->setLayer("sweeps");
        graph->setAdaptiveSampling(true);
        graph->setSelectable(QCP::stNone);
        sweepGraphs.push_back(graph);
    }
    for (size_t k = 0; k < sweepGraphs.size(); k++) {
        QCPGraph* graph = sweepGraphs[k];
        graph->setVisible(k < sweeps.size());
        if (k >= sweeps.size()) {
            graph->data()->clear();
            continue;
        }
        graph->setPen(QPen(pale, 1.0));
        QVector<QCPGraphData> data(points);
        for (int i = 0; i < points; i++)
            data[i] = QCPGraphData(times[i], sweeps[k][i]);
        graph->data()->set(data, true);
    }
}

int ProtocolDataPlot::sweepsDrawn() const {
    return int(
        std::count_if(sweepGraphs.begin(), sweepGraphs.end(), [](QCPGraph* g) { return g->visible(); }));
}

QCPGraph* ProtocolDataPlot::leftTrace() const {
    // The trace measured is the channel's, never an earlier sweep drawn behind it.
    for (int i = 0; i < graphCount(); i++)
        if (graph(i)->visible() && graph(i)->valueAxis() == yAxis &&
            std::find(sweepGraphs.begin(), sweepGraphs.end(), graph(i)) == sweepGraphs.end())
            return graph(i);
    return nullptr;
}

QString ProtocolDataPlot::leftAxisText(double value) const {
    const std::optional<kv4cl::RangedMeasurement_t>& range = axisRanges[Rect4::yLeft];
    return measurementDisplay(
        {value, range ? range->prefix : kv4cl::UnitPfxNone, range ? range->unit : std::string()});
}

void ProtocolDataPlot::updateCursorReadout() {
    readout->setVisible(cursorsVisible());
    if (!cursorsVisible()) return;
    const QCPGraph* trace = leftTrace();
    QString text = measured(trace ? trace->data().data() : nullptr, cursorX(0), cursorX(1));
    // Too wide for a narrow plot: a quantity a line, as narrow plots of a page are often tall.
    const int width = QFontMetrics(readout->font()).boundingRect(QRect(), Qt::AlignLeft, text).width();
    if (width + readout->padding().left() + readout->padding().right() > axisRect()->width())
        text.replace("  ", "\n");
    readout->setText(text);
}

QString ProtocolDataPlot::measured(const QCPGraphDataContainer* data, double t1, double t2) const {
    const QString t1Text = timeText(t1), t2Text = timeText(t2), dtText = timeText(t2 - t1);
    const QString timesOnly = QString("t1 %1  t2 %2  Δ %3").arg(t1Text, t2Text, dtText);
    if (!data) return timesOnly;
    const auto begin = data->findBegin(std::min(t1, t2), false);
    const auto end = data->findEnd(std::max(t1, t2), false);
    if (begin == end) return timesOnly;
    double sum = 0.0, lowest = begin->value, highest = begin->value;
    for (auto sample = begin; sample != end; ++sample) {
        sum += sample->value;
        lowest = std::min(lowest, sample->value);
        highest = std::max(highest, sample->value);
    }
    const double count = double(end - begin);
    const double mean = sum / count;
    // About the mean found first: a sum of squares would lose the deviations under a large offset.
    double squares = 0.0;
    for (auto sample = begin; sample != end; ++sample)
        squares += (sample->value - mean) * (sample->value - mean);
    const double y1 = nearestSample(*data, t1)->value, y2 = nearestSample(*data, t2)->value;
    // Short, for the narrow plots of a full page: two spaces part the quantities.
    return QString("t1 %1: %2  t2 %3: %4  Δ %5: %6\nmean %7  RMS %8  min %9  max %10")
        .arg(t1Text, leftAxisText(y1), t2Text, leftAxisText(y2), dtText, leftAxisText(y2 - y1),
             leftAxisText(mean), leftAxisText(std::sqrt(squares / count)), leftAxisText(lowest))
        .arg(leftAxisText(highest));
}

bool ProtocolDataPlot::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip && readout->visible()) {
        const auto* help = static_cast<QHelpEvent*>(event);
        const QRectF box(readout->topLeft->pixelPosition(), readout->bottomRight->pixelPosition());
        if (box.contains(help->pos())) {
            // The whole read-out too, for a plot too small to show all of it.
            QToolTip::showText(help->globalPos(),
                               QString(readout->text()).replace("  ", "\n") +
                                   "\n\nAt t1 and t2 the samples nearest to the cursors, and Δ from t1 "
                                   "to t2. Mean, RMS, min and max of the samples between the cursors; "
                                   "RMS is the root mean square of the deviation from the mean, that "
                                   "is the standard deviation.",
                               this);
            return true;
        }
    }
    return Plot::event(event);
}

void ProtocolDataPlot::updateOffScaleMarkers() {
    topMarker->setVisible(false);
    bottomMarker->setVisible(false);
    QCPGraph* trace = leftTrace();
    if (!trace) return;
    const QCPRange times = xAxis->range();
    double lowest = std::numeric_limits<double>::infinity();
    double highest = -lowest;
    double sum = 0.0;
    int count = 0;
    const auto end = trace->data()->findEnd(times.upper, false);
    for (auto point = trace->data()->findBegin(times.lower, false); point != end; ++point) {
        lowest = std::min(lowest, point->value);
        highest = std::max(highest, point->value);
        sum += point->value;
        count++;
    }
    if (count == 0) return;
    const QCPRange shown = yAxis->range();
    QCPItemText* marker = lowest > shown.upper ? topMarker : highest < shown.lower ? bottomMarker : nullptr;
    if (!marker) return;
    marker->setText((marker == topMarker ? "▲ " : "▼ ") + leftAxisText(sum / count));
    marker->setColor(trace->pen().color());
    // Opaque, so that grid lines do not cross the text.
    marker->setBrush(axisRect()->backgroundBrush());
    marker->setVisible(true);
}

void ProtocolDataPlot::onEnableTriggerPicker() {
    picking = true;
    setZoomPickersEnabled(false);
    setCursor(triggerCursor);
}

void ProtocolDataPlot::onDisableTriggerPicker() {
    picking = false;
    setZoomPickersEnabled(true);
    setCursor(Qt::CrossCursor);
}

void ProtocolDataPlot::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && !picking) {
        for (QCPItemText* marker : {topMarker, bottomMarker}) {
            const QRectF box(marker->topLeft->pixelPosition(), marker->bottomRight->pixelPosition());
            if (marker->visible() && box.contains(event->position())) {
                onVertZoomFullRequest(ZoomSynchNone);
                return;
            }
        }
    }
    Plot::mousePressEvent(event);
    if (!picking) return;
    const QPointF p = plotCoordinates(event->position());
    if (event->button() == Qt::LeftButton) onRiseTriggerRequest(p, true);
    if (event->button() == Qt::RightButton) onFallTriggerRequest(p, true);
}

void ProtocolDataPlot::onRiseTriggerRequest(QPointF p, bool notifyPlotTab) {
    requestTrigger(plots::TriggerRise, p, notifyPlotTab);
}

void ProtocolDataPlot::onFallTriggerRequest(QPointF p, bool notifyPlotTab) {
    requestTrigger(plots::TriggerFall, p, notifyPlotTab);
}

void ProtocolDataPlot::requestTrigger(TriggerType_t type, QPointF p, bool notifyPlotTab) {
    emit triggerEnabled(type, p.x(), p.y(), channel, notifyPlotTab);
    onEnableTriggerMarker(p.x(), p.y());
    pickerTimer.start();
}

void ProtocolDataPlot::onEnableTriggerMarker(double x, double y) {
    position = x / xAxis->range().size();
    level = y;
    levelMarker->point1->setCoords(0.0, y);
    levelMarker->point2->setCoords(1.0, y);
    timeMarker->point1->setCoords(x, 0.0);
    timeMarker->point2->setCoords(x, 1.0);
    levelMarker->setVisible(true);
    timeMarker->setVisible(true);
    replot(rpQueuedReplot);
}

void ProtocolDataPlot::onDisableTriggerMarker() {
    levelMarker->setVisible(false);
    timeMarker->setVisible(false);
    replot(rpQueuedReplot);
}

void ProtocolDataPlot::onDurationUpdated(double duration) {
    xAxis->setRange(0.0, duration);
    if (timeMarker->visible()) {
        const double x = position * duration;
        timeMarker->point1->setCoords(x, 0.0);
        timeMarker->point2->setCoords(x, 1.0);
        emit updateTriggerX(x);
    }
    replot(rpQueuedReplot);
}

void ProtocolDataPlot::onRangeUpdated(kv4cl::RangedMeasurement_t newRange, Axis axisIdx) {
    Q_ASSERT(axisIdx == Rect4::yLeft || axisIdx == Rect4::yRight);
    std::optional<kv4cl::RangedMeasurement_t>& applied = axisRanges[axisIdx];
    if (applied && sameRange(*applied, newRange)) {
        replot(rpQueuedReplot);
        return;
    }
    // The same physical window in the new prefix, as the consumer rescales the samples alike.
    const double factor = applied ? kv4cl::prefixFactor(applied->prefix, newRange.prefix) : 1.0;
    QCPAxis* ax = axis(axisIdx);
    const QCPRange interval = applied ? QCPRange(ax->range().lower * factor, ax->range().upper * factor)
                                      : QCPRange(newRange.min, newRange.max);
    applied = newRange;
    if (axisIdx == Rect4::yRight) {
        ax->setRange(interval);
    } else {
        setLeftInterval(interval);
        // The markers live on the left axis.
        if (levelMarker->visible()) {
            level *= factor;
            levelMarker->point1->setCoords(0.0, level);
            levelMarker->point2->setCoords(1.0, level);
            emit updateTriggerY(level);
        }
    }
    setAxisUnit(axisIdx, newRange.prefix, QString::fromStdString(newRange.unit));
    replot(rpQueuedReplot);
}
