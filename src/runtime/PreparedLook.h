#pragma once

#include "RuntimeError.h"
#include "SkinLook.h"

#include <algorithm>
#include <memory>
#include <new>
#include <optional>
#include <vector>

// A skin's look ready to paint, in the one shape every runtime's painter reads: the skin's own
// values, with each fill's image decoded and each font resolved by the runtime. Image is the
// platform's decoded picture, Font its resolved font; colours stay neutral until painted.
namespace runtime::look {

/// A vertical gradient (one stop: a plain colour) with an optional decoded image over it.
template <class Image> struct PreparedFill
{
    std::vector<GradientStop> stops;
    std::optional<Image> image; // hue already turned; unset: none
    int density = 1;            // image pixels per logical pixel, 1 or 2
    Fill::ImageMode imageMode = Fill::ImageMode::Stretch;

    /// Any thread. Whether the fill paints nothing. Never throws.
    bool isEmpty() const { return stops.empty() && !image; }
    /// Any thread. A plain colour. Throws only std::bad_alloc.
    static PreparedFill solid(Color color)
    {
        PreparedFill fill;
        fill.stops.push_back({0.0, color});
        return fill;
    }
};

template <class Image, class Font> struct PreparedLook
{
    using PaintFill = PreparedFill<Image>;

    struct Title
    {
        int height = 20;
        PaintFill background;
        Color textColor;
        Font font;
        Alignment align = Alignment::Left;
        int indent = 6;
    };

    struct Button
    {
        int size = 14;
        int cornerRadius = 0;
        PaintFill background;
        PaintFill hoverBackground;
        PaintFill pressedBackground;
        std::optional<Color> borderColor;
        Color glyphColor;
        Color hoverGlyphColor;
    };

    struct Panel
    {
        std::optional<PaintFill> background; // unset: the settings' panel colour, if they apply
        std::optional<Color> borderColor;
        int cornerRadius = 0;
    };

    struct Label
    {
        std::optional<Color> textColor; // unset: the settings' panel text colour
        std::optional<Font> font;       // unset: the label's own font
    };

    struct Bar
    {
        int cornerRadius = 0;
        PaintFill groove;
        std::optional<Color> grooveBorderColor;
        PaintFill fill;
        std::optional<Color> fillBorderColor;
    };

    FrameStyle frame;
    Title title;
    Button closeButton;
    PaintFill client;
    Panel panel;
    Label label;
    Bar bar;
};

/// Why an image of a skin cannot be painted.
enum class ImageFault
{
    Undecodable, // not a PNG image, damaged, or not of its declared size
    TooLarge     // its pixels do not fit in memory
};

/// Any thread. Throws RuntimeError (Refused) telling why the image of owner (the piece it
/// belongs to, as "title bar") cannot be painted.
[[noreturn]] void refuseImage(const char *owner, ImageFault fault);

/// UI thread (decoding and resolving may need it). look with every image decoded by
/// decode(const Image &, const char *owner) -> the platform's image, which throws through
/// refuseImage, and every font resolved by resolve(const Font &) -> the platform's font.
template <class Image, class Font, class Decode, class Resolve>
PreparedLook<Image, Font> prepareLook(const SkinLook &look, Decode &&decode, Resolve &&resolve)
{
    using Prepared = PreparedLook<Image, Font>;
    const auto fill = [&decode](const Fill &from, const char *owner) {
        typename Prepared::PaintFill prepared;
        prepared.stops = from.stops;
        if (from.image)
            prepared.image = decode(*from.image, owner);
        prepared.density = std::max(1, from.density);
        prepared.imageMode = from.imageMode;
        return prepared;
    };

    Prepared prepared;
    prepared.frame = look.frame;
    const TitleStyle &title = look.title;
    prepared.title = {title.height,    fill(title.background, "title bar"),
                      title.textColor, resolve(title.font),
                      title.align,     title.indent};
    const ButtonStyle &button = look.closeButton;
    prepared.closeButton = {button.size,
                            button.cornerRadius,
                            fill(button.background, "close button"),
                            fill(button.hoverBackground, "close button"),
                            fill(button.pressedBackground, "close button"),
                            button.borderColor,
                            button.glyphColor,
                            button.hoverGlyphColor};
    prepared.client = fill(look.client, "client area");
    if (look.panel.background)
        prepared.panel.background = fill(*look.panel.background, "panel");
    prepared.panel.borderColor = look.panel.borderColor;
    prepared.panel.cornerRadius = look.panel.cornerRadius;
    prepared.label.textColor = look.label.textColor;
    if (look.label.font)
        prepared.label.font = resolve(*look.label.font);
    prepared.bar = {look.bar.cornerRadius, fill(look.bar.groove, "progress bar's groove"),
                    look.bar.grooveBorderColor, fill(look.bar.fill, "progress bar's fill"),
                    look.bar.fillBorderColor};
    return prepared;
}

/// A painter's look: the skin it came from and its prepared form, which change together or not
/// at all. UI thread only.
template <class Prepared> class LoadedLook
{
public:
    /// UI thread. Prepares look with prepare(const SkinLook &) -> Prepared, unless it is the one
    /// loaded already. Throws what prepare throws, and RuntimeError (Refused) when memory runs
    /// out; the look loaded before stays then.
    template <class Prepare> void load(const SkinLook &look, Prepare &&prepare)
    {
        if (m_source && *m_source == look)
            return;
        std::shared_ptr<const Prepared> prepared;
        std::optional<SkinLook> source;
        try {
            prepared = std::make_shared<const Prepared>(prepare(look));
            source = look;
        } catch (const std::bad_alloc &) {
            throw RuntimeError(ErrorKind::Refused,
                               "there is not enough memory to prepare the skin");
        }
        m_source = std::move(source);
        m_prepared = std::move(prepared);
    }

    /// UI thread. The prepared look, never null. Throws RuntimeError (Refused) when none has
    /// been loaded.
    const std::shared_ptr<const Prepared> &current() const
    {
        if (!m_prepared)
            throw RuntimeError(ErrorKind::Refused, "no skin has been prepared for drawing");
        return m_prepared;
    }

private:
    std::optional<SkinLook> m_source;
    std::shared_ptr<const Prepared> m_prepared;
};

} // namespace runtime::look
