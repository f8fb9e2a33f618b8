#include "Gdi.h"
#include "SkinPaint.h"
#include "Window.h"
#include "runtime/SkinLayout.h"

#include <algorithm>
#include <string>
#include <windowsx.h>

// The skinned window's own frame, as Qt's runtime keeps it in qt/SkinDecoration.cpp: its border
// and title bar, the close button's look and states, where a point falls (hit-testing), and the
// non-client messages that drive them. The rest of the window lives in Window.cpp.
namespace runtime::win32 {

RECT Win32Window::frameInsets() const
{
    if (!m_skin)
        return {};
    const PreparedLook &look = *m_skin->look;
    const int border = scale().px(look.frame.borderWidth);
    return {border, border + scale().px(look.title.height), border, border};
}

RECT Win32Window::closeButtonRect() const
{
    if (!m_skin)
        return {};
    const PreparedLook &look = *m_skin->look;
    const RECT insets = frameInsets();
    // Laid out in logical pixels, then scaled whole, as the button is drawn.
    const layout::Box box =
        layout::closeButton(m_clientWidth, look.title.height, look.closeButton.size);
    const RECT button = scale().rect(box.left, box.top, box.width, box.height);
    return {insets.left + button.left, insets.left + button.top, insets.left + button.right,
            insets.left + button.bottom};
}

void Win32Window::paintFrame(HDC windowDc)
{
    if (!m_skin)
        return;
    requireGdiPlus();
    const PreparedLook &look = *m_skin->look;
    const DeviceScale deviceScale = scale();
    RECT outer{};
    GetWindowRect(m_hwnd, &outer);
    const int width = outer.right - outer.left;
    const int height = outer.bottom - outer.top;
    const RECT insets = frameInsets();
    const SIZE client = clientDeviceSize();
    const int border = insets.left;

    const Canvas canvas(windowDc, width, height);
    {
        Gdiplus::Graphics graphics(canvas.dc());
        paintBorder(graphics, {0, 0, width, height}, look.frame.borderColor, border, 0);
        const RECT title{border, border, border + client.cx, insets.top};
        paintFill(graphics, title, look.title.background, 0, deviceScale);

        const RECT button = closeButtonRect();
        const bool down = m_closePressed && m_closeHover;
        const double radius = look.closeButton.cornerRadius * deviceScale.factor();
        paintFill(graphics, button,
                  down           ? look.closeButton.pressedBackground
                  : m_closeHover ? look.closeButton.hoverBackground
                                 : look.closeButton.background,
                  radius, deviceScale);
        paintBorder(graphics, button, look.closeButton.borderColor, deviceScale.line(1), radius);
        // The cross is two strokes scaled to the button, as sharp at any scale.
        const double side = button.right - button.left;
        const double inset = side * 0.3;
        Gdiplus::Pen pen(gdiplusColor(m_closeHover ? look.closeButton.hoverGlyphColor
                                                   : look.closeButton.glyphColor),
                         static_cast<Gdiplus::REAL>(std::max(1.0, side / 9.0)));
        pen.SetStartCap(Gdiplus::LineCapRound);
        pen.SetEndCap(Gdiplus::LineCapRound);
        graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
        graphics.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHalf);
        const auto left = static_cast<Gdiplus::REAL>(button.left + inset);
        const auto top = static_cast<Gdiplus::REAL>(button.top + inset);
        const auto right = static_cast<Gdiplus::REAL>(button.right - inset);
        const auto bottom = static_cast<Gdiplus::REAL>(button.bottom - inset);
        graphics.DrawLine(&pen, left, top, right, bottom);
        graphics.DrawLine(&pen, right, top, left, bottom);

        // In device pixels, each of the skin's lengths scaled on its own, from the button as
        // drawn.
        const layout::Box box = layout::caption(
            title.right - title.left, title.bottom - title.top, button.left - title.left,
            deviceScale.px(look.title.indent), deviceScale.px(look.title.indent / 2),
            look.title.align == look::Alignment::Center);
        const RECT textRect{title.left + box.left, title.top + box.top, title.left + box.right(),
                            title.top + box.bottom()};
        const int length = GetWindowTextLengthW(m_hwnd);
        std::wstring caption(static_cast<std::size_t>(length) + 1, L'\0');
        caption.resize(
            static_cast<std::size_t>(GetWindowTextW(m_hwnd, caption.data(), length + 1)));
        paintText(graphics, textRect, caption, look.title.font, look.title.textColor,
                  look.title.align, deviceScale);
    }
    // Only the frame: the client area paints itself.
    ExcludeClipRect(windowDc, insets.left, insets.top, insets.left + client.cx,
                    insets.top + client.cy);
    BitBlt(windowDc, 0, 0, width, height, canvas.dc(), 0, 0, SRCCOPY);
}

void Win32Window::redrawFrame()
{
    RedrawWindow(m_hwnd, nullptr, nullptr, RDW_FRAME | RDW_INVALIDATE | RDW_UPDATENOW);
}

void Win32Window::setCloseButtonState(bool hover, bool pressed)
{
    if (hover == m_closeHover && pressed == m_closePressed)
        return;
    m_closeHover = hover;
    m_closePressed = pressed;
    redrawFrame();
}

LRESULT Win32Window::hitTest(POINT screen) const
{
    RECT outer{};
    GetWindowRect(m_hwnd, &outer);
    const POINT at{screen.x - outer.left, screen.y - outer.top};
    const RECT insets = frameInsets();
    const SIZE client = clientDeviceSize();
    const RECT clientArea{insets.left, insets.top, insets.left + client.cx, insets.top + client.cy};
    if (PtInRect(&clientArea, at))
        return HTCLIENT;
    const RECT button = closeButtonRect();
    if (PtInRect(&button, at))
        return HTCLOSE;
    const RECT title{insets.left, insets.left, insets.left + client.cx, insets.top};
    if (PtInRect(&title, at))
        return HTCAPTION;
    return PtInRect(&outer, screen) ? HTBORDER : HTNOWHERE;
}

LRESULT Win32Window::skinFrameMessage(UINT message, WPARAM wParam, LPARAM lParam, bool &handled)
{
    handled = true;
    switch (message) {
    case WM_NCCALCSIZE: {
        const RECT insets = frameInsets();
        RECT *proposed = wParam ? &reinterpret_cast<NCCALCSIZE_PARAMS *>(lParam)->rgrc[0]
                                : reinterpret_cast<RECT *>(lParam);
        proposed->left += insets.left;
        proposed->top += insets.top;
        proposed->right -= insets.right;
        proposed->bottom -= insets.bottom;
        return 0;
    }
    case WM_NCPAINT: {
        const WindowDc dc(m_hwnd, WindowDc::Area::Whole);
        paintFrame(dc.get());
        return 0;
    }
    case WM_NCACTIVATE: {
        // -1: the platform keeps its own frame's painting to itself.
        const LRESULT result = DefWindowProcW(m_hwnd, message, wParam, -1);
        redrawFrame();
        return result;
    }
    case WM_NCHITTEST:
        return hitTest({GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)});
    case WM_SETTEXT: {
        const LRESULT result = DefWindowProcW(m_hwnd, message, wParam, lParam);
        redrawFrame();
        return result;
    }
    case WM_PRINT:
        if (lParam & PRF_NONCLIENT)
            paintFrame(reinterpret_cast<HDC>(wParam));
        return DefWindowProcW(m_hwnd, message, wParam, lParam & ~PRF_NONCLIENT);
    default:
        return closeButtonMessage(message, wParam, lParam, handled);
    }
}

LRESULT Win32Window::closeButtonMessage(UINT message, WPARAM wParam, LPARAM lParam, bool &handled)
{
    handled = true;
    switch (message) {
    case WM_NCMOUSEMOVE:
        if (!m_trackingLeave) {
            TRACKMOUSEEVENT track{sizeof(track), TME_LEAVE | TME_NONCLIENT, m_hwnd, 0};
            m_trackingLeave = TrackMouseEvent(&track) != FALSE;
        }
        setCloseButtonState(wParam == HTCLOSE, m_closePressed);
        if (wParam == HTCLOSE)
            return 0;
        break;
    case WM_NCMOUSELEAVE:
        m_trackingLeave = false;
        if (!m_closePressed)
            setCloseButtonState(false, false);
        return 0;
    case WM_NCLBUTTONDOWN:
        if (wParam != HTCLOSE)
            break;
        // As with the platform's own button: the close comes at the release over the button.
        SetCapture(m_hwnd);
        setCloseButtonState(true, true);
        return 0;
    case WM_NCLBUTTONDBLCLK:
        if (wParam == HTCLOSE)
            return 0;
        break;
    case WM_MOUSEMOVE:
        if (!m_closePressed)
            break;
        {
            POINT at{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
            ClientToScreen(m_hwnd, &at);
            setCloseButtonState(hitTest(at) == HTCLOSE, true);
        }
        return 0;
    case WM_LBUTTONUP:
        if (!m_closePressed)
            break;
        {
            POINT at{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
            ClientToScreen(m_hwnd, &at);
            const bool over = hitTest(at) == HTCLOSE;
            m_closePressed = false;
            ReleaseCapture();
            setCloseButtonState(over, false);
            // Pressing and then sliding off cancels; a release over the button closes through
            // the window's own close path.
            if (over)
                SendMessageW(m_hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
        }
        return 0;
    case WM_CAPTURECHANGED:
        if (m_closePressed)
            setCloseButtonState(false, false);
        break;
    default:
        break;
    }
    handled = false;
    return 0;
}

} // namespace runtime::win32
