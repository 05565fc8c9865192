#include "plots/protocoldataplot.h"

#include "acquisition/valuelabel.h"

#include <algorithm>
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
} // namespace

ProtocolDataPlot::ProtocolDataPlot(int channelIdx, QWidget* parent, const QString& topRightText,
                                   const QString& otherCornersText)
    : Plot(parent, topRightText, otherCornersText), channel(channelIdx),
      // A negative hot spot puts it at the centre of the image.
      triggerCursor(QPixmap(":/imgs/cursor rise.png")), levelMarker(addMarker(this)),
      timeMarker(addMarker(this)), topMarker(addOffScaleMarker(this, Qt::TopEdge)),
      bottomMarker(addOffScaleMarker(this, Qt::BottomEdge)) {
    pickerTimer.setSingleShot(true);
    pickerTimer.setInterval(pickerTimeoutMs);
    connect(&pickerTimer, &QTimer::timeout, this, &ProtocolDataPlot::disableTriggerPicker);
    setAxisUnit(Rect4::xBottom, kv4cl::UnitPfxNone, "s");
    // Every redraw follows a change of the data or of the view, the two things that move a
    // trace out of sight.
    connect(this, &QCustomPlot::beforeReplot, this, &ProtocolDataPlot::updateOffScaleMarkers);
}

void ProtocolDataPlot::updateOffScaleMarkers() {
    topMarker->setVisible(false);
    bottomMarker->setVisible(false);
    QCPGraph* trace = nullptr;
    for (int i = 0; i < graphCount() && !trace; i++)
        if (graph(i)->visible() && graph(i)->valueAxis() == yAxis) trace = graph(i);
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
    const std::optional<kv4cl::RangedMeasurement_t>& range = axisRanges[Rect4::yLeft];
    const kv4cl::Measurement_t mean{sum / count, range ? range->prefix : kv4cl::UnitPfxNone,
                                    range ? range->unit : std::string()};
    marker->setText((marker == topMarker ? "▲ " : "▼ ") + measurementDisplay(mean));
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
