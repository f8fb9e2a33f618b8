#pragma once

#include "runtime/Color.h"
#include "runtime/PreparedLook.h"

#include <windows.h>
// GDI+ needs the COM declarations that WIN32_LEAN_AND_MEAN leaves out of windows.h.
// clang-format off
#include <objidl.h>
#include <gdiplus.h>
// clang-format on
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A skin's looks as GDI+ paints them, with images decoded, and the fills, borders and texts
// every skinned piece is drawn with. Everything is drawn in device pixels: callers turn logical
// places into device rectangles with DeviceScale, so that straight edges land on whole pixels at
// any scale. UI thread only, as GDI+ objects here are not shared between threads.
namespace runtime::win32 {

/// UI thread. Starts GDI+ for the rest of the program's life on first use. Throws RuntimeError
/// (Unavailable) when it cannot start.
void requireGdiPlus();

/// The factor between logical (96 dpi) and device pixels of one window.
struct DeviceScale
{
    unsigned dpi = 96;

    /// Any thread. The factor, 1.0 at 96 dpi. Never throws.
    double factor() const { return dpi / 96.0; }
    /// Any thread. A logical length or edge in device pixels, rounded. Never throws.
    int px(double logical) const;
    /// Any thread. A logical rectangle in device pixels, each edge rounded on its own so that
    /// neighbouring rectangles stay neighbours. Never throws.
    RECT rect(int left, int top, int width, int height) const;
    /// Any thread. A line width of logical pixels in whole device pixels, at least 1 for a
    /// width above 0. Never throws.
    int line(int logical) const;
};

/// A skin's font with its family resolved to one that GDI+ can draw here.
struct PaintFont
{
    std::wstring family;
    double pointSize = 8.0;
    bool bold = false;
    bool italic = false;
};

/// A fill with its image decoded, straight alpha.
using PaintFill = look::PreparedFill<std::shared_ptr<Gdiplus::Bitmap>>;
/// A look ready to paint, its fonts resolved for GDI+.
using PreparedLook = look::PreparedLook<std::shared_ptr<Gdiplus::Bitmap>, PaintFont>;

/// UI thread. A look with its images decoded, each turned by its own hue, and its fonts
/// resolved. Throws RuntimeError (Refused) when an image does not decode to its declared size or
/// does not fit in memory.
PreparedLook prepareLook(const SkinLook &look);

/// UI thread. PNG bytes as a bitmap with straight alpha, its pixels' hue turned by hueDegrees.
/// Returns null when the bytes are no PNG image or do not decode; throws RuntimeError (Refused)
/// when the pixels do not fit in memory.
std::unique_ptr<Gdiplus::Bitmap> decodePng(std::string_view png, int hueDegrees = 0);

/// UI thread. The family GDI+ draws for family here: itself when installed, else the platform's
/// message font, else a generic sans-serif face, else any installed family; "" when GDI+ knows
/// no font at all. Never throws beyond std::bad_alloc.
std::wstring resolveFontFamily(const std::wstring &family);

/// UI thread. The platform's message font at dpi (the font of message boxes and dialogs).
/// Never throws.
LOGFONTW messageFont(unsigned dpi);

/// Any thread. A neutral colour as GDI+'s. Never throws.
Gdiplus::Color gdiplusColor(Color color);

/// Any thread. The colour a top-to-bottom gradient has at fraction t of its height; straight
/// channels interpolated, a hard step where two stops share a position. Never throws.
Color gradientColorAt(const std::vector<look::GradientStop> &stops, double t);

/// UI thread. Paints fill over rect (device pixels), clipped to a rounded rectangle of radius
/// device pixels when radius > 0; scale sizes a tiled image. Never throws.
void paintFill(Gdiplus::Graphics &graphics, const RECT &rect, const PaintFill &fill, double radius,
               const DeviceScale &scale);

/// UI thread. Paints a border width device pixels wide inside rect, rounded by radius. Nothing
/// for no colour or a width of 0. Never throws.
void paintBorder(Gdiplus::Graphics &graphics, const RECT &rect, const std::optional<Color> &color,
                 int width, double radius);

/// UI thread. Draws text on one line inside rect, vertically centred, aligned as align, cut
/// with an ellipsis when too long. Never throws.
void paintText(Gdiplus::Graphics &graphics, const RECT &rect, const std::wstring &text,
               const PaintFont &font, Color color, look::Alignment align, const DeviceScale &scale);

/// UI thread. A 32-bit top-down DIB section of width x height device pixels, for painting off
/// the screen; *bits receives its pixels. Null when it cannot be made. Never throws.
HBITMAP createCanvas(HDC reference, int width, int height, void **bits = nullptr);

} // namespace runtime::win32
