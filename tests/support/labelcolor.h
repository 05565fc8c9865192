#pragma once
// The colour a label's text shows in, as rendered: "red", "green", or "neither" when no
// strongly coloured pixel stands out.

#include <QColor>
#include <QImage>
#include <QLabel>
#include <QString>

namespace kv4test {

inline QString renderedTextColor(QLabel& label) {
    label.adjustSize();
    const QImage image = label.grab().toImage();
    int red = 0;
    int green = 0;
    for (int y = 0; y < image.height(); y++)
        for (int x = 0; x < image.width(); x++) {
            const QColor c = image.pixelColor(x, y);
            if (c.red() > c.green() + 80 && c.red() > c.blue() + 80) red++;
            if (c.green() > c.red() + 60 && c.green() > c.blue() + 60) green++;
        }
    if (red > 10 && red > 4 * green) return "red";
    if (green > 10 && green > 4 * red) return "green";
    return "neither";
}

} // namespace kv4test
