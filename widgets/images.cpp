#include "widgets/images.h"

#include <QGuiApplication>
#include <QIcon>
#include <QImageReader>

QPixmap imagePixmap(const QString& path) {
    const QSize logical = QImageReader(path).size();
    if (!logical.isValid()) return {};
    return QIcon(path).pixmap(logical, qApp->devicePixelRatio());
}

QPixmap largestImage(const QString& path) {
    QString doubled = path;
    doubled.insert(path.lastIndexOf('.'), "@2x");
    const QPixmap large(doubled);
    return large.isNull() ? QPixmap(path) : large;
}
