#include "SkinPaint.h"

#include "Conversions.h"
#include "runtime/RuntimeError.h"

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
    const auto refuse = [owner](const std::string &what) {
        throw RuntimeError(ErrorKind::Refused,
                           std::string("the image of the ") + owner + " " + what);
    };
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
        refuse("cannot be decoded: the PNG image is damaged, or there is not enough memory for it");
    const int degrees = ((image.hue % 360) + 360) % 360;
    if (degrees != 0) {
        decoded = decoded.convertToFormat(QImage::Format_ARGB32);
        if (decoded.isNull())
            refuse("needs more memory than there is");
        rotateImageHue(decoded, degrees);
    }
    QImage converted = decoded.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    if (converted.isNull())
        refuse("needs more memory than there is");
    return converted;
}

SkinFill prepareFill(const look::Fill &fill, const char *owner)
{
    SkinFill prepared;
    for (const look::GradientStop &stop : fill.stops)
        prepared.stops.append({stop.position, toQColor(stop.color)});
    if (fill.image)
        prepared.image = decodeImage(*fill.image, owner);
    prepared.density = std::max(1, fill.density);
    prepared.imageMode = fill.imageMode;
    return prepared;
}

QColor optionalColor(const std::optional<Color> &color)
{
    return color ? toQColor(*color) : QColor();
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

QFont toQFont(const look::Font &font)
{
    QFont result(toQString(font.family));
    result.setPointSizeF(font.pointSize);
    result.setBold(font.bold);
    result.setItalic(font.italic);
    return result;
}

PreparedLook prepareLook(const SkinLook &look)
{
    PreparedLook prepared;
    prepared.frame.borderWidth = look.frame.borderWidth;
    prepared.frame.borderColor = toQColor(look.frame.borderColor);
    prepared.frame.innerBorderColor = optionalColor(look.frame.innerBorderColor);

    prepared.title.height = look.title.height;
    prepared.title.background = prepareFill(look.title.background, "title bar");
    prepared.title.textColor = toQColor(look.title.textColor);
    prepared.title.font = toQFont(look.title.font);
    prepared.title.align = toQtAlignment(look.title.align);
    prepared.title.indent = look.title.indent;

    const look::ButtonStyle &button = look.closeButton;
    prepared.closeButton.size = button.size;
    prepared.closeButton.cornerRadius = button.cornerRadius;
    prepared.closeButton.background = prepareFill(button.background, "close button");
    prepared.closeButton.hoverBackground = prepareFill(button.hoverBackground, "close button");
    prepared.closeButton.pressedBackground = prepareFill(button.pressedBackground, "close button");
    prepared.closeButton.borderColor = optionalColor(button.borderColor);
    prepared.closeButton.glyphColor = toQColor(button.glyphColor);
    prepared.closeButton.hoverGlyphColor = toQColor(button.hoverGlyphColor);

    prepared.client = prepareFill(look.client, "client area");

    if (look.panel.background)
        prepared.panel.background = prepareFill(*look.panel.background, "panel");
    prepared.panel.borderColor = optionalColor(look.panel.borderColor);
    prepared.panel.cornerRadius = look.panel.cornerRadius;

    if (look.label.textColor)
        prepared.label.textColor = toQColor(*look.label.textColor);
    if (look.label.font)
        prepared.label.font = toQFont(*look.label.font);

    prepared.bar.cornerRadius = look.bar.cornerRadius;
    prepared.bar.groove = prepareFill(look.bar.groove, "progress bar's groove");
    prepared.bar.grooveBorderColor = optionalColor(look.bar.grooveBorderColor);
    prepared.bar.fill = prepareFill(look.bar.fill, "progress bar's fill");
    prepared.bar.fillBorderColor = optionalColor(look.bar.fillBorderColor);
    return prepared;
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

} // namespace runtime::qt
