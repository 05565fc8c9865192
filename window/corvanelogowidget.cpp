#include "window/corvanelogowidget.h"

#include "widgets/images.h"

#include <QResizeEvent>

CorvaneLogoWidget::CorvaneLogoWidget(QWidget* parent)
    : QLabel(parent), logo(largestImage(":/imgs/logo_with_name.png")) {
    setAlignment(Qt::AlignCenter);
    // The label must be free to shrink below the pixmap it shows.
    setMinimumSize(1, 1);
}

void CorvaneLogoWidget::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    const int width = event->size().width() - 12;
    if (logo.isNull() || width <= 0) return;
    const qreal ratio = devicePixelRatioF();
    QPixmap scaled = logo.scaledToWidth(int(width * ratio), Qt::SmoothTransformation);
    scaled.setDevicePixelRatio(ratio);
    setPixmap(scaled);
}
