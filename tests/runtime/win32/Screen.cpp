// What the shared tests of the controls and the skin painter need beyond the runtime's interface,
// on real Win32 windows under the test's display (Wine on Xvfb): pixels read back from what the
// windows painted, and the system's own mouse input, through its input queue and hit-testing.

#include "runtime/Screen.h"

#include "WindowPixels.h"
#include "runtime/EventPump.h"
#include "runtime/win32/Controls.h"
#include "support/SystemSupport.h"

#include <cmath>
#include <commctrl.h>
#include <windows.h>

namespace screen {

namespace {

HWND hwndOf(runtime::Window &window)
{
    return reinterpret_cast<HWND>(window.handle());
}

HWND childOf(const runtime::Control &control)
{
    const auto *base = dynamic_cast<const runtime::win32::ControlBase *>(&control);
    return base != nullptr ? base->child() : nullptr;
}

INPUT mouseInput(DWORD flags, POINT screen = {})
{
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dwFlags = flags;
    if ((flags & MOUSEEVENTF_ABSOLUTE) != 0) {
        input.mi.dx = MulDiv(screen.x, 65535, GetSystemMetrics(SM_CXSCREEN) - 1);
        input.mi.dy = MulDiv(screen.y, 65535, GetSystemMetrics(SM_CYSCREEN) - 1);
    }
    return input;
}

PixelRect rectOf(const RECT &rect)
{
    return {rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top};
}

} // namespace

Shot shoot(runtime::Window &window, Reading reading)
{
    const windowpixels::Shot native(hwndOf(window), reading == Reading::Repainted);
    Shot shot;
    shot.width = native.width();
    shot.height = native.height();
    shot.scale = scaleOf(window);
    shot.clientOrigin = {native.clientOrigin().x, native.clientOrigin().y};
    shot.pixels.reserve(static_cast<std::size_t>(shot.width) * shot.height);
    for (int y = 0; y < shot.height; ++y)
        for (int x = 0; x < shot.width; ++x) {
            const Color pixel = native.at(x, y);
            shot.pixels.push_back({pixel.r, pixel.g, pixel.b});
        }
    return shot;
}

double scaleOf(runtime::Window &window)
{
    return GetDpiForWindow(hwndOf(window)) / 96.0;
}

PixelRect frameOnScreen(runtime::Window &window)
{
    RECT outer{};
    GetWindowRect(hwndOf(window), &outer);
    return rectOf(outer);
}

PixelRect workArea(runtime::Window &window)
{
    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    GetMonitorInfoW(MonitorFromWindow(hwndOf(window), MONITOR_DEFAULTTOPRIMARY), &monitor);
    return rectOf(monitor.rcWork);
}

bool centresItsWholeFrame()
{
    return true;
}

void moveFrame(runtime::Window &window, int x, int y)
{
    SetWindowPos(hwndOf(window), nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

void closeFromCode(runtime::Window &window)
{
    SendMessageW(hwndOf(window), WM_CLOSE, 0, 0);
    runtime::doEvents();
}

void deliverPosted()
{
    runtime::doEvents();
}

PixelRect nativePlace(const runtime::Control &control)
{
    const HWND child = childOf(control);
    if (child == nullptr)
        return {};
    RECT place{};
    GetWindowRect(child, &place);
    RECT outer{};
    GetWindowRect(GetAncestor(child, GA_ROOT), &outer);
    OffsetRect(&place, -outer.left, -outer.top);
    return rectOf(place);
}

void placeAsAContainer(runtime::Control &control, const PixelRect &logical)
{
    const HWND child = childOf(control);
    if (child == nullptr)
        return;
    const double scale = GetDpiForWindow(child) / 96.0;
    const auto px = [scale](int value) { return static_cast<int>(std::lround(value * scale)); };
    SetWindowPos(child, nullptr, px(logical.left), px(logical.top), px(logical.width),
                 px(logical.height), SWP_NOZORDER | SWP_NOACTIVATE);
}

bool shownOnScreen(const runtime::Control &control)
{
    const HWND child = childOf(control);
    return child != nullptr && IsWindowVisible(child) != FALSE;
}

runtime::WindowHandle nativeHandleOf(const runtime::Control &control)
{
    return reinterpret_cast<runtime::WindowHandle>(childOf(control));
}

std::pair<int, int> barSteps(const runtime::ProgressBar &bar)
{
    const HWND child = childOf(bar);
    if (child == nullptr)
        return {-1, -1};
    return {static_cast<int>(SendMessageW(child, PBM_GETPOS, 0, 0)),
            static_cast<int>(SendMessageW(child, PBM_GETRANGE, FALSE, 0))};
}

std::pair<Color, Color> textBoxColors(runtime::TextBox &box)
{
    const HWND edit = childOf(box);
    // What an edit asks its window for before it paints; without a brush from the window it
    // would be painted with nothing of the window's, so there are no colours to tell.
    HDC dc = GetDC(edit);
    const LRESULT brush =
        SendMessageW(GetParent(edit), WM_CTLCOLOREDIT, reinterpret_cast<WPARAM>(dc),
                     reinterpret_cast<LPARAM>(edit));
    const COLORREF back = GetBkColor(dc);
    const COLORREF text = GetTextColor(dc);
    ReleaseDC(edit, dc);
    if (brush == 0)
        return {Color{255, 0, 255}, Color{255, 0, 255}};
    const auto color = [](COLORREF value) {
        return Color{GetRValue(value), GetGValue(value), GetBValue(value)};
    };
    return {color(back), color(text)};
}

std::string pngOf(int width, int height, const std::function<Color(int x, int y)> &pixel)
{
    return windowpixels::pngOf(width, height, pixel);
}

std::string makeHiddenSkinFile(const std::filesystem::path &folder)
{
    support::writeFile(folder / "hidden.skn", "x");
    SetFileAttributesW((folder / "hidden.skn").wstring().c_str(), FILE_ATTRIBUTE_HIDDEN);
    return "hidden.skn";
}

std::string rootFolder()
{
    return "C:\\";
}

bool namesIgnoreCase()
{
    return true;
}

void mouse(runtime::Window &window, const std::vector<MouseStep> &steps)
{
    RECT outer{};
    GetWindowRect(hwndOf(window), &outer);
    std::vector<INPUT> inputs;
    for (const MouseStep &step : steps) {
        switch (step.kind) {
        case MouseStep::Kind::Move:
            inputs.push_back(mouseInput(MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE,
                                        {outer.left + step.at.x, outer.top + step.at.y}));
            break;
        case MouseStep::Kind::Press:
            inputs.push_back(mouseInput(MOUSEEVENTF_LEFTDOWN));
            break;
        case MouseStep::Kind::Release:
            inputs.push_back(mouseInput(MOUSEEVENTF_LEFTUP));
            break;
        }
    }
    SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

Point pointer()
{
    POINT at{};
    GetCursorPos(&at);
    return {at.x, at.y};
}

} // namespace screen
