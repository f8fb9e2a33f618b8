#pragma once

#include "runtime/Color.h"
#include "runtime/Controls.h"
#include "runtime/SkinLook.h"

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

// What the tests of the controls and the skin painter (runtime/ControlsTest.cpp,
// runtime/SkinPainterTest.cpp) need to see and do as a person would, beyond the runtime's
// interface: a window's pixels, its place on the screen, a control's native place, the mouse.
// Each runtime's tests supply these (runtime/qt/Screen.cpp, runtime/win32/Screen.cpp); the
// pixels they give are device pixels, so the same expectations hold at any scale.
namespace screen {

using runtime::Color;
using runtime::PixelRect;

/// A point in device pixels.
struct Point
{
    int x = 0;
    int y = 0;

    friend bool operator==(const Point &, const Point &) = default;
};

/// The pixels of a whole window, a skin's frame or the platform's included, in device pixels.
struct Shot
{
    int width = 0;
    int height = 0;
    /// Device pixels per logical pixel.
    double scale = 1.0;
    /// Where the client area starts.
    Point clientOrigin;
    /// Row by row, opaque.
    std::vector<Color> pixels;

    /// Any thread. Device pixels for logical ones, as the platforms round them. Never throws.
    int px(double logical) const { return static_cast<int>(std::lround(logical * scale)); }
    /// Any thread. The pixel at (x, y) of the whole window; magenta outside it. Never throws.
    Color at(int x, int y) const
    {
        if (x < 0 || y < 0 || x >= width || y >= height)
            return {255, 0, 255};
        return pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                      static_cast<std::size_t>(x)];
    }
    /// Any thread. The pixel at (x, y) of the client area. Never throws.
    Color client(int x, int y) const { return at(clientOrigin.x + x, clientOrigin.y + y); }
    /// Any thread. How many pixels of area (device pixels of the client area) are within
    /// tolerance of color. Never throws.
    int countNear(const PixelRect &area, Color color, int tolerance = 40) const;
};

/// Any thread. Whether no channel of a and b differs by more than tolerance. Never throws.
inline bool similar(Color a, Color b, int tolerance = 4)
{
    return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance &&
           std::abs(a.b - b.b) <= tolerance;
}

inline int Shot::countNear(const PixelRect &area, Color color, int tolerance) const
{
    int count = 0;
    for (int y = area.top; y < area.top + area.height; ++y)
        for (int x = area.left; x < area.left + area.width; ++x)
            if (similar(client(x, y), color, tolerance))
                ++count;
    return count;
}

/// Any thread. "#rrggbb", for failure messages. Never throws beyond std::bad_alloc.
inline std::string hex(Color color)
{
    char text[8];
    std::snprintf(text, sizeof(text), "#%02x%02x%02x", color.r, color.g, color.b);
    return text;
}

/// Any thread. The colour of a top-to-bottom gradient over rows [top, top + height) at row y,
/// sampled at the row's centre, as both painters interpolate it. Never throws.
inline Color gradientAt(const runtime::look::Fill &fill, int y, int top, int height)
{
    const auto &stops = fill.stops;
    const double t = (y - top + 0.5) / height;
    if (stops.empty())
        return {};
    if (stops.size() == 1 || t <= stops.front().position)
        return stops.front().color;
    for (std::size_t i = 1; i < stops.size(); ++i) {
        const auto &from = stops[i - 1];
        const auto &to = stops[i];
        if (t > to.position)
            continue;
        const double f =
            to.position > from.position ? (t - from.position) / (to.position - from.position) : 1.0;
        const auto mix = [f](std::uint8_t a, std::uint8_t b) {
            return static_cast<std::uint8_t>(std::lround(a + (b - a) * f));
        };
        return {mix(from.color.r, to.color.r), mix(from.color.g, to.color.g),
                mix(from.color.b, to.color.b)};
    }
    return stops.back().color;
}

// Supplied by each runtime's tests.

/// How a window's pixels are read: painted afresh for the reading, or as the screen shows them
/// now (what a control last painted itself, however late).
enum class Reading
{
    Repainted,
    AsShown
};

/// UI thread. The whole window's pixels. Throws std::runtime_error when they cannot be read.
Shot shoot(runtime::Window &window, Reading reading = Reading::Repainted);

/// UI thread. Device pixels per logical pixel on the window's screen. Never throws.
double scaleOf(runtime::Window &window);

/// UI thread. Where the whole window is on the screen, in device pixels. Never throws.
PixelRect frameOnScreen(runtime::Window &window);

/// UI thread. The area of the window's screen that windows may take (without task bars), in
/// device pixels. Never throws.
PixelRect workArea(runtime::Window &window);

/// Whether a window is centred whole, its frame included, when first shown: false where the
/// platform's frame is unknown until then and the window centres its own rectangle alone.
bool centresItsWholeFrame();

/// UI thread. Moves the whole window's top-left corner to (x, y) on the screen, in device
/// pixels, as a user who drags it would. Never throws.
void moveFrame(runtime::Window &window, int x, int y);

/// UI thread. Closes the window the way the platform's own code would (no user, no window
/// manager), and dispatches the events that follow. Never throws.
void closeFromCode(runtime::Window &window);

/// UI thread. Delivers whatever was posted to the UI thread, deferred deletions included.
/// Never throws beyond what a handler throws.
void deliverPosted();

/// UI thread. Where the platform put control's own widget or window, in device pixels from the
/// top-left of its whole window; empty for a control the window draws itself. Never throws.
PixelRect nativePlace(const runtime::Control &control);

/// UI thread. Places control's own widget or window at logical pixels of its window's client
/// area, as a container that lays it out would, behind the control's back. Never throws.
void placeAsAContainer(runtime::Control &control, const PixelRect &logical);

/// UI thread. Whether control's own widget or window is on the screen now (its window shown and
/// itself not hidden). Never throws.
bool shownOnScreen(const runtime::Control &control);

/// UI thread. The native handle of control's own widget or window. Never throws.
runtime::WindowHandle nativeHandleOf(const runtime::Control &control);

/// UI thread. The position and the maximum that the platform's own bar was given (a bar moves
/// in fine steps so that it moves smoothly). Never throws.
std::pair<int, int> barSteps(const runtime::ProgressBar &bar);

/// UI thread. The background and text colours the platform draws a text box with; magenta for
/// both where the window gives it nothing to be drawn with. Never throws.
std::pair<Color, Color> textBoxColors(runtime::TextBox &box);

/// Any thread. A width x height PNG image whose pixel (x, y) is pixel(x, y), encoded by the
/// platform. Throws std::runtime_error when it cannot be encoded.
std::string pngOf(int width, int height, const std::function<Color(int x, int y)> &pixel);

/// UI thread. Makes in folder a file whose name matches "*.skn" but that this platform hides
/// from its users (a dot file on Linux, the hidden attribute on Windows); returns its name.
std::string makeHiddenSkinFile(const std::filesystem::path &folder);

/// A root folder of this platform's file system, as a file list box names it. Never throws.
std::string rootFolder();

/// Whether this platform's file names match without regard to case, so that a list box chooses
/// "b.skn" when told "B.SKN". Never throws.
bool namesIgnoreCase();

/// What the mouse does: moves to a point (device pixels from the top-left of what shoot() reads,
/// where the window is when the gesture starts), or presses or releases its left button where it
/// is.
struct MouseStep
{
    enum class Kind
    {
        Move,
        Press,
        Release
    };
    Kind kind = Kind::Move;
    Point at;
};

/// UI thread. Plays steps on the mouse of the window's screen as a person would, all of them
/// queued before any is dispatched (a drag of the system's runs a loop of its own inside the
/// press, which ends only when it sees the release). The caller waits for what follows. Never
/// throws.
void mouse(runtime::Window &window, const std::vector<MouseStep> &steps);

/// UI thread. Where the mouse is on the screen, in device pixels. Never throws.
Point pointer();

} // namespace screen
