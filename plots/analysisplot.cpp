#include "plots/analysisplot.h"

#include <cmath>

namespace {
// How near, in pixels, the pointer must be to grab a cursor.
constexpr double grabDistance = 5.0;
} // namespace

AnalysisPlot::AnalysisPlot(QWidget* parent, const QString& topRightText, const QString& otherCornersText)
    : Plot(parent, topRightText, otherCornersText) {
    for (int i = 0; i < 2; i++) {
        cursors[i] = new QCPItemStraightLine(this);
        cursors[i]->setPen(QPen(Qt::black, 1.0, Qt::DashLine));
        placeCursor(i);
    }
    connect(xAxis, qOverload<const QCPRange&>(&QCPAxis::rangeChanged), this,
            &AnalysisPlot::onScaleDivChanged);
    setMouseTracking(true);
}

QCPRange AnalysisPlot::cursorsRange() const {
    return QCPRange(cursorX(0), cursorX(1));
}

void AnalysisPlot::setCursorsVisible(bool on) {
    cursors[0]->setVisible(on);
    cursors[1]->setVisible(on);
    replot(rpQueuedReplot);
}

void AnalysisPlot::pinCursors(const QCPRange& range) {
    if (grabbed >= 0) return; // the user's drag goes on from where the cursor is held
    pinned = true;
    pins[0] = range.lower;
    pins[1] = range.upper;
    onScaleDivChanged();
}

void AnalysisPlot::unpinCursors() {
    if (!pinned) return;
    for (int i = 0; i < 2; i++)
        fractions[i] = (pins[i] - xAxis->range().lower) / xAxis->range().size();
    pinned = false;
}

double AnalysisPlot::cursorX(int idx) const {
    return pinned ? pins[idx] : xAxis->range().lower + fractions[idx] * xAxis->range().size();
}

void AnalysisPlot::placeCursor(int idx) {
    cursors[idx]->point1->setCoords(cursorX(idx), 0.0);
    cursors[idx]->point2->setCoords(cursorX(idx), 1.0);
}

void AnalysisPlot::onScaleDivChanged() {
    placeCursor(0);
    placeCursor(1);
}

int AnalysisPlot::cursorAt(QPointF p) const {
    const double pixel = xAxis->coordToPixel(p.x());
    for (int i = 0; i < 2; i++)
        if (cursors[i]->visible() && std::abs(xAxis->coordToPixel(cursorX(i)) - pixel) <= grabDistance)
            return i;
    return -1;
}

void AnalysisPlot::mouseMoveEvent(QMouseEvent* event) {
    Plot::mouseMoveEvent(event);
    if (event->buttons() == Qt::NoButton)
        setCursor(cursorAt(plotCoordinates(event->position())) < 0 ? Qt::CrossCursor : Qt::OpenHandCursor);
}

void AnalysisPlot::onZoomInPickerAppended(QPointF p) {
    grabbed = cursorAt(p);
    if (grabbed < 0) {
        Plot::onZoomInPickerAppended(p);
        return;
    }
    setCursor(Qt::ClosedHandCursor);
}

void AnalysisPlot::onZoomInPickerMoved(QPointF p) {
    if (grabbed < 0) {
        Plot::onZoomInPickerMoved(p);
        return;
    }
    if (pinned)
        pins[grabbed] = p.x();
    else
        fractions[grabbed] = (p.x() - xAxis->range().lower) / xAxis->range().size();
    placeCursor(grabbed);
    replot(rpQueuedReplot);
}

void AnalysisPlot::onZoomInPickerSelected(QRectF r) {
    if (grabbed < 0) {
        onZoomInRequest(endZoomDrag(r), ZoomSynchNone);
        return;
    }
    grabbed = -1;
    setCursor(Qt::OpenHandCursor);
    emit cursorsMoved();
}

void AnalysisPlot::onZoomOutPickerSelected(QPointF) {
    onZoomOutRequest(ZoomSynchNone);
}

void AnalysisPlot::onZoomResetPickerSelected(QPointF) {
    onZoomResetRequest(ZoomSynchNone);
}
