#pragma once

#include "runtime/Controls.h"
#include "runtime/Twips.h"

#include <QColor>
#include <QFont>
#include <QImage>
#include <QRect>
#include <QString>
#include <climits>
#include <optional>
#include <string>
#include <string_view>

// The Linux runtime's edge: UTF-8 and the neutral values on one side, Qt's types on the other.
namespace runtime::qt {

/// Any thread. UTF-8 to Qt's text and back. Never throw beyond std::bad_alloc.
inline QString toQString(const std::string &text)
{
    return QString::fromStdString(text);
}
inline std::string toUtf8(const QString &text)
{
    return text.toStdString();
}

/// Any thread. A neutral colour as Qt's, and back. Never throw.
inline QColor toQColor(Color color)
{
    return QColor(color.r, color.g, color.b, color.a);
}
/// Any thread. A colour that may be left out as Qt's: invalid for none. Never throws.
inline QColor toQColor(const std::optional<Color> &color)
{
    return color ? toQColor(*color) : QColor();
}
inline Color fromQColor(const QColor &color)
{
    const QColor rgb = color.toRgb();
    return Color{static_cast<std::uint8_t>(rgb.red()), static_cast<std::uint8_t>(rgb.green()),
                 static_cast<std::uint8_t>(rgb.blue()), static_cast<std::uint8_t>(rgb.alpha())};
}

/// Any thread. A layout's font as Qt's; a family the system lacks is matched by Qt's own
/// fallback when the font is used. Never throws beyond std::bad_alloc.
inline QFont toQFont(const FontSpec &font)
{
    QFont result(toQString(font.family));
    result.setPointSizeF(font.pointSize);
    result.setBold(font.bold);
    return result;
}

/// Any thread. A place in twips as logical pixels. Never throws.
inline QRect pixelRect(const TwipsRect &twips)
{
    return {twipsToPixels(twips.left), twipsToPixels(twips.top), twipsToPixels(twips.width),
            twipsToPixels(twips.height)};
}

/// Any thread. A Qt rectangle as the neutral one. Never throws.
inline PixelRect toPixelRect(const QRect &rect)
{
    return {rect.x(), rect.y(), rect.width(), rect.height()};
}

/// UI thread (it uses the image decoder). PNG bytes as an image; a null image when they do
/// not decode. Never throws beyond std::bad_alloc.
inline QImage decodePng(std::string_view png)
{
    QImage image;
    if (png.size() <= static_cast<std::size_t>(INT_MAX))
        image.loadFromData(reinterpret_cast<const uchar *>(png.data()),
                           static_cast<int>(png.size()), "PNG");
    return image;
}

} // namespace runtime::qt
