#pragma once

#include "Gdi.h"
#include "SkinPaint.h"
#include "runtime/ApplicationState.h"
#include "runtime/Controls.h"
#include "runtime/SkinLook.h"

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>
#include <windows.h>

namespace runtime::win32 {

class ControlBase;

/// A WM_COMMAND handed back by the window to the child that sent it, so that each control
/// handles its own notifications.
constexpr UINT kReflectedCommand = WM_APP + 2;

// A handler of the system's must not unwind through the platform's event delivery: it runs
// through the runtime's one caller, which reports a failure on the standard error.
using state::callHandler;

/// UI thread. A layout's font at dpi; a family the system lacks becomes the platform's message
/// font at the layout's size. Null when no font can be made. Never throws.
HFONT createFont(const FontSpec &font, unsigned dpi);

/// What a skin painter leaves on a window: the look it draws and the settings it draws it with.
struct SkinState
{
    std::shared_ptr<const PreparedLook> look;
    SkinSettings settings;
};

/// The Windows runtime's window: a top-level Win32 window that it owns, with a fixed client area
/// in logical pixels scaled by the window's DPI. With a skin, the skin's frame and title bar
/// replace the platform's as the window's non-client area, so the client area and the places of
/// the controls on it stay as they are. UI thread only.
class Win32Window final : public Window
{
public:
    /// UI thread. A hidden window. Throws RuntimeError (Unavailable) when no window can be made.
    Win32Window();
    /// UI thread. Destroys the window without a close, so the close handler does not run.
    ~Win32Window() override;
    Win32Window(const Win32Window &) = delete;
    Win32Window &operator=(const Win32Window &) = delete;

    std::string Caption() const override;
    void setCaption(const std::string &caption) override;
    void setClientSize(int widthTwips, int heightTwips) override;
    PixelRect clientPixels() const override;
    PixelRect framePixels() const override;
    void setBackColor(Color color) override;
    Color backColor() const override;
    void setFont(const FontSpec &font) override;
    void setIcon(std::string_view png) override;
    WindowHandle handle() const override;
    void show() override;
    void hide() override;
    bool isVisible() const override;
    void onClose(std::function<void()> handler) override;
    void invokeLater(std::function<void()> action) override;
    void setTabOrder(const std::vector<Control *> &order) override;
    void setFocus(Control &control) override;

    /// UI thread. The window of handle when it is one of this runtime's in this program, else
    /// null. Never throws.
    static Win32Window *fromHandle(HWND handle) noexcept;

    /// UI thread. The native window, never null. Never throws.
    HWND hwnd() const { return m_hwnd; }
    /// UI thread. The window's DPI as a scale. Never throws.
    DeviceScale scale() const { return {m_dpi}; }
    /// UI thread. A logical place on the client area in device pixels. Never throws.
    RECT deviceRect(const PixelRect &logical) const;
    /// UI thread. The font of controls without their own, at the window's DPI. Never throws.
    HFONT font() const { return m_font.get(); }

    /// UI thread. Makes a child control of a Win32 class on the client area, of no size until
    /// placed, with the window's font. Throws RuntimeError (Failed) when it cannot be made.
    HWND createChild(const wchar_t *className, DWORD style, DWORD exStyle);
    /// UI thread. Control joins or leaves the window's controls, in creation order. Never throw.
    void addControl(ControlBase &control) noexcept;
    void removeControl(ControlBase &control) noexcept;

    /// UI thread. Moves the focus from child (null: from the window) to the next control of the
    /// tab order that can take it, or the previous one. Never throws.
    void focusNext(HWND child, bool backwards) noexcept;
    /// UI thread. Child took the focus; it gets it back when the window is next activated.
    /// Never throws.
    void focusTaken(HWND child) noexcept;

    /// UI thread. The skin drawn on the window, null without one. Never throws.
    const SkinState *skin() const { return m_skin ? &*m_skin : nullptr; }
    /// UI thread. Draws the window with state from now on, the frame included. Never throws
    /// beyond std::bad_alloc.
    void setSkin(SkinState state);
    /// UI thread. The background and text colours of plain controls, when a skin applies its
    /// own. Never throws.
    std::optional<std::pair<Color, Color>> plainColors() const;

    /// UI thread. Paints what lies beneath the windowed controls (background, skinned client
    /// area, shapes) for area, in device pixels of the client area, into dc at dc's origin.
    /// Never throws.
    void paintBackdrop(HDC dc, const RECT &area);
    /// UI thread. Something beneath the windowed controls changed: they and the window repaint.
    /// Never throws.
    void backdropChanged() noexcept;
    /// UI thread. Repaints the client area under logical. Never throws.
    void repaint(const PixelRect &logical) noexcept;
    /// UI thread. A brush of color, owned by the window. Never throws.
    HBRUSH solidBrush(Color color);
    /// UI thread. A brush that shows the backdrop through a child at origin (device pixels of
    /// the client area); it sets dc's brush origin. Null when there is none. Never throws.
    HBRUSH backdropBrush(HDC dc, POINT origin);

    /// UI thread. Where the skin's close button lies, in device pixels of the whole window;
    /// empty without a skin. Never throws.
    RECT closeButtonRect() const;

private:
    static LRESULT CALLBACK procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT handleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT skinFrameMessage(UINT message, WPARAM wParam, LPARAM lParam, bool &handled);
    // The close button's hover, press, slide-off and release, as the platform's own button.
    LRESULT closeButtonMessage(UINT message, WPARAM wParam, LPARAM lParam, bool &handled);
    void closeRequested();
    void runLater();
    void paintClient(HDC dc);
    void paintFrame(HDC windowDc);
    void redrawFrame();
    void setCloseButtonState(bool hover, bool pressed);
    LRESULT hitTest(POINT screen) const;
    void ensureBackdrop();
    void applySize(bool keepCentre);
    SIZE clientDeviceSize() const;
    RECT frameInsets() const;
    void rebuildFonts();
    void dpiChanged(unsigned dpi, const RECT &suggested);
    ControlBase *controlOf(HWND child) const noexcept;
    HBRUSH controlColor(UINT message, HDC dc, HWND child);

    HWND m_hwnd = nullptr;
    unsigned m_dpi = 96;
    // The client area's fixed size in logical pixels.
    int m_clientWidth = 0;
    int m_clientHeight = 0;
    Color m_backColor{240, 240, 240};
    std::optional<FontSpec> m_fontSpec;
    GdiObject<HFONT> m_font;
    HICON m_bigIcon = nullptr;
    HICON m_smallIcon = nullptr;
    bool m_shown = false;
    std::function<void()> m_onClose;
    std::deque<std::function<void()>> m_later;
    std::vector<ControlBase *> m_controls;
    std::vector<ControlBase *> m_tabOrder;
    HWND m_focus = nullptr;
    std::optional<SkinState> m_skin;
    bool m_closeHover = false;
    bool m_closePressed = false;
    bool m_trackingLeave = false;
    GdiObject<HBITMAP> m_backdrop;
    SIZE m_backdropSize{};
    bool m_backdropValid = false;
    GdiObject<HBRUSH> m_backdropBrush;
    std::map<COLORREF, GdiObject<HBRUSH>> m_brushes;
    // Cleared when the object goes, so that code running inside one of its handlers (a close
    // handler may destroy its own window) can tell.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

/// UI thread. The window of this runtime behind window. Throws RuntimeError (Refused) for a
/// window of another kind.
Win32Window &win32Window(Window &window);

/// UI thread. A Win32 colour. Never throws.
inline COLORREF colorRef(Color color)
{
    return RGB(color.r, color.g, color.b);
}

} // namespace runtime::win32
