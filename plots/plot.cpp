#include "plots/plot.h"

#include "plots/conversionscaledraw.h"

#include <QRubberBand>
#include <QToolTip>

#include <algorithm>
#include <cmath>
#include <optional>

namespace {
// Major ticks allowed per pixel of the axis length.
constexpr int pixelsPerTick = 40;
// Share of the span a wheel event scrolls.
constexpr double wheelStep = 0.05;
// Share of the data's span left free above and below it by a fit.
constexpr double fitMargin = 0.1;
// How near, in pixels, the pointer must be to grab a cursor.
constexpr double grabDistance = 5.0;
} // namespace

Plot::Plot(QWidget* parent, const QString& topRightText, const QString& otherCornersText)
    : QCustomPlot(parent), scaleDraw(new ConversionScaleDraw) {
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    axisRect()->setBackground(Qt::white);

    for (QCPAxis* gridAxis : {xAxis, yAxis}) {
        gridAxis->grid()->setPen(QPen(Qt::lightGray, 0.5, Qt::SolidLine));
        gridAxis->grid()->setSubGridPen(QPen(Qt::lightGray, 0.3, Qt::SolidLine));
    }
    xAxis->grid()->setSubGridVisible(true);
    xAxis->setTicker(scaleDraw);
    yAxis->setTicker(QSharedPointer<ConversionScaleDraw>::create());
    yAxis2->setTicker(QSharedPointer<ConversionScaleDraw>::create());

    topRightLabel = addCornerLabel(topRightText, Qt::AlignTop | Qt::AlignRight);
    bottomRightLabel = addCornerLabel(otherCornersText, Qt::AlignBottom | Qt::AlignRight);
    topLeftLabel = addCornerLabel(otherCornersText, Qt::AlignTop | Qt::AlignLeft);

    for (QCPItemStraightLine*& line : cursors) {
        line = new QCPItemStraightLine(this);
        line->setPen(QPen(Qt::black, 1.0, Qt::DashLine));
        line->setVisible(false);
    }
    placeCursors();
    connect(xAxis, qOverload<const QCPRange&>(&QCPAxis::rangeChanged), this, &Plot::placeCursors);

    setCursor(Qt::CrossCursor);
    leftHalfHeight = yAxis->range().size() / 2.0;
    for (Axis a : {Rect4::yLeft, Rect4::yRight, Rect4::xBottom, Rect4::xTop})
        connect(axis(a), qOverload<const QCPRange&>(&QCPAxis::rangeChanged), this,
                [this, a] { showAxisUnit(a); });
}

QCPItemText* Plot::addCornerLabel(const QString& text, Qt::Alignment corner) {
    auto* label = new QCPItemText(this);
    // Anchored to the canvas, so the label follows every resize without being moved by hand.
    label->position->setType(QCPItemPosition::ptAxisRectRatio);
    label->position->setCoords(corner & Qt::AlignRight ? 1.0 : 0.0, corner & Qt::AlignBottom ? 1.0 : 0.0);
    label->setPositionAlignment(corner);
    QFont font = label->font();
    font.setPointSize(10);
    label->setFont(font);
    label->setText(text);
    return label;
}

void Plot::setAxisUnit(Axis axisIdx, kv4cl::UnitPfx_t prefix, const QString& unit) {
    axisUnits[axisIdx] = {true, prefix, unit};
    showAxisUnit(axisIdx);
}

void Plot::showAxisUnit(Axis axisIdx) {
    const AxisUnit& held = axisUnits[axisIdx];
    if (!held.set) return;
    QCPAxis* shownAxis = axis(axisIdx);
    const QCPRange range = shownAxis->range();
    const double largest = std::max(std::abs(range.lower), std::abs(range.upper));
    const kv4cl::UnitPfx_t shown =
        std::min(held.prefix, kv4cl::withFittingPrefix({largest, held.prefix, ""}).prefix);
    if (auto draw = shownAxis->ticker().dynamicCast<ConversionScaleDraw>())
        draw->setFactor(kv4cl::prefixFactor(held.prefix, shown));
    shownAxis->setLabel(QString::fromUtf8(kv4cl::unitPrefixes[shown]) + held.unit);
}

QString Plot::topRightText() const {
    return topRightLabel->text();
}

void Plot::setTopRightText(const QString& text) {
    topRightLabel->setText(text);
    replot(rpQueuedReplot);
}

QString Plot::bottomRightText() const {
    return bottomRightLabel->text();
}

void Plot::setBottomRightText(const QString& text) {
    bottomRightLabel->setText(text);
    replot(rpQueuedReplot);
}

QString Plot::topLeftText() const {
    return topLeftLabel->text();
}

void Plot::setTopLeftText(const QString& text) {
    topLeftLabel->setText(text);
    replot(rpQueuedReplot);
}

QCPAxis* Plot::axis(Axis axis) const {
    switch (axis) {
    case Rect4::yLeft:
        return yAxis;
    case Rect4::yRight:
        return yAxis2;
    case Rect4::xBottom:
        return xAxis;
    case Rect4::xTop:
        return xAxis2;
    }
    return nullptr;
}

Rect4 Plot::view() const {
    Rect4 v;
    for (Axis a : {Rect4::yLeft, Rect4::yRight, Rect4::xBottom, Rect4::xTop})
        v[a] = axis(a)->range();
    return v;
}

void Plot::setCursorsVisible(bool on) {
    cursors[0]->setVisible(on);
    cursors[1]->setVisible(on);
    // For the open hand over a cursor that can be grabbed.
    setMouseTracking(on);
    replot(rpQueuedReplot);
}

double Plot::cursorX(int idx) const {
    return pinned ? pins[idx] : xAxis->range().lower + fractions[idx] * xAxis->range().size();
}

void Plot::pinCursors(const QCPRange& range) {
    if (grabbed >= 0) return; // the user's drag goes on from where the cursor is held
    pinned = true;
    pins[0] = range.lower;
    pins[1] = range.upper;
    placeCursors();
}

void Plot::unpinCursors() {
    if (!pinned) return;
    for (int i = 0; i < 2; i++)
        fractions[i] = (pins[i] - xAxis->range().lower) / xAxis->range().size();
    pinned = false;
}

void Plot::placeCursors() {
    for (int i = 0; i < 2; i++) {
        cursors[i]->point1->setCoords(cursorX(i), 0.0);
        cursors[i]->point2->setCoords(cursorX(i), 1.0);
    }
}

int Plot::cursorAt(QPointF p) const {
    const double pixel = xAxis->coordToPixel(p.x());
    for (int i = 0; i < 2; i++)
        if (cursors[i]->visible() && std::abs(xAxis->coordToPixel(cursorX(i)) - pixel) <= grabDistance)
            return i;
    return -1;
}

double Plot::pixelSlopeFactor() const {
    const QRect canvas = axisRect()->rect();
    return canvas.width() * yAxis->range().size() / (canvas.height() * xAxis->range().size());
}

Plot::ZoomMode_t Plot::dragZoomMode(QPointF from, QPointF to, double pixelSlopeFactor) {
    const QPointF d = to - from;
    if (d.y() == 0.0) return d.x() == 0.0 ? ZoomBoth : ZoomHorizontal;
    const double r = std::abs(d.x() / d.y()) * pixelSlopeFactor;
    if (r < 0.1) return ZoomVertical;
    return r <= 10.0 ? ZoomBoth : ZoomHorizontal;
}

Rect4 Plot::viewFromSelection(const QRectF& rect, ZoomMode_t mode) const {
    Rect4 v = view();
    if (mode != ZoomVertical) v[Rect4::xBottom] = QCPRange(rect.left(), rect.right());
    if (mode != ZoomHorizontal) {
        const QCPRange left = yAxis->range();
        const QCPRange right = yAxis2->range();
        v[Rect4::yLeft] = QCPRange(rect.top(), rect.bottom());
        if (yAxis2->visible()) {
            const double ratio = right.size() / left.size();
            v[Rect4::yRight] = QCPRange(right.lower + (rect.top() - left.lower) * ratio,
                                        right.lower + (rect.bottom() - left.lower) * ratio);
        }
    }
    return v;
}

void Plot::onZoomInRequest(Rect4* rect, ZoomSynchType_t zoomSynchType) {
    zoomIn(*rect, true, true, zoomSynchType);
}

void Plot::onHorzZoomInRequest(Rect4* rect, ZoomSynchType_t zoomSynchType) {
    zoomIn(*rect, true, false, zoomSynchType);
}

void Plot::onVertZoomInRequest(Rect4* rect, ZoomSynchType_t zoomSynchType) {
    zoomIn(*rect, false, true, zoomSynchType);
}

void Plot::zoomIn(const Rect4& view, bool x, bool y, ZoomSynchType_t zoomSynchType) {
    const bool xEmpty = !x || view[Rect4::xBottom].size() == 0.0;
    const bool yEmpty = !y || view[Rect4::yLeft].size() == 0.0;
    if (xEmpty && yEmpty) return;
    stack.append(this->view());
    // QCPAxis ignores empty intervals, so an empty part of the view keeps its axis as it is.
    if (x) xAxis->setRange(view[Rect4::xBottom]);
    if (y) {
        setLeftInterval(view[Rect4::yLeft]);
        if (yAxis2->visible()) yAxis2->setRange(view[Rect4::yRight]);
    }
    replot(rpQueuedReplot);
    emitZoomed(zoomSynchType);
}

void Plot::onScaleYAxis(Plot::Axis axisIdx, double factor) {
    Rect4 scaled = view();
    const double centre = scaled[axisIdx].center();
    const double half = scaled[axisIdx].size() * factor / 2.0;
    scaled[axisIdx] = QCPRange(centre - half, centre + half);
    onVertZoomInRequest(&scaled, ZoomSynchNone);
}

void Plot::onVertZoomFullRequest(ZoomSynchType_t zoomSynchType) {
    stack.append(view());
    fitToData(yAxis);
    if (yAxis2->visible()) fitToData(yAxis2);
    leftHalfHeight = yAxis->range().size() / 2.0;
    replot(rpQueuedReplot);
    emitZoomed(zoomSynchType);
}

void Plot::fitToData(QCPAxis* valueAxis) {
    std::optional<QCPRange> data;
    for (QCPAbstractPlottable* plottable : valueAxis->plottables()) {
        if (!plottable->visible()) continue;
        bool found = false;
        // What the time axis shows, not the whole sweep: a zoom into an event fits the event.
        const QCPRange values = plottable->getValueRange(found, QCP::sdBoth, plottable->keyAxis()->range());
        if (found)
            data = data ? QCPRange(std::min(data->lower, values.lower), std::max(data->upper, values.upper))
                        : values;
    }
    if (!data) return;
    if (data->size() == 0.0) {
        // A flat trace keeps the zoom level, centred.
        valueAxis->setRange(data->lower, valueAxis->range().size(), Qt::AlignCenter);
        return;
    }
    // A margin keeps the trace off the edges, where the off-scale markers and corner labels sit.
    const double margin = data->size() * fitMargin;
    valueAxis->setRange(data->lower - margin, data->upper + margin);
}

void Plot::onZoomOutRequest(ZoomSynchType_t zoomSynchType) {
    if (stack.isEmpty()) {
        xAxis->rescale();
        yAxis->rescale();
        yAxis2->rescale();
        leftHalfHeight = yAxis->range().size() / 2.0;
    } else {
        const Rect4 previous = stack.takeLast();
        xAxis->setRange(previous[Rect4::xBottom]);
        setLeftInterval(previous[Rect4::yLeft]);
        yAxis2->setRange(previous[Rect4::yRight]);
    }
    replot(rpQueuedReplot);
    if (zoomSynchType == ZoomSynchNone) return;
    emittedView = view();
    emit zoomPopped(&emittedView);
}

void Plot::onZoomResetRequest(ZoomSynchType_t zoomSynchType) {
    xAxis->rescale();
    yAxis->rescale();
    yAxis2->rescale();
    leftHalfHeight = yAxis->range().size() / 2.0;
    replot(rpQueuedReplot);
    if (zoomSynchType == ZoomSynchNone) return;
    emittedView = view();
    emit zoomReset(&emittedView);
}

void Plot::onUpdateBaseline(Axis axisIdx, double baseline) {
    axis(axisIdx)->setRange(baseline - leftHalfHeight, baseline + leftHalfHeight);
    replot(rpQueuedReplot);
}

void Plot::setLeftInterval(const QCPRange& interval) {
    yAxis->setRange(interval);
    leftHalfHeight = yAxis->range().size() / 2.0;
}

void Plot::emitZoomed(ZoomSynchType_t zoomSynchType) {
    emittedView = view();
    switch (zoomSynchType) {
    case ZoomSynchX:
        emit xAxisZoomed(&emittedView);
        break;
    case ZoomSynchY:
        emit yAxisZoomed(&emittedView);
        break;
    case ZoomSynchBoth:
        emit bothAxisZoomed(&emittedView);
        break;
    case ZoomSynchNone:
        break;
    }
}

void Plot::onZoomInPickerAppended(QPointF p) {
    dragStart = p;
    dragSlopeFactor = pixelSlopeFactor();
    dragMode = ZoomBoth;
    showRubberBand(p);
}

void Plot::onZoomInPickerMoved(QPointF p) {
    dragMode = dragZoomMode(dragStart, p, dragSlopeFactor);
    showRubberBand(p);
}

void Plot::onZoomInPickerSelected(QRectF r) {
    emit zoomInRequest(endZoomDrag(r));
}

Rect4* Plot::endZoomDrag(const QRectF& r) {
    if (rubberBand) rubberBand->hide();
    QToolTip::hideText();
    requestedView = viewFromSelection(r, dragMode);
    return &requestedView;
}

void Plot::onZoomOutPickerSelected(QPointF) {
    emit zoomOutRequest();
}

void Plot::onZoomResetPickerSelected(QPointF) {
    emit zoomResetRequest();
}

QPointF Plot::plotCoordinates(QPointF pixel) const {
    return QPointF(xAxis->pixelToCoord(pixel.x()), yAxis->pixelToCoord(pixel.y()));
}

QPoint Plot::pixelPosition(QPointF p) const {
    return QPointF(xAxis->coordToPixel(p.x()), yAxis->coordToPixel(p.y())).toPoint();
}

void Plot::mousePressEvent(QMouseEvent* event) {
    QCustomPlot::mousePressEvent(event);
    if (!zoomPickersEnabled) return;
    const QPointF p = plotCoordinates(event->position());
    if (event->button() == Qt::LeftButton) {
        grabbed = cursorAt(p);
        if (grabbed >= 0) {
            setCursor(Qt::ClosedHandCursor);
            return;
        }
        dragging = true;
        onZoomInPickerAppended(p);
    } else if (event->button() == Qt::RightButton &&
               axisRect()->rect().contains(event->position().toPoint())) {
        // The canvas only: a right click on the axes is left to the widget holding the plot.
        onZoomOutPickerSelected(p);
    }
}

void Plot::mouseMoveEvent(QMouseEvent* event) {
    QCustomPlot::mouseMoveEvent(event);
    const QPointF p = plotCoordinates(event->position());
    if (grabbed >= 0) {
        if (pinned)
            pins[grabbed] = p.x();
        else
            fractions[grabbed] = (p.x() - xAxis->range().lower) / xAxis->range().size();
        placeCursors();
        replot(rpQueuedReplot);
    } else if (dragging) {
        onZoomInPickerMoved(p);
    } else if (event->buttons() == Qt::NoButton && zoomPickersEnabled && cursorsVisible()) {
        setCursor(cursorAt(p) < 0 ? Qt::CrossCursor : Qt::OpenHandCursor);
    }
}

void Plot::mouseReleaseEvent(QMouseEvent* event) {
    QCustomPlot::mouseReleaseEvent(event);
    if (event->button() != Qt::LeftButton) return;
    if (grabbed >= 0) {
        grabbed = -1;
        setCursor(Qt::OpenHandCursor);
        emit cursorsMoved();
        return;
    }
    if (!dragging) return;
    dragging = false;
    onZoomInPickerSelected(QRectF(dragStart, plotCoordinates(event->position())).normalized());
}

void Plot::mouseDoubleClickEvent(QMouseEvent* event) {
    QCustomPlot::mouseDoubleClickEvent(event);
    if (zoomPickersEnabled && resetMachine.transition(event))
        onZoomResetPickerSelected(plotCoordinates(event->position()));
}

void Plot::showRubberBand(QPointF p) {
    // A rectangle for a zoom of both axes, a line along the zoomed axis otherwise.
    const QRubberBand::Shape shape = dragMode == ZoomBoth ? QRubberBand::Rectangle : QRubberBand::Line;
    if (!rubberBand || rubberBand->shape() != shape) {
        delete rubberBand;
        rubberBand = new QRubberBand(shape, this);
        QPalette palette = rubberBand->palette();
        palette.setColor(QPalette::Highlight, Qt::blue);
        rubberBand->setPalette(palette);
    }
    const QPoint start = pixelPosition(dragStart);
    const QPoint end = pixelPosition(p);
    QRect band(start, end);
    if (dragMode == ZoomHorizontal) band = QRect(start, QPoint(end.x(), start.y() + 1));
    if (dragMode == ZoomVertical) band = QRect(start, QPoint(start.x() + 1, end.y()));
    rubberBand->setGeometry(band.normalized());
    rubberBand->show();
    QToolTip::showText(mapToGlobal(end), QStringLiteral("%1, %2").arg(p.x()).arg(p.y()), this);
}

void Plot::wheelEvent(QWheelEvent* event) {
    const int angle = event->angleDelta().y();
    if (angle == 0) return;
    QCPAxis* scrolled = yAxis2->visible() && event->position().x() > width() / 2.0 ? yAxis2 : yAxis;
    // Turning toward the user (negative angle) moves the interval up.
    const double step = scrolled->range().size() * wheelStep;
    scrolled->moveRange(angle < 0 ? step : -step);
    replot(rpQueuedReplot);
    event->accept();
}

void Plot::resizeEvent(QResizeEvent* event) {
    QCustomPlot::resizeEvent(event);
    const int newXTicks = event->size().width() / pixelsPerTick;
    const int newYTicks = event->size().height() / pixelsPerTick;
    if (newXTicks != xTicks || newYTicks != yTicks) {
        xTicks = newXTicks;
        yTicks = newYTicks;
        // The ticker needs at least one tick, even on a plot narrower than one tick's room.
        xAxis->ticker()->setTickCount(std::max(1, xTicks));
        yAxis->ticker()->setTickCount(std::max(1, yTicks));
        yAxis2->ticker()->setTickCount(std::max(1, yTicks));
        replot(rpQueuedReplot);
    }
    emit resizePlot();
}
