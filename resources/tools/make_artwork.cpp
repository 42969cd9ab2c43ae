// Draws every bitmap the application ships under resources/resources.
//
// Everything is procedural so the artwork can be regenerated, tweaked or
// rescaled without an image editor, and so the repository holds the recipe
// rather than opaque binaries only. Each picture is drawn in its own logical
// coordinate box and scaled to the pixel size, so line weights stay in
// proportion whether the result is 48 or 2400 pixels wide.
//
// Usage: make_artwork <output-directory> [<icon-theme-directory>]
//
// With the second argument it also writes the desktop icons, the same pictures as
// the windows' icons, into a hicolor theme tree (NxN/apps/vkt_update_tool.png and
// vkt_update_station.png).

#include <QByteArray>
#include <QColor>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QRadialGradient>
#include <QtMath>

#include <cstdio>
#include <functional>

namespace
{

// One palette for the whole set keeps the toolbar icons looking like a family.
const QColor kNavy(0x0d, 0x2f, 0x5e);
const QColor kBlue(0x1e, 0x63, 0xc4);
const QColor kBlueLight(0x5a, 0xa9, 0xf0);
const QColor kCyanPale(0xbf, 0xe6, 0xff);
const QColor kGreen(0x2f, 0xb3, 0x6b);
const QColor kRed(0xd6, 0x45, 0x45);
const QColor kAmber(0xf7, 0xc3, 0x25);
const QColor kAmberDark(0xc9, 0x8a, 0x00);
const QColor kInk(0x2b, 0x2b, 0x2b);
const QColor kMetal(0xb8, 0xc4, 0xd2);

using DrawFn = std::function<void(QPainter&)>;

// Paints in a premultiplied buffer (the fast path for QPainter) and hands back
// straight alpha, which is what both PNG and the icon DIB store.
QImage render(int width, int height, qreal logicalWidth, qreal logicalHeight, const DrawFn& draw)
{
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setRenderHint(QPainter::SmoothPixmapTransform, true);
    p.scale(width / logicalWidth, height / logicalHeight);
    draw(p);
    p.end();
    return image.convertToFormat(QImage::Format_ARGB32);
}

QPen roundPen(const QColor& color, qreal width)
{
    return QPen(color, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

QLinearGradient vertical(qreal top, qreal bottom, const QColor& from, const QColor& to)
{
    QLinearGradient g(0, top, 0, bottom);
    g.setColorAt(0, from);
    g.setColorAt(1, to);
    return g;
}

// A filled arrow along +x, tip at (tipX, cy); callers rotate the painter for
// other directions so every arrow in the set has the same proportions.
QPainterPath arrowPath(qreal tailX, qreal tipX, qreal cy, qreal shaftHalf, qreal headHalf, qreal headLength)
{
    const qreal neck = tipX - headLength;
    QPainterPath path;
    path.moveTo(tailX, cy - shaftHalf);
    path.lineTo(neck, cy - shaftHalf);
    path.lineTo(neck, cy - headHalf);
    path.lineTo(tipX, cy);
    path.lineTo(neck, cy + headHalf);
    path.lineTo(neck, cy + shaftHalf);
    path.lineTo(tailX, cy + shaftHalf);
    path.closeSubpath();
    return path;
}

// --- pictures ---------------------------------------------------------------

// 72 x 72: a chip receiving a download arrow.
void drawBootloader(QPainter& p)
{
    // Four legs per side, drawn first so the body overlaps their inner ends.
    p.setPen(Qt::NoPen);
    p.setBrush(kMetal);
    for (int i = 0; i < 4; ++i) {
        const qreal c = 22.5 + 9 * i;
        p.drawRoundedRect(QRectF(c - 2.2, 6, 4.4, 10), 1.2, 1.2);
        p.drawRoundedRect(QRectF(c - 2.2, 56, 4.4, 10), 1.2, 1.2);
        p.drawRoundedRect(QRectF(6, c - 2.2, 10, 4.4), 1.2, 1.2);
        p.drawRoundedRect(QRectF(56, c - 2.2, 10, 4.4), 1.2, 1.2);
    }

    const QRectF body(13, 13, 46, 46);
    p.setPen(QPen(kNavy, 1.6));
    p.setBrush(vertical(body.top(), body.bottom(), QColor(0x33, 0x7a, 0xdf), QColor(0x12, 0x3f, 0x80)));
    p.drawRoundedRect(body, 6, 6);

    // Pin-one marker.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 110));
    p.drawEllipse(QPointF(19.5, 19.5), 2.2, 2.2);

    p.save();
    p.translate(36, 36);
    p.rotate(90);
    p.setPen(QPen(QColor(0x0a, 0x4a, 0x2a), 1.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(vertical(-14, 14, QColor(0x7e, 0xe8, 0xa4), kGreen));
    p.drawPath(arrowPath(-16, 16, 0, 4.5, 12, 13));
    p.restore();
}

// 72 x 72: a bench of four units, each with its light, under the download arrow of the chip.
void drawStation(QPainter& p)
{
    const QRectF rack(4, 24, 64, 42);
    p.setPen(QPen(kNavy, 1.6));
    p.setBrush(vertical(rack.top(), rack.bottom(), QColor(0x2a, 0x4f, 0x86), QColor(0x0d, 0x2f, 0x5e)));
    p.drawRoundedRect(rack, 6, 6);

    const QColor lights[] = {kGreen, kGreen, kGreen, kAmber};
    for (int i = 0; i < 4; ++i) {
        const qreal left = 9.5 + 14 * i;
        // Legs above and below, then the chip over their inner ends.
        p.setPen(Qt::NoPen);
        p.setBrush(kMetal);
        for (const qreal x : {left + 2.5, left + 7.5}) {
            p.drawRect(QRectF(x - 1, 28, 2, 4));
            p.drawRect(QRectF(x - 1, 44, 2, 4));
        }
        const QRectF chip(left, 31, 10, 14);
        p.setPen(QPen(kNavy, 1));
        p.setBrush(vertical(chip.top(), chip.bottom(), QColor(0x5a, 0xa9, 0xf0), kBlue));
        p.drawRoundedRect(chip, 1.8, 1.8);
        p.setPen(QPen(QColor(0, 0, 0, 90), 0.8));
        p.setBrush(lights[i]);
        p.drawEllipse(QPointF(left + 5, 56), 3.4, 3.4);
    }

    p.save();
    p.translate(36, 11);
    p.rotate(90);
    p.setPen(QPen(QColor(0x0a, 0x4a, 0x2a), 1.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(vertical(-9, 9, QColor(0x7e, 0xe8, 0xa4), kGreen));
    p.drawPath(arrowPath(-10, 11, 0, 3.5, 9, 9));
    p.restore();
}

// 1 x 126: the banner background, tiled horizontally behind white text.
void drawBanner(QPainter& p)
{
    QLinearGradient g(0, 0, 0, 126);
    g.setColorAt(0.0, QColor(0x1d, 0x4f, 0x8f));
    g.setColorAt(0.45, QColor(0x12, 0x38, 0x6b));
    g.setColorAt(1.0, QColor(0x08, 0x22, 0x44));
    p.fillRect(QRectF(0, 0, 1, 126), g);
    // A faint sheen on top and a darker last row separate the banner from the window.
    p.fillRect(QRectF(0, 0, 1, 1), QColor(0x3a, 0x6f, 0xb2));
    p.fillRect(QRectF(0, 125, 1, 1), QColor(0x05, 0x16, 0x2e));
}

QPolygonF hexagon(QPointF centre, qreal radius)
{
    QPolygonF poly;
    for (int i = 0; i < 6; ++i) {
        const qreal a = qDegreesToRadians(60.0 * i - 90.0);
        poly << QPointF(centre.x() + radius * qCos(a), centre.y() + radius * qSin(a));
    }
    return poly;
}

// 189 x 64: a hexagonal mark and three slanted bars, light on transparent so
// it reads on the dark banner.
void drawLogo(QPainter& p)
{
    const QPointF centre(33, 32);
    p.setPen(QPen(QColor(0x8f, 0xd3, 0xff), 4.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(QColor(255, 255, 255, 28));
    p.drawPolygon(hexagon(centre, 27));

    // Upward chevrons inside the mark.
    p.setBrush(Qt::NoBrush);
    p.setPen(roundPen(Qt::white, 5));
    p.drawPolyline(QPolygonF({QPointF(22, 30), QPointF(33, 19), QPointF(44, 30)}));
    p.setPen(roundPen(kCyanPale, 5));
    p.drawPolyline(QPolygonF({QPointF(22, 43), QPointF(33, 32), QPointF(44, 43)}));

    const QColor bars[] = {Qt::white, kCyanPale, QColor(0x7c, 0xc4, 0xf5)};
    const qreal lengths[] = {112, 90, 68};
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 3; ++i) {
        const qreal top = 11 + 16 * i;
        const qreal h = 10;
        const qreal slant = 5;
        const qreal left = 70 + slant * i;
        QPolygonF bar;
        bar << QPointF(left + slant, top) << QPointF(left + lengths[i] + slant, top)
            << QPointF(left + lengths[i], top + h) << QPointF(left, top + h);
        p.setBrush(bars[i]);
        p.drawPolygon(bar);
    }
}

// 48 x 48: open tray with an arrow leaving it.
void drawExport(QPainter& p)
{
    p.setBrush(Qt::NoBrush);
    p.setPen(roundPen(kBlue, 4.5));
    p.drawPolyline(QPolygonF({QPointF(8, 24), QPointF(8, 41), QPointF(40, 41), QPointF(40, 24)}));

    p.save();
    p.translate(24, 20);
    p.rotate(-90);
    p.setPen(QPen(QColor(0x14, 0x6b, 0x3c), 1.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(kGreen);
    p.drawPath(arrowPath(-14, 16, 0, 3.2, 9.5, 10));
    p.restore();
}

// 48 x 48: magnifier.
void drawSearch(QPainter& p)
{
    const QPointF lens(20, 20);
    p.setPen(roundPen(kNavy, 7.5));
    p.drawLine(QPointF(30, 30), QPointF(41, 41));

    QRadialGradient glass(QPointF(16, 15), 14);
    glass.setColorAt(0, QColor(255, 255, 255, 230));
    glass.setColorAt(1, QColor(0xbf, 0xe6, 0xff, 170));
    p.setBrush(glass);
    p.setPen(QPen(kBlue, 4.5));
    p.drawEllipse(lens, 12.5, 12.5);
}

// 225 x 225: a two-pin plug with its cable.
void drawPlug(QPainter& p)
{
    // Cable first: it runs under the neck of the plug.
    QPainterPath cable;
    cable.moveTo(112.5, 150);
    cable.cubicTo(112.5, 195, 60, 180, 52, 218);
    p.setBrush(Qt::NoBrush);
    p.setPen(roundPen(QColor(0x2e, 0x37, 0x42), 15));
    p.drawPath(cable);
    p.setPen(roundPen(QColor(0x4a, 0x56, 0x64), 6));
    p.drawPath(cable);

    // Prongs.
    QLinearGradient metal(0, 0, 14, 0);
    metal.setSpread(QGradient::RepeatSpread);
    metal.setColorAt(0, QColor(0xe8, 0xee, 0xf4));
    metal.setColorAt(0.5, QColor(0x9a, 0xa8, 0xb8));
    metal.setColorAt(1, QColor(0xe8, 0xee, 0xf4));
    p.setPen(QPen(QColor(0x6b, 0x78, 0x88), 2));
    for (qreal x : {80.0, 131.0}) {
        p.save();
        p.translate(x, 0);
        p.setBrush(metal);
        p.drawRoundedRect(QRectF(0, 18, 14, 56), 3, 3);
        p.restore();
    }

    // Neck tapering into the cable.
    QPolygonF neck;
    neck << QPointF(84, 128) << QPointF(141, 128) << QPointF(126, 160) << QPointF(99, 160);
    p.setPen(QPen(kNavy, 2.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(vertical(128, 160, QColor(0x1a, 0x4c, 0x92), QColor(0x0d, 0x2f, 0x5e)));
    p.drawPolygon(neck);

    const QRectF body(56, 64, 113, 70);
    p.setBrush(vertical(body.top(), body.bottom(), QColor(0x3d, 0x85, 0xe6), QColor(0x14, 0x46, 0x8e)));
    p.drawRoundedRect(body, 16, 16);

    // Soft highlight across the upper half of the body.
    p.setPen(Qt::NoPen);
    p.setBrush(vertical(body.top(), body.center().y(), QColor(255, 255, 255, 90), QColor(255, 255, 255, 0)));
    p.drawRoundedRect(body.adjusted(6, 4, -6, -body.height() / 2), 12, 12);

    // Grip ridges.
    p.setPen(roundPen(QColor(255, 255, 255, 70), 3));
    for (int i = 0; i < 3; ++i) {
        const qreal y = 104 + 9 * i;
        p.drawLine(QPointF(88, y), QPointF(137, y));
    }
}

// 64 x 64: padlock.
void drawPadlock(QPainter& p)
{
    QPainterPath shackle;
    shackle.moveTo(20, 32);
    shackle.lineTo(20, 22);
    shackle.arcTo(QRectF(20, 10, 24, 24), 180, -180);
    shackle.lineTo(44, 32);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(0x5f, 0x6c, 0x7c), 8.5, Qt::SolidLine, Qt::FlatCap, Qt::RoundJoin));
    p.drawPath(shackle);
    p.setPen(QPen(QColor(0xc4, 0xce, 0xda), 4.5, Qt::SolidLine, Qt::FlatCap, Qt::RoundJoin));
    p.drawPath(shackle);

    const QRectF body(11, 28, 42, 31);
    p.setPen(QPen(QColor(0xa8, 0x74, 0x00), 2));
    p.setBrush(vertical(body.top(), body.bottom(), QColor(0xff, 0xd8, 0x5c), QColor(0xe0, 0xa1, 0x00)));
    p.drawRoundedRect(body, 6, 6);

    QPainterPath keyhole;
    keyhole.addEllipse(QPointF(32, 40), 4.5, 4.5);
    QPolygonF slot;
    slot << QPointF(29.8, 41) << QPointF(34.2, 41) << QPointF(35.5, 51) << QPointF(28.5, 51);
    keyhole.addPolygon(slot);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x5a, 0x3d, 0x00));
    p.drawPath(keyhole.simplified());
}

// Drawn in a 100 x 100 box; rendered at 2400 x 2400.
void drawWarning(QPainter& p)
{
    QPolygonF triangle;
    triangle << QPointF(50, 11) << QPointF(92, 86) << QPointF(8, 86);

    // A wide stroke with round joins gives the soft corners; the narrower
    // stroke in the fill colour leaves a thin dark rim.
    p.setPen(roundPen(kAmberDark, 11));
    p.setBrush(Qt::NoBrush);
    p.drawPolygon(triangle);
    const QLinearGradient fill = vertical(8, 90, QColor(0xff, 0xd8, 0x4d), QColor(0xf2, 0xaa, 0x00));
    p.setPen(QPen(QBrush(fill), 7, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(fill);
    p.drawPolygon(triangle);

    // Exclamation mark: a bar tapering downwards, then the dot.
    QPainterPath bar;
    bar.moveTo(45.5, 37);
    bar.arcTo(QRectF(45.5, 32.5, 9, 9), 180, -180);
    bar.lineTo(52.2, 64);
    bar.arcTo(QRectF(47.8, 61.8, 4.4, 4.4), 0, -180);
    bar.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(kInk);
    p.drawPath(bar);
    p.drawEllipse(QPointF(50, 74.5), 4.8, 4.8);
}

// 48 x 48: gear with eight teeth.
void drawGear(QPainter& p)
{
    const QPointF c(24, 24);
    const qreal rootRadius = 15.5;
    const qreal tipRadius = 21.5;
    QPolygonF outline;
    for (int i = 0; i < 8; ++i) {
        const qreal a = 45.0 * i;
        // Teeth narrower at the tip than at the root so they read as teeth, not bumps.
        for (const auto& [angle, radius] : {std::pair{a - 13.0, rootRadius}, std::pair{a - 8.0, tipRadius},
                                            std::pair{a + 8.0, tipRadius}, std::pair{a + 13.0, rootRadius}}) {
            const qreal r = qDegreesToRadians(angle);
            outline << QPointF(c.x() + radius * qCos(r), c.y() + radius * qSin(r));
        }
    }
    QPainterPath gear;
    gear.addPolygon(outline);
    gear.closeSubpath();
    gear.addEllipse(c, 6.5, 6.5);
    gear.setFillRule(Qt::OddEvenFill);

    QRadialGradient shade(QPointF(19, 18), 26);
    shade.setColorAt(0, kBlueLight);
    shade.setColorAt(1, QColor(0x16, 0x4b, 0x98));
    p.setPen(QPen(kNavy, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(shade);
    p.drawPath(gear);
}

// 48 x 48: a door frame with an arrow leaving through its open side.
void drawExit(QPainter& p)
{
    p.setBrush(Qt::NoBrush);
    p.setPen(roundPen(kBlue, 4.5));
    p.drawPolyline(
        QPolygonF({QPointF(26, 15), QPointF(26, 7), QPointF(7, 7), QPointF(7, 41), QPointF(26, 41), QPointF(26, 33)}));

    p.setPen(QPen(QColor(0x8a, 0x22, 0x22), 1.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(kRed);
    p.drawPath(arrowPath(15, 44, 24, 3.2, 9.5, 10));
}

// 48 x 48: question mark on a disc.
void drawHelp(QPainter& p)
{
    p.setPen(QPen(kNavy, 1.6));
    p.setBrush(vertical(3, 45, QColor(0x4a, 0x94, 0xf0), QColor(0x15, 0x4a, 0x98)));
    p.drawEllipse(QPointF(24, 24), 21, 21);

    QPainterPath hook;
    const QRectF bend(16.5, 10.5, 15, 15);
    hook.arcMoveTo(bend, 165);
    hook.arcTo(bend, 165, -255);
    hook.lineTo(24, 29.5);
    p.setBrush(Qt::NoBrush);
    p.setPen(roundPen(Qt::white, 5));
    p.drawPath(hook);

    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(24, 36.5), 3, 3);
}

// 48 x 48: globe with meridians and parallels.
void drawGlobe(QPainter& p)
{
    const QPointF c(24, 24);
    const qreal r = 19.5;

    QRadialGradient sea(QPointF(18, 17), 26);
    sea.setColorAt(0, QColor(0xd8, 0xef, 0xff));
    sea.setColorAt(1, kBlueLight);
    p.setPen(Qt::NoPen);
    p.setBrush(sea);
    p.drawEllipse(c, r, r);

    QPainterPath disc;
    disc.addEllipse(c, r, r);
    p.save();
    p.setClipPath(disc);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(kBlue, 2.2));
    p.drawEllipse(c, 8.5, r);
    p.drawLine(QPointF(24, 0), QPointF(24, 48));
    p.drawLine(QPointF(0, 24), QPointF(48, 24));
    p.drawLine(QPointF(0, 14), QPointF(48, 14));
    p.drawLine(QPointF(0, 34), QPointF(48, 34));
    p.restore();

    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(kBlue, 3.2));
    p.drawEllipse(c, r, r);
}

// Drawn in a 100 x 100 box; rendered at 512 x 512.
void drawSeta(QPainter& p)
{
    const QPainterPath arrow = arrowPath(12, 88, 50, 12, 32, 34);
    const QLinearGradient fill = vertical(18, 82, QColor(0x4d, 0x98, 0xff), QColor(0x17, 0x4a, 0xa0));
    // Stroking in the fill colour with round joins softens the corners.
    p.setPen(QPen(QBrush(fill), 6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(fill);
    p.drawPath(arrow);
}

// --- output -----------------------------------------------------------------

void putLe16(QByteArray& out, quint16 v)
{
    out.append(char(v & 0xff));
    out.append(char(v >> 8));
}

void putLe32(QByteArray& out, quint32 v)
{
    for (int shift = 0; shift < 32; shift += 8)
        out.append(char((v >> shift) & 0xff));
}

// Windows icon with a single 32-bit image. Written by hand rather than through
// an image plugin so the result does not depend on which plugins are installed.
QByteArray encodeIco(const QImage& source)
{
    const QImage img = source.convertToFormat(QImage::Format_ARGB32);
    const int w = img.width();
    const int h = img.height();
    const int xorSize = w * h * 4;
    // Each mask row is padded to a 32-bit boundary.
    const int maskStride = ((w + 31) / 32) * 4;
    const int maskSize = maskStride * h;
    const int dibSize = 40 + xorSize + maskSize;
    const int headerSize = 6 + 16;

    QByteArray out;
    out.reserve(headerSize + dibSize);

    // ICONDIR
    putLe16(out, 0);
    putLe16(out, 1); // icon, not cursor
    putLe16(out, 1); // image count

    // ICONDIRENTRY; a 0 here means 256, so anything larger cannot be described.
    out.append(char(w >= 256 ? 0 : w));
    out.append(char(h >= 256 ? 0 : h));
    out.append(char(0)); // no palette
    out.append(char(0));
    putLe16(out, 1);  // planes
    putLe16(out, 32); // bits per pixel
    putLe32(out, quint32(dibSize));
    putLe32(out, quint32(headerSize));

    // BITMAPINFOHEADER; the height covers the colour image and the mask stacked.
    putLe32(out, 40);
    putLe32(out, quint32(w));
    putLe32(out, quint32(h * 2));
    putLe16(out, 1);
    putLe16(out, 32);
    putLe32(out, 0); // BI_RGB
    putLe32(out, quint32(xorSize + maskSize));
    putLe32(out, 0);
    putLe32(out, 0);
    putLe32(out, 0);
    putLe32(out, 0);

    // Colour data, bottom row first, BGRA with straight alpha.
    for (int y = h - 1; y >= 0; --y) {
        const auto* line = reinterpret_cast<const QRgb*>(img.constScanLine(y));
        for (int x = 0; x < w; ++x) {
            out.append(char(qBlue(line[x])));
            out.append(char(qGreen(line[x])));
            out.append(char(qRed(line[x])));
            out.append(char(qAlpha(line[x])));
        }
    }

    // Mask for readers that ignore alpha: set bits are fully transparent pixels.
    for (int y = h - 1; y >= 0; --y) {
        const auto* line = reinterpret_cast<const QRgb*>(img.constScanLine(y));
        QByteArray row(maskStride, '\0');
        for (int x = 0; x < w; ++x) {
            if (qAlpha(line[x]) == 0)
                row[x / 8] = char(row[x / 8] | (0x80 >> (x % 8)));
        }
        out.append(row);
    }
    return out;
}

bool writeFile(const QString& path, const QByteArray& data)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return f.write(data) == data.size() && f.flush();
}

// Desktops pick the size nearest their need from the hicolor theme, and scaling a
// bitmap down blurs the legs of the chip, so every common size is drawn afresh.
bool writeDesktopIcons(const QDir& theme)
{
    bool ok = true;
    const std::pair<const char*, DrawFn> programs[] = {{"vkt_update_tool", drawBootloader},
                                                       {"vkt_update_station", drawStation}};
    for (const auto& [program, draw] : programs) {
        for (const int size : {16, 24, 32, 48, 64, 128, 256}) {
            const QString folder = QStringLiteral("%1x%1/apps").arg(size);
            const QString path = theme.filePath(folder + QStringLiteral("/%1.png").arg(QLatin1String(program)));
            if (!theme.mkpath(folder) || !render(size, size, 72, 72, draw).save(path, "PNG", 0)) {
                std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
                ok = false;
            }
        }
    }
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    // Nothing is shown on screen, so don't insist on a display.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);

    const QStringList args = app.arguments();
    if (args.size() != 2 && args.size() != 3) {
        std::fprintf(stderr, "usage: %s <output-directory> [<icon-theme-directory>]\n",
                     qPrintable(args.value(0, "make_artwork")));
        return 2;
    }
    const QDir dir(args.at(1));
    if (!dir.mkpath(".")) {
        std::fprintf(stderr, "cannot create %s\n", qPrintable(dir.path()));
        return 1;
    }

    struct Picture {
        const char* name;
        int width;
        int height;
        qreal logicalWidth;
        qreal logicalHeight;
        DrawFn draw;
    };
    const Picture pictures[] = {
        {"bootloader_72x72.png", 72, 72, 72, 72, drawBootloader},
        {"station_72x72.png", 72, 72, 72, 72, drawStation},
        {"bg_topo.png", 1, 126, 1, 126, drawBanner},
        {"logo_vkt_principal.png", 189, 64, 189, 64, drawLogo},
        {"export-icon.png", 48, 48, 48, 48, drawExport},
        {"search-icon.png", 48, 48, 48, 48, drawSearch},
        {"oie_transparent.png", 225, 225, 225, 225, drawPlug},
        {"encrypt.png", 64, 64, 64, 64, drawPadlock},
        {"warning_icon.png", 2400, 2400, 100, 100, drawWarning},
        // X servers refuse a request above 16 MB, and a window icon travels as one request of
        // four bytes per pixel: the dialog's own icon stays small.
        {"warning_icon_256.png", 256, 256, 100, 100, drawWarning},
        {"config-icon.png", 48, 48, 48, 48, drawGear},
        {"exit-icon.png", 48, 48, 48, 48, drawExit},
        {"help-icon.png", 48, 48, 48, 48, drawHelp},
        {"web-icon.png", 48, 48, 48, 48, drawGlobe},
        {"seta_icon.png", 512, 512, 100, 100, drawSeta},
    };

    int failures = 0;
    for (const Picture& pic : pictures) {
        const QImage image = render(pic.width, pic.height, pic.logicalWidth, pic.logicalHeight, pic.draw);
        const QString path = dir.filePath(QString::fromLatin1(pic.name));
        // Quality 0 asks the PNG writer for maximum compression.
        if (!image.save(path, "PNG", 0)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            ++failures;
        }
        if (qstrcmp(pic.name, "bootloader_72x72.png") == 0) {
            const QString icoPath = dir.filePath(QStringLiteral("bootloader_72x72.ico"));
            if (!writeFile(icoPath, encodeIco(image))) {
                std::fprintf(stderr, "cannot write %s\n", qPrintable(icoPath));
                ++failures;
            }
        }
    }
    if (args.size() == 3 && !writeDesktopIcons(QDir(args.at(2))))
        ++failures;
    return failures == 0 ? 0 : 1;
}
