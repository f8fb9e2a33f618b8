#include "SkinPaint.h"

#include "Conversions.h"

#include <QBuffer>
#include <QByteArray>
#include <QImageReader>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <algorithm>
#include <string>

namespace runtime::qt {

namespace {

QColor rotated(const QColor &color, int degrees)
{
    const QColor hsv = color.toHsv();
    if (hsv.hsvHue() < 0) // achromatic
        return color;
    return QColor::fromHsv((hsv.hsvHue() + degrees) % 360, hsv.hsvSaturation(), hsv.value(),
                           hsv.alpha())
        .toRgb();
}

// Turned on straight alpha, before premultiplying, so that translucent pixels keep their
// colour's precision.
void rotateImageHue(QImage &image, int degrees)
{
    QRgb lastIn = 0;
    QRgb lastOut = 0;
    bool any = false;
    for (int y = 0; y < image.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            // Skin images are mostly runs of one colour; the HSV round trip is the cost here.
            if (!any || line[x] != lastIn) {
                lastIn = line[x];
                lastOut = rotated(QColor::fromRgba(lastIn), degrees).rgba();
                any = true;
            }
            line[x] = lastOut;
        }
    }
}

QImage decodeImage(const look::Image &image, const char *owner)
{
    const QByteArray bytes =
        QByteArray::fromRawData(image.png.data(), static_cast<qsizetype>(image.png.size()));
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "png");
    reader.setAutoTransform(false);
    QImage decoded;
    // The reader also fails, with no image, when the pixels cannot be allocated.
    if (!reader.read(&decoded) || decoded.width() != image.width ||
        decoded.height() != image.height)
        look::refuseImage(owner, look::ImageFault::Undecodable);
    const int degrees = ((image.hue % 360) + 360) % 360;
    if (degrees != 0) {
        decoded = decoded.convertToFormat(QImage::Format_ARGB32);
        if (decoded.isNull())
            look::refuseImage(owner, look::ImageFault::TooLarge);
        rotateImageHue(decoded, degrees);
    }
    QImage converted = decoded.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    if (converted.isNull())
        look::refuseImage(owner, look::ImageFault::TooLarge);
    return converted;
}

// QGradient keeps one stop per position, so a hard step (two stops at one position) would lose
// its first colour; the second stop moves on by a hair instead.
QGradientStops distinctStops(const std::vector<look::GradientStop> &from)
{
    QGradientStops stops;
    stops.reserve(static_cast<qsizetype>(from.size()));
    for (const look::GradientStop &stop : from)
        stops.append({stop.position, toQColor(stop.color)});
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

QFont toQFont(const look::Font &font)
{
    QFont result(toQString(font.family));
    result.setPointSizeF(font.pointSize);
    result.setBold(font.bold);
    result.setItalic(font.italic);
    return result;
}

Qt::Alignment toQtAlignment(look::Alignment align)
{
    switch (align) {
    case look::Alignment::Center:
        return Qt::AlignHCenter;
    case look::Alignment::Right:
        return Qt::AlignRight;
    case look::Alignment::Left:
        break;
    }
    return Qt::AlignLeft;
}

PreparedLook prepareLook(const SkinLook &look)
{
    return look::prepareLook<QImage, QFont>(look, decodeImage,
                                            [](const look::Font &font) { return toQFont(font); });
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
        painter.fillRect(rect, toQColor(fill.stops.front().color));
    } else if (!fill.stops.empty()) {
        QLinearGradient gradient(rect.topLeft(), rect.bottomLeft());
        gradient.setStops(distinctStops(fill.stops));
        painter.fillRect(rect, gradient);
    }
    if (fill.image) {
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        if (fill.imageMode == look::Fill::ImageMode::Tile) {
            QPixmap tile = QPixmap::fromImage(*fill.image);
            tile.setDevicePixelRatio(fill.density);
            painter.drawTiledPixmap(rect, tile);
        } else {
            painter.drawImage(rect, *fill.image);
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

} // namespace runtime::qt
