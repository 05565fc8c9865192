#pragma once
// The plot of an analysis result, with its cursors shown to mark a region of interest (pinned
// to a region that something was computed over). The plot stands alone, so its zoom gestures
// apply to itself instead of going out as requests.

#include "plots/plot.h"

class AnalysisPlot : public Plot {
    Q_OBJECT

  public:
    explicit AnalysisPlot(QWidget* parent = nullptr, const QString& topRightText = QString(),
                          const QString& otherCornersText = QString());

  protected slots:
    void onZoomInPickerSelected(QRectF r) override;
    void onZoomOutPickerSelected(QPointF p) override;
    void onZoomResetPickerSelected(QPointF p) override;
};
