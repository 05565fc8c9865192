#include "plots/previewplot.h"

void PreviewPlot::onZoomInPickerSelected(QRectF r) {
    onZoomInRequest(endZoomDrag(r), ZoomSynchNone);
}

void PreviewPlot::onZoomOutPickerSelected(QPointF) {
    onZoomOutRequest(ZoomSynchNone);
}

void PreviewPlot::onZoomResetPickerSelected(QPointF) {
    onZoomResetRequest(ZoomSynchNone);
}
