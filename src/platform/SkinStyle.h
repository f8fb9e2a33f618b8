#pragma once

#include <QColor>
#include <QFont>
#include <QGradientStops>
#include <QImage>
#include <QString>
#include <optional>

class QPainter;
class QRectF;

namespace platform {

/// A vertical gradient from top to bottom (a single stop is a plain colour), with an optional
/// image drawn over it. An empty fill paints nothing.
struct SkinFill
{
    enum class ImageMode
    {
        Stretch,
        Tile
    };

    QGradientStops stops;
    QImage image;    // null: none
    int density = 1; // image pixels per logical pixel, 1 or 2
    ImageMode imageMode = ImageMode::Stretch;

    bool isEmpty() const { return stops.isEmpty() && image.isNull(); }
    static SkinFill solid(const QColor &color) { return SkinFill{{{0.0, color}}, {}, 1, {}}; }
};

/// A font as a skin names it; the family falls back to the platform's choice when missing.
struct SkinFont
{
    QString family;
    double pointSize = 8.0;
    bool bold = false;
    bool italic = false;

    /// Any thread. Never throws.
    QFont toFont() const;
};

struct SkinFrameStyle
{
    int borderWidth = 1;
    QColor borderColor{96, 96, 96};
    QColor innerBorderColor; // invalid: none
};

struct SkinTitleStyle
{
    int height = 20;
    SkinFill background = SkinFill::solid(QColor(200, 200, 200));
    QColor textColor{0, 0, 0};
    SkinFont font{QStringLiteral("DejaVu Sans"), 8.0, true, false};
    Qt::Alignment align = Qt::AlignLeft;
    int indent = 6;
};

struct SkinButtonStyle
{
    int size = 14;
    int cornerRadius = 0;
    SkinFill background = SkinFill::solid(QColor(220, 220, 220));
    SkinFill hoverBackground = SkinFill::solid(QColor(235, 235, 235));
    SkinFill pressedBackground = SkinFill::solid(QColor(180, 180, 180));
    QColor borderColor{96, 96, 96};
    QColor glyphColor{0, 0, 0};
    QColor hoverGlyphColor{0, 0, 0};
};

/// The panel frame around the progress display.
struct SkinPanelStyle
{
    std::optional<SkinFill> background; // unset: the engine's panel colour, if it applies colours
    QColor borderColor{128, 128, 128};
    int cornerRadius = 0;
};

struct SkinLabelStyle
{
    std::optional<QColor> textColor; // unset: the engine's panel text colour
    std::optional<SkinFont> font;    // unset: the label's own font
};

struct SkinBarStyle
{
    int cornerRadius = 0;
    SkinFill groove = SkinFill::solid(QColor(255, 255, 255));
    QColor grooveBorderColor{128, 128, 128}; // invalid: none
    SkinFill fill = SkinFill::solid(QColor(0, 120, 215));
    QColor fillBorderColor; // invalid: none
};

/// Everything a skin file declares. Default values make a plain grey skin.
struct Skin
{
    QString name;
    QString author;
    QString description;
    SkinFrameStyle frame;
    SkinTitleStyle title;
    SkinButtonStyle closeButton;
    SkinFill client = SkinFill::solid(QColor(236, 236, 236));
    SkinPanelStyle panel;
    SkinLabelStyle label;
    SkinBarStyle bar;
};

/// Any thread. The skin with the hue of every colour it declares, images included, turned by
/// degrees (any integer; taken modulo 360). Greys have no hue and stay as they are. Never throws.
Skin rotateHue(const Skin &skin, int degrees);

/// UI thread (it paints). Paints fill over rect, clipped to a rounded rectangle of radius when
/// radius > 0. Straight edges land on whole logical pixels, so they stay sharp at any device
/// pixel ratio. Never throws.
void paintFill(QPainter &painter, const QRectF &rect, const SkinFill &fill, qreal radius = 0);

/// UI thread. Paints a border of width logical pixels inside rect, rounded by radius. Nothing
/// for an invalid color or a width of 0. Never throws.
void paintBorder(QPainter &painter, const QRectF &rect, const QColor &color, qreal width,
                 qreal radius = 0);

} // namespace platform
