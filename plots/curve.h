#pragma once
// One trace of a plot: its style, pen and colour, and the buffers it shows. The buffers stay
// owned by whoever fills them (the plot consumer writes them in its own thread); the curve
// copies them into its plot's graph when told to, in the GUI thread, so a plot never reads a
// buffer on its own while it is being written. A curve outlives the plots it is shown in: it
// can move from one plot to another (the overlap view) and leaves a plot when destroyed.

#include <QColor>
#include <QPen>
#include <QPointer>

class QCPAxis;
class QCPGraph;
class QCPScatterStyle;

class Curve {
  public:
    // Styles: 0 and 2 solid in the colour, 1 dashed red, 3 dotted, 4 dashed, 5 dots without a
    // line; any other the default pen without symbols.
    explicit Curve(int style = 0, double penWidth = 1.0, QColor color = Qt::blue);
    ~Curve();
    Curve(const Curve&) = delete;
    Curve& operator=(const Curve&) = delete;

    int style() const { return curveStyle; }
    void setStyle(int style);
    double penWidth() const { return width; }
    void setPenWidth(double penWidth);
    QColor color() const { return curveColor; }
    void setColor(const QColor& color);
    // What the style makes of the colour and width.
    QPen pen() const;
    QCPScatterStyle scatterStyle() const;

    // The samples to show: x and y arrays of `size` values, not copied until updateData.
    void setRawSamples(const double* x, const double* y, int size);
    int dataSize() const { return size; }
    // Copies the samples into the graph, if the curve is shown in a plot.
    void updateData();

    // Shows the curve in the plot of these axes (leaving any other plot), drawn against them.
    void attach(QCPAxis* keyAxis, QCPAxis* valueAxis);
    void detach();
    // The graph in its current plot, null when detached.
    QCPGraph* graph() const;

    bool isVisible() const { return visible; }
    void setVisible(bool on);

  private:
    void applyLook();

    int curveStyle;
    double width;
    QColor curveColor;
    bool visible = true;
    const double* xValues = nullptr;
    const double* yValues = nullptr;
    int size = 0;
    QPointer<QCPGraph> plotGraph;
};
