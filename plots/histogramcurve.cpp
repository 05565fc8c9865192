#include "plots/histogramcurve.h"

HistogramCurve::HistogramCurve(QCPAxis* keyAxis, QCPAxis* valueAxis) : QCPBars(keyAxis, valueAxis) {
    setPen(QPen(QColor(70, 130, 180)));
    setBrush(QColor(70, 130, 180, 120));
    // Bars are rectangles on the pixel grid: smoothed, a histogram of flat counts (two hundred
    // bars the height of the plot) takes several times as long to draw.
    setAntialiased(false);
    setAntialiasedFill(false);
}

void HistogramCurve::setBins(double lowerEdge, double binWidth, const QList<int>& counts) {
    const int n = counts.size();
    QVector<double> middles(n);
    QVector<double> values(n);
    for (int i = 0; i < n; i++) {
        middles[i] = lowerEdge + (i + 0.5) * binWidth;
        values[i] = counts[i];
    }
    setWidth(binWidth);
    setData(middles, values, true);
}
