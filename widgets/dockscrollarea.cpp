#include "widgets/dockscrollarea.h"

#include <QEvent>
#include <QScrollBar>

#include <algorithm>

DockScrollArea::DockScrollArea(QWidget* content, QWidget* parent) : QScrollArea(parent) {
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // The keyboard goes from control to control; the area itself shows no focus.
    setFocusPolicy(Qt::NoFocus);
    setWidgetResizable(true);
    setWidget(content);
    content->installEventFilter(this);
}

int DockScrollArea::besideContent() const {
    return 2 * frameWidth() + verticalScrollBar()->sizeHint().width();
}

QSize DockScrollArea::sizeHint() const {
    return widget() ? widget()->sizeHint() + QSize(besideContent(), 2 * frameWidth())
                    : QScrollArea::sizeHint();
}

QSize DockScrollArea::minimumSizeHint() const {
    const QSize scrollBars = QScrollArea::minimumSizeHint();
    if (!widget()) return scrollBars;
    const int contentWidth = std::max(widget()->minimumSizeHint().width(), widget()->minimumWidth());
    return {std::max(scrollBars.width(), contentWidth + besideContent()), scrollBars.height()};
}

bool DockScrollArea::eventFilter(QObject* watched, QEvent* event) {
    if (watched == widget() && event->type() == QEvent::LayoutRequest) updateGeometry();
    return QScrollArea::eventFilter(watched, event);
}
