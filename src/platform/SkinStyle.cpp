#include "SkinStyle.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace platform {

namespace {

QColor rotated(const QColor &color, int degrees)
{
    if (!color.isValid())
        return color;
    const QColor hsv = color.toHsv();
    if (hsv.hsvHue() < 0) // achromatic
        return color;
    return QColor::fromHsv((hsv.hsvHue() + degrees) % 360, hsv.hsvSaturation(), hsv.value(),
                           hsv.alpha())
        .toRgb();
}

void rotateFill(SkinFill &fill, int degrees)
{
    for (QGradientStop &stop : fill.stops)
        stop.second = rotated(stop.second, degrees);
    if (fill.image.isNull())
        return;
    QImage image = fill.image.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            line[x] = rotated(QColor::fromRgba(line[x]), degrees).rgba();
    }
    fill.image = image;
}

// QGradient keeps one stop per position, so a hard step (two stops at one position) would lose
// its first colour; the second stop moves on by a hair instead.
QGradientStops distinctStops(QGradientStops stops)
{
    constexpr qreal kHair = 1e-4;
    for (qsizetype i = 1; i < stops.size(); ++i) {
        if (stops[i].first > stops[i - 1].first)
            continue;
        if (stops[i - 1].first + kHair <= 1.0)
            stops[i].first = stops[i - 1].first + kHair;
        else
            stops[i - 1].first = stops[i].first - kHair;
    }
    return stops;
}

QPainterPath roundedPath(const QRectF &rect, qreal radius)
{
    QPainterPath path;
    if (radius > 0)
        path.addRoundedRect(rect, radius, radius);
    else
        path.addRect(rect);
    return path;
}

} // namespace

QFont SkinFont::toFont() const
{
    QFont font(family);
    font.setPointSizeF(pointSize);
    font.setBold(bold);
    font.setItalic(italic);
    return font;
}

Skin rotateHue(const Skin &skin, int degrees)
{
    degrees = ((degrees % 360) + 360) % 360;
    Skin result = skin;
    if (degrees == 0)
        return result;
    const auto turn = [degrees](QColor &color) { color = rotated(color, degrees); };
    turn(result.frame.borderColor);
    turn(result.frame.innerBorderColor);
    rotateFill(result.title.background, degrees);
    turn(result.title.textColor);
    for (SkinFill *fill : {&result.closeButton.background, &result.closeButton.hoverBackground,
                           &result.closeButton.pressedBackground, &result.client,
                           &result.bar.groove, &result.bar.fill})
        rotateFill(*fill, degrees);
    turn(result.closeButton.borderColor);
    turn(result.closeButton.glyphColor);
    turn(result.closeButton.hoverGlyphColor);
    if (result.panel.background)
        rotateFill(*result.panel.background, degrees);
    turn(result.panel.borderColor);
    if (result.label.textColor)
        turn(*result.label.textColor);
    turn(result.bar.grooveBorderColor);
    turn(result.bar.fillBorderColor);
    return result;
}

void paintFill(QPainter &painter, const QRectF &rect, const SkinFill &fill, qreal radius)
{
    if (fill.isEmpty() || rect.isEmpty())
        return;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, radius > 0);
    if (radius > 0)
        painter.setClipPath(roundedPath(rect, radius), Qt::IntersectClip);
    if (fill.stops.size() == 1) {
        painter.fillRect(rect, fill.stops.front().second);
    } else if (!fill.stops.isEmpty()) {
        QLinearGradient gradient(rect.topLeft(), rect.bottomLeft());
        gradient.setStops(distinctStops(fill.stops));
        painter.fillRect(rect, gradient);
    }
    if (!fill.image.isNull()) {
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        if (fill.imageMode == SkinFill::ImageMode::Tile) {
            QPixmap tile = QPixmap::fromImage(fill.image);
            tile.setDevicePixelRatio(fill.density);
            painter.drawTiledPixmap(rect, tile);
        } else {
            painter.drawImage(rect, fill.image);
        }
    }
    painter.restore();
}

void paintBorder(QPainter &painter, const QRectF &rect, const QColor &color, qreal width,
                 qreal radius)
{
    if (!color.isValid() || width <= 0 || rect.isEmpty())
        return;
    // Filled as the ring between two outlines rather than stroked: a stroked one-pixel line sits
    // on half pixels and blurs, a filled ring keeps its straight edges on whole pixels.
    QPainterPath ring = roundedPath(rect, radius);
    ring.addPath(roundedPath(rect.adjusted(width, width, -width, -width),
                             std::max<qreal>(0, radius - width)));
    ring.setFillRule(Qt::OddEvenFill);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, radius > 0);
    painter.fillPath(ring, color);
    painter.restore();
}

} // namespace platform
