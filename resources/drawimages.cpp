// Draws every image of the program and writes it into the given folder as "<name>.png" at its
// logical size and "<name>@2x.png" at twice that size. Each drawing works in logical pixels
// on a painter scaled by the factor, so both sizes come from the same code.
// Usage: QT_QPA_PLATFORM=offscreen kav4-drawimages <output folder>

#include "resources/imagenames.h"

#include <QDir>
#include <QFileInfo>
#include <QFontInfo>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

namespace {

// One palette for the whole set.
const QColor kInk(0x37, 0x47, 0x4F);    // outlines and glyphs
const QColor kMuted(0x90, 0xA4, 0xAE);  // secondary lines, off states
const QColor kPaper(0xEC, 0xEF, 0xF1);  // fill of pages, screens and tiles
const QColor kAccent(0x1E, 0x88, 0xE5); // traces, waveforms and moving arrows
const QColor kGreen(0x43, 0xA0, 0x47);  // on, start
const QColor kRed(0xE5, 0x39, 0x35);    // record, saturation
const QColor kAmber(0xFF, 0xB3, 0x00);  // warning, zap

// Line weights in logical pixels: outlines and traces, then inner details.
constexpr qreal kStroke = 2.0;
constexpr qreal kThin = 1.25;
// The clear margin left around a glyph laid over another.
constexpr qreal kGap = 3.0;

const QString kFontFamily = "DejaVu Sans";

using Points = std::vector<QPointF>;

QPen stroke(const QColor& color, qreal width = kStroke) {
    return QPen(color, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

QPen dashes(const QColor& color, qreal width = kThin) {
    QPen pen = stroke(color, width);
    pen.setCapStyle(Qt::FlatCap);
    pen.setDashPattern({2.0, 1.6});
    return pen;
}

QPainterPath polyline(const Points& points) {
    QPainterPath path(points.front());
    for (const QPointF& point : points)
        path.lineTo(point);
    return path;
}

void draw(QPainter& p, const QPainterPath& path, const QPen& pen) {
    p.strokePath(path, pen);
}

void fill(QPainter& p, const QPainterPath& path, const QColor& color) {
    p.fillPath(path, color);
}

void trace(QPainter& p, const Points& points, const QColor& color = kAccent) {
    draw(p, polyline(points), stroke(color));
}

// Clears a margin along the path, so the glyph drawn on it next stands apart from what lies below.
void cut(QPainter& p, const QPainterPath& path, qreal width = kStroke + kGap) {
    p.save();
    p.setCompositionMode(QPainter::CompositionMode_Clear);
    p.strokePath(path, stroke(Qt::black, width));
    p.restore();
}

QPainterPath circle(QPointF centre, qreal radius) {
    QPainterPath path;
    path.addEllipse(centre, radius, radius);
    return path;
}

QPainterPath roundedRect(const QRectF& rect, qreal radius) {
    QPainterPath path;
    path.addRoundedRect(rect, radius, radius);
    return path;
}

// A filled rounded rectangle with an outline: pages, screens, tables.
void tile(QPainter& p, const QRectF& rect) {
    const QPainterPath path = roundedRect(rect, 2.5);
    fill(p, path, kPaper);
    draw(p, path, stroke(kInk));
}

// An open arrow head at `tip`, pointing along `angle` (degrees, counter-clockwise from east).
QPainterPath arrowHead(QPointF tip, qreal angle, qreal size = 4.5) {
    QLineF wing(tip, tip + QPointF(size, 0));
    wing.setAngle(angle + 180 - 45);
    QPainterPath path(wing.p2());
    path.lineTo(tip);
    wing.setAngle(angle + 180 + 45);
    path.lineTo(wing.p2());
    return path;
}

QPainterPath arrow(QPointF from, QPointF to, qreal head = 4.5) {
    QPainterPath path(from);
    path.lineTo(to);
    path.addPath(arrowHead(to, QLineF(from, to).angle(), head));
    return path;
}

QPainterPath doubleArrow(QPointF from, QPointF to, qreal head = 4.5) {
    QPainterPath path = arrow(from, to, head);
    path.addPath(arrowHead(from, QLineF(to, from).angle(), head));
    return path;
}

// An arc around `centre` from `start` over `span` degrees, with an arrow head at its end.
QPainterPath circularArrow(QPointF centre, qreal radius, qreal start, qreal span, qreal head = 4.5) {
    const QRectF box(centre - QPointF(radius, radius), QSizeF(2 * radius, 2 * radius));
    QPainterPath path;
    path.arcMoveTo(box, start);
    path.arcTo(box, start, span);
    path.addPath(arrowHead(path.currentPosition(), start + span + (span > 0 ? 90 : -90), head));
    return path;
}

// A stroke across the whole icon, cut out of what it crosses.
void slash(QPainter& p) {
    QPainterPath path(QPointF(6, 5));
    path.lineTo(26, 27);
    cut(p, path);
    draw(p, path, stroke(kInk));
}

// Four arms from the edges of the icon towards its centre, stopping `gap` short of it.
QPainterPath crosshair(qreal gap) {
    QPainterPath path;
    for (const QPointF& direction : {QPointF(0, -1), QPointF(0, 1), QPointF(-1, 0), QPointF(1, 0)}) {
        path.moveTo(QPointF(16, 16) + 13 * direction);
        path.lineTo(QPointF(16, 16) + gap * direction);
    }
    return path;
}

void dots(QPainter& p, const Points& points, qreal radius = 1.9, const QColor& color = kInk) {
    for (const QPointF& point : points)
        fill(p, circle(point, radius), color);
}

// A curve y = f(x) sampled every half pixel.
Points sampled(const std::function<qreal(qreal)>& f, qreal x0, qreal x1) {
    Points points;
    for (qreal x = x0; x < x1; x += 0.5)
        points.emplace_back(x, f(x));
    points.emplace_back(x1, f(x1));
    return points;
}

QFont font(int pixelSize, bool bold) {
    QFont font(kFontFamily);
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}

// Text as outlines, so it looks the same whatever the screen; `anchor` is placed at the given
// point of the text's bounding box.
QPainterPath text(const QString& string, QPointF at, int pixelSize, Qt::Alignment anchor, bool bold = false) {
    QPainterPath path;
    path.addText(0, 0, font(pixelSize, bold), string);
    const QRectF box = path.boundingRect();
    qreal x = box.center().x();
    if (anchor & Qt::AlignLeft) x = box.left();
    if (anchor & Qt::AlignRight) x = box.right();
    qreal y = box.center().y();
    if (anchor & Qt::AlignTop) y = box.top();
    if (anchor & Qt::AlignBottom) y = box.bottom();
    return path.translated(at - QPointF(x, y));
}

// Shared glyphs.

void play(QPainter& p) {
    QPainterPath triangle = polyline({{10, 7}, {25, 16}, {10, 25}});
    triangle.closeSubpath();
    fill(p, triangle, kGreen);
    draw(p, triangle, stroke(kGreen));
}

void recordDot(QPainter& p, qreal radius) {
    fill(p, circle({16, 16}, radius), kRed);
}

// A lens with its handle to the bottom right; the content of the lens is the caller's.
void magnifier(QPainter& p) {
    draw(p, circle({13.5, 13.5}, 9), stroke(kInk));
    draw(p, polyline({{20.5, 20.5}, {27.5, 27.5}}), stroke(kInk, 4));
}

void eye(QPainter& p) {
    QPainterPath outline(QPointF(3, 16));
    outline.quadTo(16, 2, 29, 16);
    outline.quadTo(16, 30, 3, 16);
    draw(p, outline, stroke(kInk));
    fill(p, circle({16, 16}, 5), kAccent);
    fill(p, circle({16, 16}, 2.2), kInk);
}

void lock(QPainter& p, bool open) {
    const qreal top = open ? 7 : 11;
    QPainterPath shackle(QPointF(11, open ? top + 3 : 15));
    shackle.lineTo(11, top);
    shackle.arcTo(QRectF(11, top - 5, 10, 10), 180, -180);
    shackle.lineTo(21, 15);
    draw(p, shackle, stroke(kInk, 2.5));
    QPainterPath body = roundedRect(QRectF(7, 15, 18, 13), 2.5);
    QPainterPath keyhole = circle({16, 20.5}, 1.9);
    keyhole.addRect(QRectF(15.2, 20.5, 1.6, 4));
    fill(p, body.subtracted(keyhole.simplified()), kInk);
}

void led(QPainter& p, const QColor& centre, const QColor& edge) {
    QRadialGradient light(QPointF(6.8, 6.8), 6.5);
    light.setColorAt(0, centre);
    light.setColorAt(1, edge);
    p.fillPath(circle({8, 8}, 6), light);
    draw(p, circle({8, 8}, 6), stroke(edge.darker(140), 1));
    fill(p, circle({6.3, 6.1}, 1.5), QColor(255, 255, 255, 150));
}

// A gear of outer radius `radius`, with a hole.
QPainterPath gear(QPointF centre, qreal radius) {
    QPainterPath teeth;
    for (int i = 0; i < 8; ++i) {
        QTransform turn;
        turn.translate(centre.x(), centre.y());
        turn.rotate(i * 45);
        QPainterPath tooth;
        tooth.addRect(QRectF(-radius * 0.22, -radius, radius * 0.44, radius));
        teeth.addPath(turn.map(tooth));
    }
    QPainterPath body = circle(centre, radius * 0.72).united(teeth.simplified());
    return body.subtracted(circle(centre, radius * 0.3));
}

// A rising edge through a dashed trigger level, with an arrow on the edge.
void risingEdge(QPainter& p) {
    draw(p, polyline({{3, 16}, {29, 16}}), dashes(kInk));
    const QPainterPath edge = polyline({{3, 25}, {15, 25}, {15, 7}, {29, 7}});
    cut(p, edge);
    draw(p, edge, stroke(kAccent));
    const QPainterPath head = arrowHead({15, 13}, 90, 5);
    cut(p, head);
    draw(p, head, stroke(kAccent));
}

void referencePulse(QPainter& p, bool held) {
    draw(p, polyline({{3, 11}, {29, 11}}), dashes(kInk));
    // Held, the pulse never falls back.
    QPainterPath pulse = held ? polyline({{3, 24}, {10, 24}, {10, 11}, {28, 11}})
                              : polyline({{3, 24}, {10, 24}, {10, 11}, {22, 11}, {22, 24}, {29, 24}});
    if (held) pulse.addPath(arrowHead({28, 11}, 0));
    draw(p, pulse, stroke(kAccent));
}

void resetArrow(QPainter& p, qreal radius) {
    draw(p, circularArrow({16, 16}, radius, 80, 290), stroke(kInk));
}

void fitAxes(QPainter& p) {
    draw(p, polyline({{4, 4}, {4, 28}, {28, 28}}), stroke(kMuted, kThin));
}

// Toolbar icons, 32 x 32.

void activationButton(QPainter& p, bool on) {
    const QPainterPath track = roundedRect(QRectF(1, 1, 42, 20), 10);
    fill(p, track, on ? kGreen : kMuted);
    const QPointF knob(on ? 32 : 12, 11);
    fill(p, circle(knob + QPointF(0, 0.6), 8.2), QColor(0, 0, 0, 40));
    fill(p, circle(knob, 8), Qt::white);
}

void sigmoidFit(QPainter& p) {
    fitAxes(p);
    const auto f = [](qreal x) { return 25 - 18 / (1 + std::exp(-(x - 17) / 2.4)); };
    trace(p, sampled(f, 7, 28));
    dots(p, {{9, 23.5}, {13, 22.6}, {17, 14.8}, {21, 9.6}, {25.5, 8.4}});
}

void linearFit(QPainter& p) {
    fitAxes(p);
    trace(p, {{7, 24}, {28, 7}});
    dots(p, {{9, 20.3}, {14, 20.6}, {19, 12.6}, {24, 12.1}});
}

void gaussianFit(QPainter& p) {
    fitAxes(p);
    const auto g = [](qreal x) { return 26 - 19 * std::exp(-(x - 16.5) * (x - 16.5) / 32); };
    for (qreal x : {8.0, 12.5, 17.0, 21.5, 26.0})
        fill(p, roundedRect(QRectF(x - 1.7, g(x) + 2.5, 3.4, 26.5 - g(x) - 2.5), 0.8), kMuted);
    trace(p, sampled(g, 5, 28));
}

void analysisExport(QPainter& p) {
    tile(p, QRectF(4, 4, 17, 24));
    for (qreal y : {10.5, 16.0, 21.5})
        draw(p, polyline({{4, y}, {21, y}}), stroke(kMuted, kThin));
    draw(p, polyline({{11, 4}, {11, 28}}), stroke(kMuted, kThin));
    const QPainterPath out = arrow({15, 16}, {29, 16});
    cut(p, out);
    draw(p, out, stroke(kAccent));
}

void labbook(QPainter& p) {
    tile(p, QRectF(8, 3, 19, 26));
    for (qreal y : {12.0, 16.5, 21.0})
        draw(p, polyline({{13, y}, {23, y}}), stroke(kMuted, kThin));
    fill(p, polyline({{18, 3}, {23, 3}, {23, 10}, {20.5, 8}, {18, 10}}), kAccent);
    for (qreal y : {7.5, 13.0, 18.5, 24.0})
        draw(p, polyline({{5, y}, {10.5, y}}), stroke(kInk));
}

void chevron(QPainter& p, bool forward) {
    const qreal tip = forward ? 21 : 11;
    const qreal back = forward ? 12 : 20;
    draw(p, polyline({{back, 7}, {tip, 16}, {back, 25}}), stroke(kInk, 2.5));
}

void baseline(QPainter& p) {
    draw(p, polyline({{3, 20}, {29, 20}}), dashes(kInk));
    trace(p, {{3, 19},
              {5.5, 21.5},
              {8, 18},
              {10.5, 21},
              {12.5, 19},
              {14.5, 8},
              {17, 17},
              {19, 21.5},
              {21.5, 18.5},
              {24, 21},
              {26.5, 18.5},
              {29, 20}});
}

// A cursor, so black on a white halo: it must read over any plot.
void cursorRise(QPainter& p) {
    QPainterPath marks = crosshair(4);
    marks.addPath(polyline({{3.5, 12}, {7.5, 12}, {7.5, 4.5}, {12, 4.5}}));
    draw(p, marks, stroke(Qt::white, kStroke + 2));
    fill(p, circle({16, 16}, 2), Qt::white);
    draw(p, marks, stroke(Qt::black));
    fill(p, circle({16, 16}, 1), Qt::black);
}

// Two dashed cursors across a trace, each with a grip at its top.
void cursors(QPainter& p) {
    trace(p, {{3, 22}, {8, 22}, {8, 12}, {16, 12}, {16, 22}, {21, 22}, {24, 16}, {29, 19}});
    for (qreal x : {10.0, 22.0}) {
        draw(p, polyline({{x, 9}, {x, 29}}), dashes(kInk));
        QPainterPath grip = polyline({{x - 3, 3}, {x + 3, 3}, {x, 8}});
        grip.closeSubpath();
        fill(p, grip, kInk);
    }
}

void dataMonitor(QPainter& p) {
    tile(p, QRectF(3, 5, 26, 18));
    trace(p, {{6, 15}, {11, 15}, {13, 10}, {15.5, 19}, {17.5, 13}, {19, 15}, {26, 15}});
    draw(p, polyline({{16, 23}, {16, 27}}), stroke(kInk));
    draw(p, polyline({{10.5, 27.5}, {21.5, 27.5}}), stroke(kInk));
}

void offsetCompensation(QPainter& p) {
    trace(p, {{3, 8}, {7, 6.5}, {11, 8.5}, {15, 7}, {19, 8.5}, {23, 6.5}, {29, 8}}, kMuted);
    draw(p, arrow({16, 11.5}, {16, 20}), stroke(kInk));
    draw(p, polyline({{3, 25}, {29, 25}}), dashes(kInk));
    trace(p, {{3, 25}, {7, 23.5}, {11, 25.5}, {15, 24}, {19, 25.5}, {23, 23.5}, {29, 25}});
}

void folderSettings(QPainter& p) {
    QPainterPath folder = polyline({{4, 7}, {4, 25}, {28, 25}, {28, 10.5}, {15, 10.5}, {12.5, 7}});
    folder.closeSubpath();
    fill(p, folder, kPaper);
    draw(p, folder, stroke(kInk));
    // The gear sits on a cleared disc, so its hole shows what is behind the icon.
    p.save();
    p.setCompositionMode(QPainter::CompositionMode_Clear);
    p.fillPath(circle({23.5, 23.5}, 8.5), Qt::black);
    p.restore();
    fill(p, gear({23.5, 23.5}, 7), kAccent);
}

void helpIcon(QPainter& p) {
    fill(p, circle({16, 16}, 13), kAccent);
    fill(p, text("?", {16, 16.5}, 20, Qt::AlignCenter, true), Qt::white);
}

void insertionPulse(QPainter& p) {
    trace(p, {{3, 26}, {9, 26}, {9, 8}, {23, 8}, {23, 26}, {29, 26}});
    draw(p, arrow({16, 11.5}, {16, 22}), stroke(kInk));
}

void limitToRoi(QPainter& p) {
    const Points wave{{3, 20},  {6, 17},  {9, 21},  {12, 14}, {15, 19},
                      {18, 11}, {21, 18}, {24, 15}, {27, 19}, {29, 17}};
    trace(p, wave, kMuted);
    p.save();
    p.setClipRect(QRectF(9, 0, 14, 32));
    trace(p, wave);
    p.restore();
    draw(p, polyline({{9, 5}, {23, 5}}), dashes(kInk));
    draw(p, polyline({{9, 27}, {23, 27}}), dashes(kInk));
    draw(p, polyline({{12, 5}, {9, 5}, {9, 27}, {12, 27}}), stroke(kInk));
    draw(p, polyline({{20, 5}, {23, 5}, {23, 27}, {20, 27}}), stroke(kInk));
}

void loadParameters(QPainter& p) {
    QPainterPath page = polyline({{11, 4}, {22, 4}, {28, 10}, {28, 28}, {11, 28}});
    page.closeSubpath();
    fill(p, page, kPaper);
    draw(p, page, stroke(kInk));
    draw(p, polyline({{22, 4}, {22, 10}, {28, 10}}), stroke(kInk, kThin));
    for (qreal y : {11.0, 22.0})
        draw(p, polyline({{15, y}, {24, y}}), stroke(kMuted, kThin));
    const QPainterPath in = arrow({3, 16.5}, {20, 16.5});
    cut(p, in);
    draw(p, in, stroke(kAccent));
}

void saveParameters(QPainter& p) {
    draw(p, polyline({{4, 19}, {4, 27}, {28, 27}, {28, 19}}), stroke(kInk));
    draw(p, arrow({16, 4}, {16, 21}), stroke(kAccent));
}

void maximize(QPainter& p, bool outward) {
    const auto corner = [&](QPointF inner, QPointF outer) {
        draw(p, outward ? arrow(inner, outer, 6) : arrow(outer, inner, 6), stroke(kInk));
    };
    corner({18.5, 13.5}, {27, 5});
    corner({13.5, 18.5}, {5, 27});
}

void pause(QPainter& p) {
    fill(p, roundedRect(QRectF(9, 7, 5, 18), 1.5), kInk);
    fill(p, roundedRect(QRectF(18, 7, 5, 18), 1.5), kInk);
}

void stop(QPainter& p) {
    fill(p, roundedRect(QRectF(8, 8, 16, 16), 2.5), kInk);
}

void recording(QPainter& p) {
    recordDot(p, 6);
    draw(p, circle({16, 16}, 11.5), stroke(kRed));
}

void powerOn(QPainter& p) {
    QPainterPath ring;
    const QRectF box(5, 6, 22, 22);
    ring.arcMoveTo(box, 125);
    ring.arcTo(box, 125, 290);
    draw(p, ring, stroke(kGreen, 2.5));
    draw(p, polyline({{16, 4}, {16, 15}}), stroke(kGreen, 2.5));
}

void restoreDefaults(QPainter& p) {
    resetArrow(p, 12);
    trace(p, {{9, 19}, {12.5, 19}, {12.5, 13}, {19.5, 13}, {19.5, 19}, {23, 19}});
}

// A target on a channel's trace, the trace standing for the target's horizontal arms.
void selectChannel(QPainter& p) {
    QPainterPath target = circle({16, 16}, 8.5);
    target.addPath(polyline({{16, 3}, {16, 9}}));
    target.addPath(polyline({{16, 23}, {16, 29}}));
    draw(p, target, stroke(kInk));
    trace(p, {{3, 16}, {10, 16}, {12.5, 12.5}, {15, 20}, {17.5, 11}, {20, 17.5}, {22, 16}, {29, 16}});
}

void viewTable(QPainter& p) {
    const QRectF box(4, 6, 24, 20);
    const QPainterPath outline = roundedRect(box, 2.5);
    fill(p, outline, kPaper);
    QPainterPath header;
    header.addRect(QRectF(4, 6, 24, 6));
    fill(p, header.intersected(outline), kAccent);
    for (qreal y : {17.0, 21.5})
        draw(p, polyline({{4, y}, {28, y}}), stroke(kMuted, kThin));
    for (qreal x : {12.0, 20.0})
        draw(p, polyline({{x, 12}, {x, 26}}), stroke(kMuted, kThin));
    draw(p, outline, stroke(kInk));
}

void warning(QPainter& p) {
    QPainterPath triangle = polyline({{16, 4.5}, {29, 27}, {3, 27}});
    triangle.closeSubpath();
    fill(p, triangle, kAmber);
    draw(p, triangle, stroke(kAmber, 3));
    draw(p, polyline({{16, 12}, {16, 19}}), stroke(kInk, 2.5));
    fill(p, circle({16, 23}, 1.5), kInk);
}

void yZoomSynchronization(QPainter& p) {
    draw(p, polyline({{5, 4}, {5, 28}}), stroke(kInk));
    for (qreal y : {10.0, 16.0, 22.0})
        draw(p, polyline({{5, y}, {8, y}}), stroke(kInk, kThin));
    draw(p, polyline({{14, 16}, {26, 16}}), dashes(kInk));
    for (qreal x : {14.0, 26.0})
        draw(p, doubleArrow({x, 5}, {x, 27}), stroke(kAccent));
    fill(p, circle({14, 16}, 2), kInk);
    fill(p, circle({26, 16}, 2), kInk);
}

void zap(QPainter& p) {
    QPainterPath bolt = polyline({{19, 3}, {7.5, 18}, {15.5, 18}, {13, 29}, {24.5, 13}, {16.5, 13}});
    bolt.closeSubpath();
    fill(p, bolt, kAmber);
    draw(p, bolt, stroke(kAmber, 1.5));
}

void zoomFull(QPainter& p) {
    magnifier(p);
    QPainterPath corners;
    for (const QPointF& sign : {QPointF(-1, -1), QPointF(1, -1), QPointF(1, 1), QPointF(-1, 1)}) {
        const QPointF corner = QPointF(13.5, 13.5) + 4 * sign;
        corners.moveTo(corner - QPointF(0, 2.5 * sign.y()));
        corners.lineTo(corner);
        corners.lineTo(corner - QPointF(2.5 * sign.x(), 0));
    }
    draw(p, corners, stroke(kInk, kThin + 0.25));
}

void zoom(QPainter& p, bool in) {
    magnifier(p);
    draw(p, polyline({{9.5, 13.5}, {17.5, 13.5}}), stroke(kInk));
    if (in) draw(p, polyline({{13.5, 9.5}, {13.5, 17.5}}), stroke(kInk));
}

void splitterHandle(QPainter& p) {
    dots(p, {{6, 8}, {6, 12}, {6, 16}}, 1.3, kMuted);
}

// The emblem is a pore seen from above, with the current of a channel opening across it.
void logo(QPainter& p) {
    const QPainterPath ring = circle({70, 70}, 52);
    draw(p, ring, stroke(kInk, 10));
    const QPainterPath current = polyline(
        {{4, 84}, {36, 84}, {36, 58}, {54, 58}, {54, 84}, {70, 84}, {70, 46}, {96, 46}, {96, 84}, {136, 84}});
    cut(p, current, 8 + 10);
    draw(p, current, stroke(kAccent, 8));
    // Letter by letter, with even gaps: the font's own spacing lets K and A touch at this size.
    qreal x = 158;
    for (const QChar letter : QString("KAV4")) {
        const QPainterPath glyph = text(letter, {x, 70}, 100, Qt::AlignLeft | Qt::AlignVCenter, true);
        fill(p, glyph, letter == '4' ? kAccent : kInk);
        x = glyph.boundingRect().right() + 3;
    }
}

// Protocol diagrams, 160 x 96: voltage upward, time to the right, the waveform in the accent
// colour. The holding level is labelled below its left end, each voltage above its span and
// the times on one row under the time axis, like a timing diagram.

constexpr qreal kAxis = 74;    // height of the time axis
constexpr qreal kSpanRow = 80; // height of the time spans
constexpr int kLabel = 8;      // pixel size of the labels

void label(QPainter& p, const QString& string, QPointF at, Qt::Alignment anchor) {
    fill(p, text(string, at, kLabel, anchor), kInk);
}

void timeAxis(QPainter& p) {
    draw(p, arrow({6, kAxis}, {154, kAxis}, 3.5), stroke(kMuted, kThin));
    fill(p, text("t", {154, kAxis - 4}, kLabel, Qt::AlignRight | Qt::AlignBottom), kMuted);
}

void holdLevel(QPainter& p, qreal y) {
    draw(p, polyline({{6, y}, {150, y}}), dashes(kMuted));
    label(p, "Vhold", {8, y + 3}, Qt::AlignLeft | Qt::AlignTop);
}

// A dotted line carrying a level or an instant to where its span is drawn.
void guide(QPainter& p, QPointF from, QPointF to) {
    draw(p, polyline({from, to}), dashes(kMuted, 1));
}

// A time interval on the span row: a line between end ticks, labelled below.
void timeSpan(QPainter& p, qreal x0, qreal x1, const QString& name) {
    draw(p, polyline({{x0, kSpanRow - 2.5}, {x0, kSpanRow}, {x1, kSpanRow}, {x1, kSpanRow - 2.5}}),
         stroke(kMuted, 1));
    label(p, name, {(x0 + x1) / 2, kSpanRow + 3}, Qt::AlignHCenter | Qt::AlignTop);
}

// A voltage difference from `low` up to `high`, labelled above.
void voltageSpan(QPainter& p, qreal x, qreal low, qreal high, const QString& name) {
    draw(p, doubleArrow({x, low - 1}, {x, high + 1}, 3), stroke(kMuted, 1));
    label(p, name, {x, high - 3}, Qt::AlignHCenter | Qt::AlignBottom);
}

void wave(QPainter& p, const Points& points) {
    draw(p, polyline(points), stroke(kAccent));
}

// Rectangular pulses from the holding level: `segments` lists (duration, voltage above the
// holding level) from x = 6 on.
Points segments(qreal hold, const std::vector<std::pair<qreal, qreal>>& parts) {
    Points points{{6, hold}};
    qreal x = 6;
    for (const auto& [duration, level] : parts) {
        points.emplace_back(x, hold - level);
        x += duration;
        points.emplace_back(x, hold - level);
    }
    points.emplace_back(x, hold);
    return points;
}

void holdingVoltage(QPainter& p) {
    timeAxis(p);
    wave(p, {{6, 44}, {150, 44}});
    draw(p, doubleArrow({120, kAxis - 1}, {120, 45}, 3), stroke(kMuted, 1));
    label(p, "Vhold", {123, (kAxis + 44) / 2}, Qt::AlignLeft | Qt::AlignVCenter);
}

void triangular(QPainter& p) {
    timeAxis(p);
    const qreal hold = 42, amp = 20, period = 56, start = 52;
    holdLevel(p, hold);
    Points points{{6, hold}};
    for (int quarter = 0; quarter <= 7; ++quarter) {
        const qreal level[] = {0, amp, 0, -amp};
        points.emplace_back(start + quarter * period / 4, hold - level[quarter % 4]);
    }
    wave(p, points);
    guide(p, {40, hold - amp}, {start + period / 4 - 3, hold - amp});
    voltageSpan(p, 40, hold, hold - amp, "Vamp");
    timeSpan(p, start + period * 3 / 4, start + period * 7 / 4, "TPeriod");
}

void sealTest(QPainter& p) {
    timeAxis(p);
    const qreal hold = 44, pulse = 18;
    holdLevel(p, hold);
    wave(p, segments(hold, {{36, 0}, {40, pulse}, {40, -pulse}, {28, 0}}));
    voltageSpan(p, 62, hold, hold - pulse, "Vpulse");
    timeSpan(p, 6, 42, "Thold");
    timeSpan(p, 42, 82, "Tpulse");
    timeSpan(p, 82, 122, "Tpulse");
}

void conductance(QPainter& p) {
    timeAxis(p);
    const qreal hold = 38, pulse = 10, step = 8;
    holdLevel(p, hold);
    std::vector<std::pair<qreal, qreal>> parts;
    for (int k = 0; k < 3; ++k)
        for (const qreal sign : {1, -1})
            parts.insert(parts.end(), {{10, 0}, {14, sign * (pulse + k * step)}});
    wave(p, segments(hold, parts));
    voltageSpan(p, 23, hold, hold - pulse, "Vpulse");
    guide(p, {78, hold - pulse - step}, {130, hold - pulse - step});
    voltageSpan(p, 130, hold - pulse - step, hold - pulse - 2 * step, "Vstep");
}

void variableAmplitude(QPainter& p) {
    timeAxis(p);
    const qreal hold = 60, pulse = 12, step = 12;
    holdLevel(p, hold);
    wave(p, segments(hold,
                     {{24, 0}, {24, pulse}, {24, 0}, {24, pulse + step}, {24, 0}, {24, pulse + 2 * step}}));
    voltageSpan(p, 42, hold, hold - pulse, "Vpulse");
    guide(p, {102, hold - pulse - step}, {114, hold - pulse - step});
    guide(p, {114, hold - pulse - 2 * step}, {126, hold - pulse - 2 * step});
    voltageSpan(p, 114, hold - pulse - step, hold - pulse - 2 * step, "Vstep");
}

void variableDuration(QPainter& p) {
    timeAxis(p);
    const qreal hold = 56, pulse = 24;
    holdLevel(p, hold);
    wave(p, segments(hold, {{24, 0}, {36, pulse}, {24, 0}, {60, pulse}}));
    voltageSpan(p, 48, hold, hold - pulse, "Vpulse");
    guide(p, {126, hold - pulse}, {126, kSpanRow});
    timeSpan(p, 6, 30, "Thold");
    timeSpan(p, 30, 66, "Tpulse");
    timeSpan(p, 90, 126, "Tpulse");
    timeSpan(p, 126, 150, "Tstep");
}

void ramp(QPainter& p) {
    timeAxis(p);
    const qreal hold = 46, init = 60, final = 18;
    holdLevel(p, hold);
    wave(p, {{6, hold}, {32, hold}, {32, init}, {62, init}, {122, final}, {122, hold}, {150, hold}});
    label(p, "Vinit", {47, init + 3}, Qt::AlignHCenter | Qt::AlignTop);
    label(p, "Vfinal", {122, final - 3}, Qt::AlignHCenter | Qt::AlignBottom);
    timeSpan(p, 6, 32, "Thold");
    timeSpan(p, 32, 62, "Tpulse");
    timeSpan(p, 62, 122, "Tramp");
}

void cyclicVoltammetry(QPainter& p) {
    timeAxis(p);
    const qreal hold = 46, init = 60, final = 18, start = 32, tramp = 28;
    holdLevel(p, hold);
    Points points{{6, hold}, {start, hold}};
    for (int ramp = 0; ramp <= 4; ++ramp)
        points.emplace_back(start + ramp * tramp, ramp % 2 ? final : init);
    points.insert(points.end(), {{start + 4 * tramp, hold}, {150, hold}});
    wave(p, points);
    label(p, "Vinit", {start, init + 3}, Qt::AlignHCenter | Qt::AlignTop);
    label(p, "Vfinal", {start + tramp, final - 3}, Qt::AlignHCenter | Qt::AlignBottom);
    timeSpan(p, 6, start, "Thold");
    timeSpan(p, start, start + tramp, "Tramp");
    timeSpan(p, start + tramp, start + 2 * tramp, "Tramp");
}

struct Drawing {
    std::string_view name;
    std::function<void(QPainter&)> draw;
};

const std::vector<Drawing> kDrawings{
    {"activation button off", [](QPainter& p) { activationButton(p, false); }},
    {"activation button on", [](QPainter& p) { activationButton(p, true); }},
    {"analysis boltzmann sigmoid fit", sigmoidFit},
    {"analysis export", analysisExport},
    {"analysis gaussian fit", gaussianFit},
    {"analysis labbook", labbook},
    {"analysis linear fit", linearFit},
    {"analysis reset", [](QPainter& p) { resetArrow(p, 10); }},
    {"backward", [](QPainter& p) { chevron(p, false); }},
    {"baseline", baseline},
    {"cursor rise", cursorRise},
    {"cursors", cursors},
    {"data monitor", dataMonitor},
    {"digital offset compensation", offsetCompensation},
    {"folder settings", folderSettings},
    {"forward", [](QPainter& p) { chevron(p, true); }},
    {"help icon", helpIcon},
    {"hide",
     [](QPainter& p) {
         eye(p);
         slash(p);
     }},
    {"insertion pulse", insertionPulse},
    {"led off", [](QPainter& p) { led(p, QColor(0x78, 0x90, 0x9C), QColor(0x45, 0x5A, 0x64)); }},
    {"limit to roi", limitToRoi},
    {"load parameters", loadParameters},
    {"lock closed", [](QPainter& p) { lock(p, false); }},
    {"lock open", [](QPainter& p) { lock(p, true); }},
    {"logo_with_name", logo},
    {"maximize", [](QPainter& p) { maximize(p, true); }},
    {"minimize", [](QPainter& p) { maximize(p, false); }},
    {"pause protocol", pause},
    {"power on", powerOn},
    {"record protocol", [](QPainter& p) { recordDot(p, 9); }},
    {"recording protocol", recording},
    {"red led on", [](QPainter& p) { led(p, QColor(0xFF, 0x8A, 0x80), kRed); }},
    {"reference pulse", [](QPainter& p) { referencePulse(p, false); }},
    {"reference pulse override", [](QPainter& p) { referencePulse(p, true); }},
    {"restore default protocols", restoreDefaults},
    {"save parameters", saveParameters},
    {"select channel", selectChannel},
    {"show", eye},
    {"splitter handle", splitterHandle},
    {"start protocol", play},
    {"stop protocol", stop},
    {"trigger disable",
     [](QPainter& p) {
         risingEdge(p);
         slash(p);
     }},
    {"trigger rise", risingEdge},
    {"view table", viewTable},
    {"warning icon", warning},
    {"y axis zoom synchronization", yZoomSynchronization},
    {"zap", zap},
    {"zoom full", zoomFull},
    {"zoom+", [](QPainter& p) { zoom(p, true); }},
    {"zoom-", [](QPainter& p) { zoom(p, false); }},
    {"protocols/conductance001", conductance},
    {"protocols/cyclicVoltammetry002", cyclicVoltammetry},
    {"protocols/holdingVoltage001", holdingVoltage},
    {"protocols/ramp002", ramp},
    {"protocols/sealTest001", sealTest},
    {"protocols/stepVariableAmplitude001", variableAmplitude},
    {"protocols/stepVariableDuration001", variableDuration},
    {"protocols/triangularParametric001", triangular},
};

QImage render(const kav4img::Image& image, const Drawing& drawing, int factor) {
    QImage result(image.width * factor, image.height * factor, QImage::Format_ARGB32_Premultiplied);
    result.fill(Qt::transparent);
    QPainter painter(&result);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(factor, factor);
    drawing.draw(painter);
    return result;
}

QString qs(std::string_view s) {
    return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

} // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        qCritical("usage: kav4-drawimages <output folder>");
        return 2;
    }
    // The labels are outlines of this font: another one would change every image.
    if (QFontInfo(font(12, true)).family() != kFontFamily) {
        qCritical("the font %s is missing", qPrintable(kFontFamily));
        return 1;
    }
    // Every image needs a drawing and every drawing a name, checked before anything is written.
    const auto drawingOf = [](std::string_view name) {
        return std::ranges::find(kDrawings, name, &Drawing::name);
    };
    for (const kav4img::Image& image : kav4img::kImages)
        if (drawingOf(image.name) == kDrawings.end()) {
            qCritical("no drawing for the image \"%s\"", qPrintable(qs(image.name)));
            return 1;
        }
    for (const Drawing& drawing : kDrawings)
        if (std::ranges::find(kav4img::kImages, drawing.name, &kav4img::Image::name) ==
            kav4img::kImages.end()) {
            qCritical("the drawing \"%s\" has no entry in imagenames.h", qPrintable(qs(drawing.name)));
            return 1;
        }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    for (const kav4img::Image& image : kav4img::kImages)
        for (const auto& [factor, suffix] : {std::pair{1, ".png"}, std::pair{2, "@2x.png"}}) {
            const QString path = out.filePath(qs(image.name) + suffix);
            if (!QDir().mkpath(QFileInfo(path).path()) ||
                !render(image, *drawingOf(image.name), factor).save(path)) {
                qCritical("cannot write %s", qPrintable(path));
                return 1;
            }
        }
    return 0;
}
