// What only the Win32 runtime's controls show: their window classes and styles, the platform's
// frame and icon, and fonts that fall back to the platform's message font. The cases every
// runtime shares are in runtime/ControlsTest.cpp.

#include "runtime/Controls.h"

#include "runtime/Screen.h"

#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include <windows.h>

using runtime::controls;
using runtime::PixelRect;

namespace {

HWND hwndOf(runtime::Window &window)
{
    return reinterpret_cast<HWND>(window.handle());
}

// The update window's size and background, as its layout gives them.
std::unique_ptr<runtime::Window> designWindow()
{
    auto window = controls().createWindow();
    window->setClientSize(5430, 990);
    window->setBackColor({224, 224, 224});
    return window;
}

// The children of window of a Win32 class, in creation order (their identifiers grow).
std::vector<HWND> childrenOf(runtime::Window &window, const wchar_t *className)
{
    std::vector<HWND> found;
    for (HWND child = GetWindow(hwndOf(window), GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t name[64] = {};
        GetClassNameW(child, name, 64);
        if (_wcsicmp(name, className) == 0)
            found.push_back(child);
    }
    std::sort(found.begin(), found.end(),
              [](HWND a, HWND b) { return GetDlgCtrlID(a) < GetDlgCtrlID(b); });
    return found;
}

std::wstring faceOf(HWND control)
{
    auto font = reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0));
    LOGFONTW logical{};
    GetObjectW(font, sizeof(logical), &logical);
    return logical.lfFaceName;
}

} // namespace

TEST(Win32Window, HasAFixedFrameOfThePlatformAnIconAndCommonControls)
{
    auto window = designWindow();
    const HWND hwnd = hwndOf(*window);
    const double scale = screen::scaleOf(*window);
    RECT client{};
    GetClientRect(hwnd, &client);
    EXPECT_EQ(client.right, std::lround(362 * scale)) << "logical pixels scaled by the DPI";
    EXPECT_EQ(client.bottom, std::lround(66 * scale));
    const LONG_PTR style = GetWindowLongPtrW(hwnd, GWL_STYLE);
    EXPECT_EQ(style & WS_CAPTION, WS_CAPTION);
    EXPECT_EQ(style & (WS_THICKFRAME | WS_MAXIMIZEBOX), 0) << "a fixed frame";
    EXPECT_GT(window->framePixels().width, 362) << "the platform's frame lies around the client";

    window->setIcon(screen::pngOf(32, 32, [](int, int) { return runtime::Color{255, 255, 0}; }));
    EXPECT_NE(SendMessageW(hwnd, WM_GETICON, ICON_BIG, 0), 0);

    auto label = controls().createLabel(*window);
    label->setCentred(true);
    label->setAutoSize(true);
    label->setCaption("Korvane.exe");
    auto bar = controls().createProgressBar(*window);
    const HWND labelChild = childrenOf(*window, L"STATIC").at(0);
    EXPECT_EQ(GetWindowLongPtrW(labelChild, GWL_STYLE) & SS_TYPEMASK, SS_CENTER);
    EXPECT_EQ(childrenOf(*window, L"msctls_progress32").size(), 1U);
}

TEST(Win32Window, ControlsTakeTheWindowsFontAndAMissingFamilyFallsBackToTheMessageFont)
{
    auto window = designWindow();
    auto plain = controls().createLabel(*window);
    auto bold = controls().createLabel(*window);
    bold->setFont({"DejaVu Sans", 12, true});
    window->setFont({"Refitor No Such Family", 8.25, false});
    const HWND plainLabel = childrenOf(*window, L"STATIC").at(0);
    const HWND boldLabel = childrenOf(*window, L"STATIC").at(1);

    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof(metrics);
    SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0,
                               GetDpiForWindow(hwndOf(*window)));
    EXPECT_EQ(faceOf(plainLabel), std::wstring(metrics.lfMessageFont.lfFaceName))
        << "a family the system lacks becomes the platform's message font";
    LOGFONTW logical{};
    GetObjectW(reinterpret_cast<HFONT>(SendMessageW(plainLabel, WM_GETFONT, 0, 0)), sizeof(logical),
               &logical);
    EXPECT_EQ(logical.lfHeight, -std::lround(8.25 * GetDpiForWindow(hwndOf(*window)) / 72.0))
        << "at the layout's size";
    EXPECT_EQ(faceOf(boldLabel), L"DejaVu Sans") << "a control's own font is kept";
}
