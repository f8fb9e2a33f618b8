#pragma once

#include "Color.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What a skin painter draws: the looks of a window's frame, title bar, close button, client
// area, panel, skin labels and progress bar, and the settings it draws them with. Plain values;
// where a skin may leave a colour out ("none"), they hold a std::optional<Color>.
namespace runtime {

namespace look {

/// One colour of a gradient, at position 0 (top) to 1 (bottom). Two stops may share a position
/// (a hard step); positions never go backwards.
struct GradientStop
{
    double position = 0.0;
    Color color;

    friend bool operator==(const GradientStop &, const GradientStop &) = default;
};

/// A PNG image as the skin file embeds it, not decoded: its chunk list has been walked and
/// allowed, and width and height come from its header (each 1 to the size limit). Decoding the
/// pixels, and turning their hue, is the painter's job.
struct Image
{
    std::string png;
    int width = 0;
    int height = 0;
    int hue = 0; // degrees, 0 to 359: the painter turns the hue of every decoded pixel by this

    friend bool operator==(const Image &, const Image &) = default;
};

/// A vertical gradient from top to bottom (a single stop is a plain colour), with an optional
/// image drawn over it. An empty fill paints nothing.
struct Fill
{
    enum class ImageMode
    {
        Stretch,
        Tile
    };

    std::vector<GradientStop> stops;
    std::optional<Image> image;
    int density = 1; // image pixels per logical pixel, 1 or 2
    ImageMode imageMode = ImageMode::Stretch;

    /// Any thread. Whether the fill paints nothing. Never throws.
    bool isEmpty() const { return stops.empty() && !image; }
    /// Any thread. A plain colour. Throws only std::bad_alloc.
    static Fill solid(Color color) { return Fill{{{0.0, color}}, std::nullopt, 1, {}}; }

    friend bool operator==(const Fill &, const Fill &) = default;
};

/// A font as a skin names it; the runtime falls back to a similar family when it lacks this one.
struct Font
{
    std::string family; // UTF-8, 1 to 64 UTF-16 code units once parsed
    double pointSize = 8.0;
    bool bold = false;
    bool italic = false;

    friend bool operator==(const Font &, const Font &) = default;
};

/// Where the title bar's caption sits: after the indent, centred on the whole bar, or right.
enum class Alignment
{
    Left,
    Center,
    Right
};

struct FrameStyle
{
    int borderWidth = 1;
    Color borderColor{96, 96, 96};
    std::optional<Color> innerBorderColor;

    friend bool operator==(const FrameStyle &, const FrameStyle &) = default;
};

struct TitleStyle
{
    int height = 20;
    Fill background = Fill::solid({200, 200, 200});
    Color textColor{0, 0, 0};
    Font font{"DejaVu Sans", 8.0, true, false};
    Alignment align = Alignment::Left;
    int indent = 6;

    friend bool operator==(const TitleStyle &, const TitleStyle &) = default;
};

struct ButtonStyle
{
    int size = 14;
    int cornerRadius = 0;
    Fill background = Fill::solid({220, 220, 220});
    Fill hoverBackground = Fill::solid({235, 235, 235});
    Fill pressedBackground = Fill::solid({180, 180, 180});
    std::optional<Color> borderColor = Color{96, 96, 96};
    Color glyphColor{0, 0, 0};
    Color hoverGlyphColor{0, 0, 0};

    friend bool operator==(const ButtonStyle &, const ButtonStyle &) = default;
};

/// The panel frame around the progress display.
struct PanelStyle
{
    std::optional<Fill> background; // unset: the engine's panel colour, if it applies colours
    std::optional<Color> borderColor = Color{128, 128, 128};
    int cornerRadius = 0;

    friend bool operator==(const PanelStyle &, const PanelStyle &) = default;
};

struct LabelStyle
{
    std::optional<Color> textColor; // unset: the engine's panel text colour
    std::optional<Font> font;       // unset: the label's own font

    friend bool operator==(const LabelStyle &, const LabelStyle &) = default;
};

struct BarStyle
{
    int cornerRadius = 0;
    Fill groove = Fill::solid({255, 255, 255});
    std::optional<Color> grooveBorderColor = Color{128, 128, 128};
    Fill fill = Fill::solid({0, 120, 215});
    std::optional<Color> fillBorderColor;

    friend bool operator==(const BarStyle &, const BarStyle &) = default;
};

/// Everything a skin declares; texts are UTF-8. Default values make a plain grey skin.
struct SkinLook
{
    std::string name;
    std::string author;
    std::string description;
    FrameStyle frame;
    TitleStyle title;
    ButtonStyle closeButton;
    Fill client = Fill::solid({236, 236, 236});
    PanelStyle panel;
    LabelStyle label;
    BarStyle bar;

    friend bool operator==(const SkinLook &, const SkinLook &) = default;
};

} // namespace look

using SkinLook = look::SkinLook;

/// The skin engine's own settings, stored with the window's design. They take effect at the
/// next drawing.
struct SkinSettings
{
    std::string author;
    std::string description;
    std::string application;
    /// Turns the hue of every colour the skin declares by this many degrees; 0 keeps them.
    std::int32_t hue = 0;
    /// With applyColors: the background and text of the window's plain controls (text boxes,
    /// buttons, lists, plain labels) ...
    Color backColor{255, 255, 255};
    Color foreColor{0, 0, 0};
    /// ... and the panel's fill and the skin labels' text, where the skin declares none.
    Color panelColor{216, 233, 236};
    Color panelTextColor{0, 0, 0};
    bool applyColors = true;
    /// Whether the skin draws the client area (background, panel, skin labels, progress bar) or
    /// only the frame and title bar.
    bool skinClientArea = true;
    std::string name;
    std::string tag;
};

} // namespace runtime
