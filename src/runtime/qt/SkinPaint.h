#pragma once

#include "runtime/SkinLook.h"

#include <QColor>
#include <QFont>
#include <QGradientStops>
#include <QImage>
#include <QString>
#include <optional>

class QPainter;
class QRectF;

// A skin's looks as Qt paints them: colours as QColor (an invalid one where the skin has none),
// images decoded, and the fills and borders every skinned piece is drawn with.
namespace runtime::qt {

/// A vertical gradient with an optional decoded image over it. An empty fill paints nothing.
struct SkinFill
{
    using ImageMode = look::Fill::ImageMode;

    QGradientStops stops;
    QImage image;    // premultiplied ARGB32, hue already turned; null: none
    int density = 1; // image pixels per logical pixel, 1 or 2
    ImageMode imageMode = ImageMode::Stretch;

    /// Any thread. Never throws.
    bool isEmpty() const { return stops.isEmpty() && image.isNull(); }
    /// Any thread. A plain colour. Never throws beyond std::bad_alloc.
    static SkinFill solid(const QColor &color) { return SkinFill{{{0.0, color}}, {}, 1, {}}; }
};

struct SkinFrameStyle
{
    int borderWidth = 1;
    QColor borderColor;
    QColor innerBorderColor; // invalid: none
};

struct SkinTitleStyle
{
    int height = 20;
    SkinFill background;
    QColor textColor;
    QFont font;
    Qt::Alignment align = Qt::AlignLeft;
    int indent = 6;
};

struct SkinButtonStyle
{
    int size = 14;
    int cornerRadius = 0;
    SkinFill background;
    SkinFill hoverBackground;
    SkinFill pressedBackground;
    QColor borderColor; // invalid: none
    QColor glyphColor;
    QColor hoverGlyphColor;
};

struct SkinPanelStyle
{
    std::optional<SkinFill> background; // unset: the settings' panel colour, if colours apply
    QColor borderColor;                 // invalid: none
    int cornerRadius = 0;
};

struct SkinLabelStyle
{
    std::optional<QColor> textColor; // unset: the settings' panel text colour
    std::optional<QFont> font;       // unset: the label's own font
};

struct SkinBarStyle
{
    int cornerRadius = 0;
    SkinFill groove;
    QColor grooveBorderColor; // invalid: none
    SkinFill fill;
    QColor fillBorderColor; // invalid: none
};

/// A look ready to paint.
struct PreparedLook
{
    SkinFrameStyle frame;
    SkinTitleStyle title;
    SkinButtonStyle closeButton;
    SkinFill client;
    SkinPanelStyle panel;
    SkinLabelStyle label;
    SkinBarStyle bar;
};

/// UI thread (it uses the image decoder and the font database). A look with its images decoded
/// and each image's pixels turned by the image's hue. Throws RuntimeError (Refused) when an
/// image does not decode to its declared size or its pixels do not fit in memory.
PreparedLook prepareLook(const SkinLook &look);

/// Any thread. A skin's font as Qt's; a family the system lacks falls back to the platform's
/// choice when the font is used. Never throws beyond std::bad_alloc.
QFont toQFont(const look::Font &font);

/// UI thread (it paints). Paints fill over rect, clipped to a rounded rectangle of radius when
/// radius > 0. Straight edges land on whole logical pixels, so they stay sharp at any device
/// pixel ratio. Never throws.
void paintFill(QPainter &painter, const QRectF &rect, const SkinFill &fill, qreal radius = 0);

/// UI thread. Paints a border of width logical pixels inside rect, rounded by radius. Nothing
/// for an invalid color or a width of 0. Never throws.
void paintBorder(QPainter &painter, const QRectF &rect, const QColor &color, qreal width,
                 qreal radius = 0);

} // namespace runtime::qt
