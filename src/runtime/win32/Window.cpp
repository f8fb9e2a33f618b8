#include "Window.h"

#include "Controls.h"
#include "Unicode.h"
#include "WindowClass.h"
#include "runtime/RuntimeError.h"
#include "runtime/Statement.h"
#include "runtime/Twips.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <windowsx.h>

namespace runtime::win32 {

namespace {

constexpr UINT kInvokeLater = WM_APP + 1;
// The platform's frame: a caption with the system menu and a minimise button, no sizing border.
constexpr DWORD kFramedStyle =
    WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
// A skin's frame: no caption of the platform's, yet still a window with a system menu and a
// taskbar button that the window manager can close.
constexpr DWORD kSkinnedStyle = WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;

ATOM windowClass(WNDPROC procedure)
{
    static const ATOM atom = windowclass::registerOnce(windowclass::kWindow, procedure, CS_DBLCLKS);
    return atom;
}

bool gdiFamilyExists(const std::wstring &family)
{
    if (family.empty() || family.size() >= LF_FACESIZE)
        return false;
    LOGFONTW wanted{};
    wanted.lfCharSet = DEFAULT_CHARSET;
    wcsncpy_s(wanted.lfFaceName, LF_FACESIZE, family.c_str(), _TRUNCATE);
    const WindowDc screen(nullptr);
    bool found = false;
    EnumFontFamiliesExW(
        screen.get(), &wanted,
        [](const LOGFONTW *, const TEXTMETRICW *, DWORD, LPARAM data) -> int {
            *reinterpret_cast<bool *>(data) = true;
            return 0;
        },
        reinterpret_cast<LPARAM>(&found), 0);
    return found;
}

} // namespace

HFONT createFont(const FontSpec &font, unsigned dpi)
{
    LOGFONTW logical = messageFont(dpi);
    const std::wstring family = utf16FromUtf8(font.family);
    // A layout's family the system lacks (MS Sans Serif is a bitmap font that many systems no
    // longer have) falls back to the platform's message font, at the layout's size.
    if (gdiFamilyExists(family))
        wcsncpy_s(logical.lfFaceName, LF_FACESIZE, family.c_str(), _TRUNCATE);
    logical.lfHeight = -static_cast<LONG>(std::lround(font.pointSize * dpi / 72.0));
    logical.lfWidth = 0;
    logical.lfWeight = font.bold ? FW_BOLD : FW_NORMAL;
    logical.lfItalic = FALSE;
    logical.lfUnderline = FALSE;
    logical.lfStrikeOut = FALSE;
    return CreateFontIndirectW(&logical);
}

Win32Window::Win32Window()
{
    // Per-monitor aware whatever the process declares, so that the window is drawn at each
    // screen's own scale and stays sharp; its children follow it.
    const DPI_AWARENESS_CONTEXT previous =
        SetThreadDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    CreateWindowExW(0, MAKEINTATOM(windowClass(&procedure)), L"", kFramedStyle, CW_USEDEFAULT,
                    CW_USEDEFAULT, 100, 100, nullptr, nullptr, GetModuleHandleW(nullptr), this);
    if (previous != nullptr)
        SetThreadDpiAwarenessContext(previous);
    if (m_hwnd == nullptr)
        throw RuntimeError(ErrorKind::Unavailable, "no window can be made without a window system");
    m_dpi = std::max(1U, GetDpiForWindow(m_hwnd));
    rebuildFonts();
    applySize(false);
}

Win32Window::~Win32Window()
{
    *m_alive = false;
    for (ControlBase *control : m_controls)
        control->windowGone();
    SetWindowLongPtrW(m_hwnd, GWLP_USERDATA, 0);
    DestroyWindow(m_hwnd);
    if (m_bigIcon != nullptr)
        DestroyIcon(m_bigIcon);
    if (m_smallIcon != nullptr)
        DestroyIcon(m_smallIcon);
}

Win32Window *Win32Window::fromHandle(HWND handle) noexcept
{
    if (handle == nullptr || !IsWindow(handle))
        return nullptr;
    DWORD process = 0;
    GetWindowThreadProcessId(handle, &process);
    if (process != GetCurrentProcessId() ||
        GetClassLongPtrW(handle, GCW_ATOM) != static_cast<ULONG_PTR>(windowClass(&procedure)))
        return nullptr;
    return reinterpret_cast<Win32Window *>(GetWindowLongPtrW(handle, GWLP_USERDATA));
}

Win32Window &win32Window(Window &window)
{
    auto *ours = dynamic_cast<Win32Window *>(&window);
    if (ours == nullptr)
        throw RuntimeError(ErrorKind::Refused, "the window is not one of this runtime's");
    return *ours;
}

LRESULT CALLBACK Win32Window::procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        // The object learns its handle before CreateWindowExW returns: the first messages
        // already need it.
        auto *create = reinterpret_cast<CREATESTRUCTW *>(lParam);
        if (auto *self = static_cast<Win32Window *>(create->lpCreateParams)) {
            self->m_hwnd = hwnd;
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        }
    }
    auto *self = reinterpret_cast<Win32Window *>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self == nullptr)
        return DefWindowProcW(hwnd, message, wParam, lParam);
    return self->handleMessage(message, wParam, lParam);
}

std::string Win32Window::Caption() const
{
    const int length = GetWindowTextLengthW(m_hwnd);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(m_hwnd, text.data(), length + 1)));
    return utf8FromUtf16(text);
}

void Win32Window::setCaption(const std::string &caption)
{
    SetWindowTextW(m_hwnd, utf16FromUtf8(caption).c_str());
}

void Win32Window::setClientSize(int widthTwips, int heightTwips)
{
    m_clientWidth = std::max(0, twipsToPixels(widthTwips));
    m_clientHeight = std::max(0, twipsToPixels(heightTwips));
    applySize(false);
}

PixelRect Win32Window::clientPixels() const
{
    return {0, 0, m_clientWidth, m_clientHeight};
}

PixelRect Win32Window::framePixels() const
{
    if (m_skin) {
        const PreparedLook &look = *m_skin->look;
        const int border = look.frame.borderWidth;
        return {0, 0, m_clientWidth + 2 * border, m_clientHeight + 2 * border + look.title.height};
    }
    RECT outer{};
    GetWindowRect(m_hwnd, &outer);
    const double factor = scale().factor();
    return {0, 0, static_cast<int>(std::lround((outer.right - outer.left) / factor)),
            static_cast<int>(std::lround((outer.bottom - outer.top) / factor))};
}

void Win32Window::setBackColor(Color color)
{
    m_backColor = color;
    backdropChanged();
}

Color Win32Window::backColor() const
{
    return m_backColor;
}

void Win32Window::setFont(const FontSpec &font)
{
    m_fontSpec = font;
    rebuildFonts();
}

void Win32Window::setIcon(std::string_view png)
{
    const std::unique_ptr<Gdiplus::Bitmap> picture = decodePng(png);
    HICON icon = nullptr;
    if (!picture || picture->GetHICON(&icon) != Gdiplus::Ok || icon == nullptr)
        throw RuntimeError(ErrorKind::Refused, "the window's icon is not a PNG image");
    // The same picture serves both sizes; the system scales it for the title bar.
    HICON small = CopyIcon(icon);
    SendMessageW(m_hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
    SendMessageW(m_hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
    if (m_bigIcon != nullptr)
        DestroyIcon(m_bigIcon);
    if (m_smallIcon != nullptr)
        DestroyIcon(m_smallIcon);
    m_bigIcon = icon;
    m_smallIcon = small;
}

WindowHandle Win32Window::handle() const
{
    return reinterpret_cast<WindowHandle>(m_hwnd);
}

void Win32Window::show()
{
    if (!m_shown) {
        m_shown = true;
        MONITORINFO monitor{};
        monitor.cbSize = sizeof(monitor);
        RECT outer{};
        GetWindowRect(m_hwnd, &outer);
        if (GetMonitorInfoW(MonitorFromWindow(m_hwnd, MONITOR_DEFAULTTOPRIMARY), &monitor)) {
            const RECT &work = monitor.rcWork;
            const int width = outer.right - outer.left;
            const int height = outer.bottom - outer.top;
            SetWindowPos(m_hwnd, nullptr, work.left + (work.right - work.left - width) / 2,
                         work.top + (work.bottom - work.top - height) / 2, 0, 0,
                         SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        }
    }
    ShowWindow(m_hwnd, SW_SHOW);
    UpdateWindow(m_hwnd);
}

void Win32Window::hide()
{
    ShowWindow(m_hwnd, SW_HIDE);
}

bool Win32Window::isVisible() const
{
    return IsWindowVisible(m_hwnd) != FALSE;
}

void Win32Window::onClose(std::function<void()> handler)
{
    m_onClose = std::move(handler);
}

void Win32Window::invokeLater(std::function<void()> action)
{
    m_later.push_back(std::move(action));
    // One message for each action: posted messages keep their order, and go with the window.
    if (!PostMessageW(m_hwnd, kInvokeLater, 0, 0))
        m_later.pop_back();
}

void Win32Window::runLater()
{
    if (m_later.empty())
        return;
    const std::function<void()> action = std::move(m_later.front());
    m_later.pop_front();
    callHandler(action, "deferred action");
}

void Win32Window::setTabOrder(const std::vector<Control *> &order)
{
    m_tabOrder.clear();
    for (Control *control : order) {
        auto *ours = dynamic_cast<ControlBase *>(control);
        if (ours != nullptr && ours->child() != nullptr && ours->takesFocus())
            m_tabOrder.push_back(ours);
    }
}

void Win32Window::setFocus(Control &control)
{
    auto *ours = dynamic_cast<ControlBase *>(&control);
    if (ours == nullptr || ours->child() == nullptr || !ours->takesFocus() || !ours->shown())
        return;
    m_focus = ours->child();
    // A window that is not active gives the control the focus when it next becomes active.
    if (GetActiveWindow() == m_hwnd)
        ::SetFocus(m_focus);
}

void Win32Window::focusNext(HWND child, bool backwards) noexcept
{
    const auto count = static_cast<std::ptrdiff_t>(m_tabOrder.size());
    if (count == 0)
        return;
    std::ptrdiff_t at = backwards ? count : -1;
    for (std::ptrdiff_t i = 0; i < count; ++i) {
        if (m_tabOrder[static_cast<std::size_t>(i)]->child() == child)
            at = i;
    }
    for (std::ptrdiff_t step = 1; step <= count; ++step) {
        const std::ptrdiff_t next = ((at + (backwards ? -step : step)) % count + count) % count;
        const HWND candidate = m_tabOrder[static_cast<std::size_t>(next)]->child();
        if (candidate != nullptr && (GetWindowLongPtrW(candidate, GWL_STYLE) & WS_VISIBLE) &&
            IsWindowEnabled(candidate)) {
            ::SetFocus(candidate);
            return;
        }
    }
}

void Win32Window::focusTaken(HWND child) noexcept
{
    m_focus = child;
}

void Win32Window::addControl(ControlBase &control) noexcept
{
    m_controls.push_back(&control);
}

void Win32Window::removeControl(ControlBase &control) noexcept
{
    std::erase(m_controls, &control);
    std::erase(m_tabOrder, &control);
    if (control.child() != nullptr && control.child() == m_focus)
        m_focus = nullptr;
}

ControlBase *Win32Window::controlOf(HWND child) const noexcept
{
    for (ControlBase *control : m_controls) {
        if (control->child() == child)
            return control;
    }
    return nullptr;
}

HWND Win32Window::createChild(const wchar_t *className, DWORD style, DWORD exStyle)
{
    static int nextId = 1000;
    HWND child =
        CreateWindowExW(exStyle, className, L"", WS_CHILD | WS_CLIPSIBLINGS | style, 0, 0, 0, 0,
                        m_hwnd, reinterpret_cast<HMENU>(static_cast<INT_PTR>(nextId++)),
                        GetModuleHandleW(nullptr), nullptr);
    if (child == nullptr)
        throw RuntimeError("the control could not be made");
    SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(m_font.get()), FALSE);
    return child;
}

RECT Win32Window::deviceRect(const PixelRect &logical) const
{
    return scale().rect(logical.left, logical.top, logical.width, logical.height);
}

SIZE Win32Window::clientDeviceSize() const
{
    return {scale().px(m_clientWidth), scale().px(m_clientHeight)};
}

void Win32Window::applySize(bool keepCentre)
{
    const SIZE client = clientDeviceSize();
    RECT outer{0, 0, client.cx, client.cy};
    if (m_skin) {
        const RECT insets = frameInsets();
        outer.right += insets.left + insets.right;
        outer.bottom += insets.top + insets.bottom;
    } else {
        AdjustWindowRectExForDpi(&outer, static_cast<DWORD>(GetWindowLongPtrW(m_hwnd, GWL_STYLE)),
                                 FALSE, static_cast<DWORD>(GetWindowLongPtrW(m_hwnd, GWL_EXSTYLE)),
                                 m_dpi);
    }
    const int width = outer.right - outer.left;
    const int height = outer.bottom - outer.top;
    RECT now{};
    GetWindowRect(m_hwnd, &now);
    UINT flags = SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED;
    int left = now.left;
    int top = now.top;
    if (keepCentre) {
        // The frame grows about the window's centre, so a centred window stays centred.
        left = (now.left + now.right) / 2 - width / 2;
        top = (now.top + now.bottom) / 2 - height / 2;
    } else {
        flags |= SWP_NOMOVE;
    }
    SetWindowPos(m_hwnd, nullptr, left, top, width, height, flags);
}

void Win32Window::rebuildFonts()
{
    // The previous font goes only once every control has taken the new one.
    const GdiObject<HFONT> previous = std::move(m_font);
    if (m_fontSpec) {
        m_font.reset(createFont(*m_fontSpec, m_dpi));
    } else {
        const LOGFONTW message = messageFont(m_dpi);
        m_font.reset(CreateFontIndirectW(&message));
    }
    for (ControlBase *control : m_controls)
        control->windowFontChanged();
    InvalidateRect(m_hwnd, nullptr, FALSE);
}

void Win32Window::dpiChanged(unsigned dpi, const RECT &suggested)
{
    m_dpi = std::max(1U, dpi);
    SetWindowPos(m_hwnd, nullptr, suggested.left, suggested.top, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    // The size follows from the client area and the frame at the new scale, not from the
    // suggestion, which scales the old outer size and may be a pixel off.
    applySize(false);
    rebuildFonts();
    for (ControlBase *control : m_controls)
        control->dpiChanged();
    m_backdropValid = false;
    RedrawWindow(m_hwnd, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_FRAME | RDW_ERASE | RDW_ALLCHILDREN);
}

void Win32Window::setSkin(SkinState state)
{
    const bool framed = !m_skin;
    m_skin = std::move(state);
    m_closeHover = false;
    m_closePressed = false;
    if (framed) {
        const auto style = static_cast<DWORD>(GetWindowLongPtrW(m_hwnd, GWL_STYLE));
        SetWindowLongPtrW(m_hwnd, GWL_STYLE,
                          static_cast<LONG_PTR>((style & WS_VISIBLE) | kSkinnedStyle));
        SetWindowLongPtrW(m_hwnd, GWL_EXSTYLE, WS_EX_APPWINDOW);
    }
    applySize(true);
    for (ControlBase *control : m_controls)
        control->skinChanged();
    m_backdropValid = false;
    RedrawWindow(m_hwnd, nullptr, nullptr,
                 RDW_INVALIDATE | RDW_FRAME | RDW_ERASE | RDW_ALLCHILDREN);
}

std::optional<std::pair<Color, Color>> Win32Window::plainColors() const
{
    if (!m_skin || !m_skin->settings.applyColors)
        return std::nullopt;
    return std::pair{m_skin->settings.backColor, m_skin->settings.foreColor};
}

HBRUSH Win32Window::solidBrush(Color color)
{
    const COLORREF key = colorRef(color);
    if (const auto found = m_brushes.find(key); found != m_brushes.end())
        return found->second.get();
    return m_brushes.emplace(key, GdiObject<HBRUSH>(CreateSolidBrush(key))).first->second.get();
}

HBRUSH Win32Window::backdropBrush(HDC dc, POINT origin)
{
    ensureBackdrop();
    if (!m_backdropBrush && m_backdrop)
        m_backdropBrush.reset(CreatePatternBrush(m_backdrop.get()));
    SetBrushOrgEx(dc, -origin.x, -origin.y, nullptr);
    return m_backdropBrush.get();
}

void Win32Window::backdropChanged() noexcept
{
    m_backdropValid = false;
    RedrawWindow(m_hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN);
}

void Win32Window::repaint(const PixelRect &logical) noexcept
{
    const RECT area = deviceRect(logical);
    InvalidateRect(m_hwnd, &area, FALSE);
}

void Win32Window::ensureBackdrop()
{
    RECT client{};
    GetClientRect(m_hwnd, &client);
    const SIZE size{std::max<LONG>(1, client.right), std::max<LONG>(1, client.bottom)};
    if (m_backdropValid && m_backdrop && size.cx == m_backdropSize.cx &&
        size.cy == m_backdropSize.cy)
        return;
    m_backdropBrush.reset();
    if (!m_backdrop || size.cx != m_backdropSize.cx || size.cy != m_backdropSize.cy) {
        m_backdrop.reset();
        const WindowDc screen(m_hwnd);
        m_backdrop.reset(createCanvas(screen.get(), size.cx, size.cy));
        m_backdropSize = size;
    }
    if (!m_backdrop)
        return;
    const MemoryDc memory(nullptr);
    const Selection selected(memory.get(), m_backdrop.get());
    HDC dc = memory.get();
    const RECT all{0, 0, size.cx, size.cy};
    FillRect(dc, &all, solidBrush(m_backColor));
    if (m_skin) {
        const PreparedLook &look = *m_skin->look;
        Gdiplus::Graphics graphics(dc);
        if (m_skin->settings.skinClientArea)
            paintFill(graphics, all, look.client, 0, scale());
        // The frame's inner line runs just inside its border, along the client area's edges;
        // the title bar covers it at the top.
        const int line = scale().line(1);
        if (look.frame.innerBorderColor) {
            const Gdiplus::SolidBrush brush(gdiplusColor(*look.frame.innerBorderColor));
            graphics.FillRectangle(&brush, 0, 0, line, size.cy);
            graphics.FillRectangle(&brush, size.cx - line, 0, line, size.cy);
            graphics.FillRectangle(&brush, 0, size.cy - line, size.cx, line);
        }
    }
    for (ControlBase *control : m_controls)
        control->paintBeneath(dc);
    m_backdropValid = true;
}

void Win32Window::paintBackdrop(HDC dc, const RECT &area)
{
    ensureBackdrop();
    if (!m_backdrop)
        return;
    const MemoryDc source(nullptr);
    const Selection selected(source.get(), m_backdrop.get());
    BitBlt(dc, 0, 0, area.right - area.left, area.bottom - area.top, source.get(), area.left,
           area.top, SRCCOPY);
}

void Win32Window::paintClient(HDC dc)
{
    RECT client{};
    GetClientRect(m_hwnd, &client);
    if (client.right <= 0 || client.bottom <= 0)
        return;
    const Canvas canvas(dc, client.right, client.bottom);
    paintBackdrop(canvas.dc(), client);
    for (ControlBase *control : m_controls)
        control->paintAbove(canvas.dc());
    BitBlt(dc, 0, 0, client.right, client.bottom, canvas.dc(), 0, 0, SRCCOPY);
}

void Win32Window::closeRequested()
{
    // The platform frame's button, the window manager, the skin's close button and a close in
    // code all arrive here, so the system hears of each the same way.
    const std::shared_ptr<bool> alive = m_alive;
    callHandler(m_onClose, "close");
    if (!*alive)
        return;
    // Hidden, not destroyed: the handle stays the window's for its whole life.
    ShowWindow(m_hwnd, SW_HIDE);
}

HBRUSH Win32Window::controlColor(UINT message, HDC dc, HWND child)
{
    ControlBase *control = controlOf(child);
    return control != nullptr ? control->colorFor(message, dc) : nullptr;
}

LRESULT Win32Window::handleMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (m_skin) {
        bool handled = false;
        const LRESULT result = skinFrameMessage(message, wParam, lParam, handled);
        if (handled)
            return result;
    }
    switch (message) {
    case WM_CLOSE:
        closeRequested();
        return 0;
    case kInvokeLater:
        runLater();
        return 0;
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT: {
        PAINTSTRUCT paint{};
        HDC dc = BeginPaint(m_hwnd, &paint);
        paintClient(dc);
        EndPaint(m_hwnd, &paint);
        return 0;
    }
    case WM_PRINTCLIENT:
        paintClient(reinterpret_cast<HDC>(wParam));
        return 0;
    case WM_SIZE:
        backdropChanged();
        break;
    case WM_DPICHANGED:
        dpiChanged(HIWORD(wParam), *reinterpret_cast<const RECT *>(lParam));
        return 0;
    case WM_COMMAND:
        if (lParam != 0 && controlOf(reinterpret_cast<HWND>(lParam)) != nullptr) {
            SendMessageW(reinterpret_cast<HWND>(lParam), kReflectedCommand, wParam, lParam);
            return 0;
        }
        break;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
        if (HBRUSH brush = controlColor(message, reinterpret_cast<HDC>(wParam),
                                        reinterpret_cast<HWND>(lParam)))
            return reinterpret_cast<LRESULT>(brush);
        break;
    case WM_ACTIVATE:
        // The control that had the focus when the window was last active gets it back.
        if (LOWORD(wParam) != WA_INACTIVE && m_focus != nullptr && IsWindow(m_focus) &&
            (GetWindowLongPtrW(m_focus, GWL_STYLE) & WS_VISIBLE)) {
            ::SetFocus(m_focus);
            return 0;
        }
        break;
    case WM_SETFOCUS:
        if (m_focus != nullptr && IsWindow(m_focus) &&
            (GetWindowLongPtrW(m_focus, GWL_STYLE) & WS_VISIBLE)) {
            ::SetFocus(m_focus);
            return 0;
        }
        break;
    case WM_KEYDOWN:
        if (wParam == VK_TAB) {
            focusNext(nullptr, GetKeyState(VK_SHIFT) < 0);
            return 0;
        }
        break;
    default:
        break;
    }
    return DefWindowProcW(m_hwnd, message, wParam, lParam);
}

} // namespace runtime::win32
