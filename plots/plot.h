#pragma once
// The base of every plot: grid, corner labels and the zoom interaction (drag to zoom in, right
// click to zoom out, right double click to reset, wheel to scroll a y axis). The mouse gestures
// only emit requests; whoever owns the plots (the plot tab) decides which plots apply them and how
// the zoom spreads, so a plot applies a zoom only through its public slots.

#include "commlib/types/kv4cltypes.h"
#include "plots/doubleclickmachine.h"

#include <QList>
#include <QSharedPointer>
#include <qcustomplot.h>

class ConversionScaleDraw;
class QRubberBand;

// Which other plots follow a zoom.
enum ZoomSynchType_t { ZoomSynchNone = 0, ZoomSynchX = 1, ZoomSynchY = 2, ZoomSynchBoth = 3 };

// A plot view: one interval per axis.
struct Rect4 {
    enum Axis { yLeft = 0, yRight = 1, xBottom = 2, xTop = 3 };
    QCPRange interval[4];

    QCPRange& operator[](Axis axis) { return interval[axis]; }
    const QCPRange& operator[](Axis axis) const { return interval[axis]; }
};

class Plot : public QCustomPlot {
    Q_OBJECT

  public:
    using Axis = Rect4::Axis;
    enum ZoomMode_t { ZoomBoth = 0, ZoomHorizontal = 1, ZoomVertical = 2 };

    // The first text goes to the top-right corner, the second to the bottom-right and top-left.
    explicit Plot(QWidget* parent = nullptr, const QString& topRightText = QString(),
                  const QString& otherCornersText = QString());

    QSize sizeHint() const override { return QSize(100, 100); }

    QCPAxis* axis(Axis axis) const;
    Rect4 view() const;
    const QList<Rect4>& zoomStack() const { return stack; }
    double halfHeight() const { return leftHalfHeight; }
    ConversionScaleDraw* bottomScaleDraw() const { return scaleDraw.data(); }

    // The unit an axis's values are held in, with their prefix. The axis title and the tick
    // labels then read in the prefix that fits the visible values, never a larger one than
    // this: a few pA on a nA axis read "pA", not "0.0005".
    void setAxisUnit(Axis axis, kv4cl::UnitPfx_t prefix, const QString& unit);

    QString topRightText() const;
    void setTopRightText(const QString& text);
    QString bottomRightText() const;
    void setBottomRightText(const QString& text);
    QString topLeftText() const;
    void setTopLeftText(const QString& text);

    // Two vertical cursors, hidden until shown. They keep their place as fractions of the x
    // range, so a zoom carries them along, unless they are pinned to x values. A left drag that
    // starts on a shown cursor moves it instead of zooming.
    bool cursorsVisible() const { return cursors[0]->visible(); }
    void setCursorsVisible(bool on);
    // Where a cursor stands in x axis units; either may be dragged past the other.
    double cursorX(int idx) const;
    // The region between the cursors, lower end first.
    QCPRange cursorsRange() const { return QCPRange(cursorX(0), cursorX(1)); }
    // The cursors at `range`, kept at those x values whatever the x range does (a drag still
    // moves them) until unpinCursors(), from which on they follow the x range from where they are.
    // A drag under way keeps them where the user holds them. The caller replots.
    void pinCursors(const QCPRange& range);
    void unpinCursors();

    // Canvas pixels per data unit on x over those on y: turns a slope in data units into one in
    // pixels, so that the drag mode does not depend on the zoom.
    double pixelSlopeFactor() const;
    // The mode of a drag between two points in plot coordinates, from its slope in pixels.
    static ZoomMode_t dragZoomMode(QPointF from, QPointF to, double pixelSlopeFactor);
    // The view a selected rectangle (plot coordinates) asks for; the right axis follows the left
    // one by the ratio of their spans, and the axes the mode does not zoom keep their intervals.
    Rect4 viewFromSelection(const QRectF& rect, ZoomMode_t mode) const;

  signals:
    void resizePlot();
    void zoomInRequest(Rect4* rect);
    void zoomOutRequest();
    void zoomResetRequest();
    void xAxisZoomed(Rect4* rect);
    void yAxisZoomed(Rect4* rect);
    void bothAxisZoomed(Rect4* rect);
    void zoomPopped(Rect4* rect);
    void zoomReset(Rect4* rect);
    // At the end of a drag of a cursor.
    void cursorsMoved();

  public slots:
    void onZoomInRequest(Rect4* rect, ZoomSynchType_t zoomSynchType);
    void onHorzZoomInRequest(Rect4* rect, ZoomSynchType_t zoomSynchType);
    void onVertZoomInRequest(Rect4* rect, ZoomSynchType_t zoomSynchType);
    // Fits the y axes to the data in the visible time window, with a margin.
    void onVertZoomFullRequest(ZoomSynchType_t zoomSynchType);
    // zoomPopped and zoomReset are emitted only with a synchronisation other than none, so that
    // plots following another one do not echo the request back.
    void onZoomOutRequest(ZoomSynchType_t zoomSynchType);
    void onZoomResetRequest(ZoomSynchType_t zoomSynchType);
    void onUpdateBaseline(Plot::Axis axisIdx, double baseline);
    // Scales a y axis's span about its centre (0.5 zooms in, 2 out), for the zoom buttons and
    // keys; no other plot follows.
    void onScaleYAxis(Plot::Axis axisIdx, double factor);

  protected slots:
    virtual void onZoomInPickerSelected(QRectF r);
    virtual void onZoomOutPickerSelected(QPointF p);
    virtual void onZoomResetPickerSelected(QPointF p);

  protected:
    // Subclasses with gestures of their own switch the zoom gestures off meanwhile.
    void setZoomPickersEnabled(bool on) { zoomPickersEnabled = on; }
    QPointF plotCoordinates(QPointF pixel) const;
    // Ends a zoom drag: hides the rubber band and gives the view the selection asks for.
    Rect4* endZoomDrag(const QRectF& r);
    // Sets the left axis and the half height that baseline tracking keeps.
    void setLeftInterval(const QCPRange& interval);

    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    void onZoomInPickerAppended(QPointF p);
    void onZoomInPickerMoved(QPointF p);
    // The shown cursor within grabbing distance of p (plot coordinates), or -1.
    int cursorAt(QPointF p) const;
    void placeCursors();
    // Pushes the current view and applies the chosen parts of `view`.
    void zoomIn(const Rect4& view, bool x, bool y, ZoomSynchType_t zoomSynchType);
    void emitZoomed(ZoomSynchType_t zoomSynchType);
    // Shows the rubber band of the drag from its start to p, with the tracker.
    void showRubberBand(QPointF p);
    QPoint pixelPosition(QPointF p) const;
    QCPItemText* addCornerLabel(const QString& text, Qt::Alignment corner);
    void fitToData(QCPAxis* valueAxis);
    void showAxisUnit(Axis axis);

    QCPItemText* topRightLabel;
    QCPItemText* bottomRightLabel;
    QCPItemText* topLeftLabel;
    QSharedPointer<ConversionScaleDraw> scaleDraw;
    QCPItemStraightLine* cursors[2];
    double fractions[2] = {0.25, 0.75};
    bool pinned = false;
    double pins[2] = {0.0, 0.0};
    int grabbed = -1;
    struct AxisUnit {
        bool set = false;
        kv4cl::UnitPfx_t prefix = kv4cl::UnitPfxNone;
        QString unit;
    };
    AxisUnit axisUnits[4];
    QRubberBand* rubberBand = nullptr;
    DoubleClickMachine resetMachine{Qt::RightButton};

    bool zoomPickersEnabled = true;
    bool dragging = false;
    ZoomMode_t dragMode = ZoomBoth;
    double dragSlopeFactor = 1.0;
    QPointF dragStart; // plot coordinates

    double leftHalfHeight;
    int xTicks = 0;
    int yTicks = 0;
    QList<Rect4> stack;
    // What the zoom signals point to: a view that stays valid after the signal returns.
    Rect4 requestedView;
    Rect4 emittedView;
};
