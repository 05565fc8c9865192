#include "plots/curve.h"

#include <qcustomplot.h>

Curve::Curve(int style, double penWidth, QColor color)
    : curveStyle(style), width(penWidth), curveColor(color) {}

Curve::~Curve() {
    detach();
}

QCPGraph* Curve::graph() const {
    return plotGraph.data();
}

void Curve::setStyle(int style) {
    curveStyle = style;
    applyLook();
}

void Curve::setPenWidth(double penWidth) {
    width = penWidth;
    applyLook();
}

void Curve::setColor(const QColor& color) {
    curveColor = color;
    applyLook();
}

QPen Curve::pen() const {
    switch (curveStyle) {
    case 0:
    case 2:
        return QPen(QBrush(curveColor), width, Qt::SolidLine);
    case 1:
        return QPen(QBrush(Qt::red), width, Qt::DashLine);
    case 3:
        return QPen(QBrush(curveColor), width, Qt::DotLine);
    case 4:
        return QPen(QBrush(curveColor), width, Qt::DashLine);
    case 5:
        return QPen(Qt::NoPen);
    default:
        return QPen();
    }
}

QCPScatterStyle Curve::scatterStyle() const {
    if (curveStyle != 5) return QCPScatterStyle(QCPScatterStyle::ssNone);
    return QCPScatterStyle(QCPScatterStyle::ssDisc, QPen(curveColor, 2), QBrush(curveColor), 4);
}

void Curve::setRawSamples(const double* x, const double* y, int dataSize) {
    xValues = x;
    yValues = y;
    size = dataSize;
}

void Curve::updateData() {
    if (!plotGraph) return;
    QCPGraphDataContainer& data = *plotGraph->data();
    if (data.size() == size) {
        // The common case, ten times a second per channel: overwrite in place, no allocation.
        auto point = data.begin();
        for (int i = 0; i < size; i++, ++point) {
            point->key = xValues[i];
            point->value = yValues[i];
        }
        return;
    }
    QVector<QCPGraphData> points(size);
    for (int i = 0; i < size; i++)
        points[i] = QCPGraphData(xValues[i], yValues[i]);
    data.set(points, true);
}

void Curve::attach(QCPAxis* keyAxis, QCPAxis* valueAxis) {
    detach();
    plotGraph = new QCPGraph(keyAxis, valueAxis);
    // Sweeps have no gaps to show: adaptive sampling keeps 8192-point curves fast and peaks visible.
    plotGraph->setAdaptiveSampling(true);
    applyLook();
    updateData();
}

void Curve::detach() {
    if (plotGraph) plotGraph->parentPlot()->removeGraph(plotGraph.data());
    plotGraph.clear();
}

void Curve::setVisible(bool on) {
    visible = on;
    if (plotGraph) plotGraph->setVisible(on);
}

void Curve::applyLook() {
    if (!plotGraph) return;
    plotGraph->setPen(pen());
    plotGraph->setScatterStyle(scatterStyle());
    plotGraph->setLineStyle(curveStyle == 5 ? QCPGraph::lsNone : QCPGraph::lsLine);
    plotGraph->setVisible(visible);
}
