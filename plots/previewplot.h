#pragma once
// A small plot of a protocol's preview. It stands alone, so its zoom gestures apply to itself
// instead of going out as requests.

#include "plots/plot.h"

class PreviewPlot : public Plot {
    Q_OBJECT

  public:
    using Plot::Plot;

    QSize sizeHint() const override { return QSize(200, 200); }

  protected slots:
    void onZoomInPickerSelected(QRectF r) override;
    void onZoomOutPickerSelected(QPointF p) override;
    void onZoomResetPickerSelected(QPointF p) override;
};
