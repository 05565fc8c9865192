#pragma once
// The plot of an analysis result. Two vertical cursors mark a region of interest; they keep their
// place as fractions of the x range, so a zoom carries them along, unless they are pinned to x
// values (a region that something was computed over). A left drag that starts on a cursor moves
// it, any other drags zoom. The plot stands alone, so its zoom gestures apply to
// itself instead of going out as requests.

#include "plots/plot.h"

class AnalysisPlot : public Plot {
    Q_OBJECT

  public:
    explicit AnalysisPlot(QWidget* parent = nullptr, const QString& topRightText = QString(),
                          const QString& otherCornersText = QString());

    // The region between the cursors, in x axis units, lower end first.
    QCPRange cursorsRange() const;
    void setCursorsVisible(bool on);
    // The cursors at `range`, kept at those x values whatever the x range does (a drag still
    // moves them) until unpinCursors(), from which on they follow the x range from where they are.
    // A drag under way keeps them where the user holds them. The caller replots.
    void pinCursors(const QCPRange& range);
    void unpinCursors();

  signals:
    void cursorsMoved();

  protected slots:
    void onZoomInPickerAppended(QPointF p) override;
    void onZoomInPickerMoved(QPointF p) override;
    void onZoomInPickerSelected(QRectF r) override;
    void onZoomOutPickerSelected(QPointF p) override;
    void onZoomResetPickerSelected(QPointF p) override;

  private slots:
    void onScaleDivChanged();

  protected:
    // Shows an open hand over a cursor that can be grabbed.
    void mouseMoveEvent(QMouseEvent* event) override;

  private:
    // The visible cursor within grabbing distance of p, or -1.
    int cursorAt(QPointF p) const;
    double cursorX(int idx) const;
    void placeCursor(int idx);

    QCPItemStraightLine* cursors[2];
    double fractions[2] = {0.25, 0.75};
    bool pinned = false;
    double pins[2] = {0.0, 0.0};
    int grabbed = -1;
};
