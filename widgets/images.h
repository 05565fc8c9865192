#pragma once
// Images from the resources come at their logical size and at twice it ("name@2x.png"); a
// plain QPixmap load would never pick the sharper one on a high-density screen.

#include <QPixmap>
#include <QString>

// The image at its logical size, drawn from its @2x variant where the screen needs it.
QPixmap imagePixmap(const QString& path);
// The largest variant, for widgets that scale the image themselves.
QPixmap largestImage(const QString& path);
