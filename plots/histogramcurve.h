#pragma once
// The bars of a histogram: bins of equal width, each bar spanning its bin.

#include <QList>
#include <qcustomplot.h>

class HistogramCurve : public QCPBars {
  public:
    HistogramCurve(QCPAxis* keyAxis, QCPAxis* valueAxis);

    // counts[i] samples fell in [lowerEdge + i binWidth, lowerEdge + (i + 1) binWidth).
    void setBins(double lowerEdge, double binWidth, const QList<int>& counts);
};
