#include "widgets/protocolimagebutton.h"

#include <QIcon>

namespace {
// Whatever the image's own size, so that changing protocol does not move the dock's layout.
const QSize imageSize(200, 120);
} // namespace

ProtocolImageButton::ProtocolImageButton(QWidget* parent) : QPushButton(parent) {
    setIconSize(imageSize);
}

void ProtocolImageButton::setImage(const QString& path) {
    setIcon(QIcon(path));
}

QSize ProtocolImageButton::sizeHint() const {
    return imageSize;
}

void ProtocolImageButton::enterEvent(QEnterEvent* event) {
    QPushButton::enterEvent(event);
    emit mouseOver(true);
}

void ProtocolImageButton::leaveEvent(QEvent* event) {
    QPushButton::leaveEvent(event);
    emit mouseOver(false);
}
