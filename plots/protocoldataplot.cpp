#include "plots/protocoldataplot.h"

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
} // namespace

ProtocolDataPlot::ProtocolDataPlot(int channelIdx, QWidget* parent, const QString& topRightText,
                                   const QString& otherCornersText)
    : Plot(parent, topRightText, otherCornersText), channel(channelIdx),
      // A negative hot spot puts it at the centre of the image.
      triggerCursor(QPixmap(":/imgs/cursor rise.png")), levelMarker(addMarker(this)),
      timeMarker(addMarker(this)) {
    pickerTimer.setSingleShot(true);
    pickerTimer.setInterval(pickerTimeoutMs);
    connect(&pickerTimer, &QTimer::timeout, this, &ProtocolDataPlot::disableTriggerPicker);
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
    ax->setLabel(QString::fromStdString(kv4cl::unitPrefixes[newRange.prefix] + newRange.unit));
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
    replot(rpQueuedReplot);
}
