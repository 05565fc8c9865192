#include "plots/analysisplot.h"

AnalysisPlot::AnalysisPlot(QWidget* parent, const QString& topRightText, const QString& otherCornersText)
    : Plot(parent, topRightText, otherCornersText) {
    setCursorsVisible(true);
}

void AnalysisPlot::onZoomInPickerSelected(QRectF r) {
    onZoomInRequest(endZoomDrag(r), ZoomSynchNone);
}

void AnalysisPlot::onZoomOutPickerSelected(QPointF) {
    onZoomOutRequest(ZoomSynchNone);
}

void AnalysisPlot::onZoomResetPickerSelected(QPointF) {
    onZoomResetRequest(ZoomSynchNone);
}
