#pragma once

#include "Gdi.h"
#include "SkinPaint.h"
#include "Window.h"
#include "runtime/Controls.h"
#include "runtime/RuntimeError.h"
#include "runtime/Twips.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>
#include <windows.h>

// The Windows runtime's controls. A windowed control owns one Win32 child of its window and
// destroys it when it goes; the shape and the skin labels are drawn by the window itself, as
// graphical controls are, beneath and among the windowed ones. UI thread only.
namespace runtime::win32 {

/// What every control of this runtime is beneath its interface: a place in logical pixels, and a
/// Win32 child (or none, for a control the window draws) that it subclasses.
class ControlBase
{
public:
    /// UI thread. Joins window's controls; child may be null for a control the window draws,
    /// and window null for a face that belongs to no window.
    ControlBase(Win32Window *window, HWND child);
    /// UI thread. Leaves the window and destroys the child, unless the window already did.
    virtual ~ControlBase();
    ControlBase(const ControlBase &) = delete;
    ControlBase &operator=(const ControlBase &) = delete;

    /// UI thread. The child, null for a control the window draws or once the child is gone.
    /// Never throws.
    HWND child() const { return m_child; }
    /// UI thread. The window was destroyed first, against the factory's rule. Never throws.
    void windowGone() noexcept { m_window = nullptr; }

    /// UI thread. Places the control at logical pixels on the client area. Never throws.
    void place(const PixelRect &logical);
    /// UI thread. Where the control is, in logical pixels of the client area. Never throws.
    const PixelRect &logical() const { return m_logical; }
    /// UI thread. Whether the control is not hidden. Never throws.
    bool shown() const;
    /// UI thread. Shows or hides the control. Never throws.
    void show(bool visible);
    /// UI thread. Sets the control's own font; the window's until then. Never throws.
    void useFont(const FontSpec &font);
    /// UI thread. The font the control draws with. Never throws.
    HFONT currentFont() const;

    /// UI thread. The window's DPI changed: the control takes its place and font anew.
    /// Never throws.
    virtual void dpiChanged();
    /// UI thread. The window's font changed. Never throws.
    virtual void windowFontChanged();
    /// UI thread. The window's skin changed. Never throws.
    virtual void skinChanged();
    /// UI thread. Draws a control that lies beneath the windowed ones into the backdrop (device
    /// pixels of the client area). Never throws.
    virtual void paintBeneath(HDC dc);
    /// UI thread. Draws a control that the window draws among the windowed ones. Never throws.
    virtual void paintAbove(HDC dc);
    /// UI thread. The colours of the child for a WM_CTLCOLOR message; null: the platform's.
    /// Never throws.
    virtual HBRUSH colorFor(UINT message, HDC dc);
    /// UI thread. A WM_COMMAND notification the child sent its window. Never throws.
    virtual void command(WORD notification);
    /// UI thread. Whether the control takes the keyboard focus (an input control). Never throws.
    virtual bool takesFocus() const { return false; }

protected:
    /// UI thread. The window. Throws RuntimeError (Unavailable) when it was destroyed before the
    /// control, against the factory's rule.
    Win32Window &window() const;
    /// UI thread. The child. Throws RuntimeError (Unavailable) once it is gone.
    HWND self() const;
    /// UI thread. A message to the child before its own procedure sees it; true: handled, with
    /// result. Never throws.
    virtual bool handleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT &result);
    /// UI thread. The child's size changed, by the control or by someone else. Never throws.
    virtual void resized();
    /// UI thread. Whether the window draws this control beneath the windowed ones (a shape).
    virtual bool beneath() const { return false; }

private:
    static LRESULT CALLBACK subclassProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam,
                                              UINT_PTR id, DWORD_PTR self);
    void applyPlace();
    void syncFromChild();
    void windowlessChanged(const PixelRect &before);

    Win32Window *m_window;
    HWND m_child;
    PixelRect m_logical;
    bool m_visible = true;
    std::optional<FontSpec> m_fontSpec;
    GdiObject<HFONT> m_font;
    int m_placing = 0;
};

/// The calls every control shares, over ControlBase.
template <typename Interface> class ControlOf : public Interface, public ControlBase
{
public:
    /// UI thread. Joins window (null: none) with child (null: drawn by the window, if any).
    ControlOf(Win32Window *window, HWND child) : ControlBase(window, child) {}

    void setPlace(const TwipsRect &twips) override
    {
        place({twipsToPixels(twips.left), twipsToPixels(twips.top), twipsToPixels(twips.width),
               twipsToPixels(twips.height)});
    }
    void move(int leftTwips, int topTwips) override
    {
        place(
            {twipsToPixels(leftTwips), twipsToPixels(topTwips), logical().width, logical().height});
    }
    PixelRect pixels() const override { return logical(); }
    void setVisible(bool visible) override { show(visible); }
    bool isVisible() const override { return shown(); }
    void setFont(const FontSpec &font) override { useFont(font); }
    bool hasFocus() const override { return child() != nullptr && GetFocus() == child(); }
};

/// A label: a STATIC child that can size itself to its text, keeping its left edge.
class Win32Label final : public ControlOf<Label>
{
public:
    /// UI thread. An empty label on window. Throws RuntimeError (Failed) when it cannot be made.
    explicit Win32Label(Win32Window &window);
    std::string Caption() const override;
    void setCaption(const std::string &caption) override;
    void setAutoSize(bool autoSize) override;
    void setCentred(bool centred) override;
    void setBackColor(Color color) override;

    void dpiChanged() override;
    void windowFontChanged() override;
    HBRUSH colorFor(UINT message, HDC dc) override;

private:
    void fit();

    bool m_autoSize = false;
    std::optional<Color> m_backColor;
};

/// A one-line text box: an EDIT child.
class Win32TextBox final : public ControlOf<TextBox>
{
public:
    /// UI thread. Throws RuntimeError (Failed) when it cannot be made.
    explicit Win32TextBox(Win32Window &window);
    bool takesFocus() const override { return true; }
    std::string Text() const override;
    void setText(const std::string &text) override;
};

/// A push button that is never a dialog's default: a BUTTON child.
class Win32CommandButton final : public ControlOf<CommandButton>
{
public:
    /// UI thread. Throws RuntimeError (Failed) when it cannot be made.
    explicit Win32CommandButton(Win32Window &window);
    bool takesFocus() const override { return true; }
    std::string Caption() const override;
    void setCaption(const std::string &caption) override;
    void onClick(std::function<void()> handler) override;
    void command(WORD notification) override;

private:
    std::function<void()> m_onClick;
};

/// A file list: a LISTBOX child filled from the folder, sorted case-insensitively.
class Win32FileListBox final : public ControlOf<FileListBox>
{
public:
    /// UI thread. Lists the current folder with the pattern "*.*". Throws RuntimeError (Failed)
    /// when it cannot be made.
    explicit Win32FileListBox(Win32Window &window);
    bool takesFocus() const override { return true; }
    std::string Path() const override;
    void setPath(const std::string &folder) override;
    std::string Pattern() const override;
    void setPattern(const std::string &pattern) override;
    std::string FileName() const override;
    void setFileName(const std::string &name) override;
    std::vector<std::string> entries() const override;
    void onClick(std::function<void()> handler) override;
    void command(WORD notification) override;

    /// Any thread. Whether name matches a wildcard pattern ('*', '?'), case-insensitively, as
    /// a file list box matches (a pattern "x.*" also takes "x"). Never throws.
    static bool matches(std::wstring_view name, std::wstring_view pattern);
    /// Any thread. A folder without trailing separators unless it is a root, with '\'.
    /// Never throws beyond std::bad_alloc.
    static std::wstring normalizedFolder(std::wstring folder);

private:
    void refresh();
    void selectFileName();

    std::wstring m_path;
    std::wstring m_pattern = L"*.*";
    std::wstring m_fileName;
    std::function<void()> m_onClick;
};

/// A shape: an outline the window draws beneath its windowed controls.
class Win32Shape final : public ControlOf<Shape>
{
public:
    /// UI thread. The outline takes the button-face colour until setBorderColor.
    explicit Win32Shape(Win32Window &window);
    void setBorderColor(Color color) override;
    void paintBeneath(HDC dc) override;

protected:
    bool beneath() const override { return true; }

private:
    Color m_borderColor;
};

/// A progress bar: an msctls_progress32 child, drawn in the skin's look when one applies.
class Win32ProgressBar final : public ControlOf<ProgressBar>
{
public:
    /// UI thread. A bar holding 0. Throws RuntimeError (Failed) when it cannot be made.
    explicit Win32ProgressBar(Win32Window &window);
    float Value() const override { return m_value; }
    void setValue(float value) override;
    float Min() const override { return m_min; }
    float Max() const override { return m_max; }
    void skinChanged() override;

    /// UI thread. The position the common control holds, 0 to 10000. Never throws.
    int steps() const;

protected:
    bool handleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT &result) override;

private:
    const PreparedLook *look() const;
    void paintSkinned(HDC dc);

    float m_min = 0.0F;
    float m_max = 100.0F;
    float m_value = 0.0F;
};

/// A skin label: one line of text the window draws in the skin's label style.
class Win32SkinLabel final : public ControlOf<SkinLabel>
{
public:
    /// UI thread. Shows "00" until a text is set.
    explicit Win32SkinLabel(Win32Window &window);
    std::string Caption() const override;
    void setCaption(const std::string &text) override;
    void paintAbove(HDC dc) override;

private:
    std::wstring m_text = L"00";
};

/// The face of a control of the system's own: a picture scaled to a child of its own, or, with
/// no container, a face that is never shown.
class Win32ControlFace final : public ControlOf<ControlFace>
{
public:
    /// UI thread. container may be null. Throws RuntimeError (Failed) when the child cannot be
    /// made.
    explicit Win32ControlFace(Win32Window *container);
    void setVisible(bool visible) override;
    bool isVisible() const override;
    void setPicture(std::string_view png) override;
    void setSize(int widthTwips, int heightTwips) override;
    int widthTwips() const override;
    int heightTwips() const override;
    void onResize(std::function<void()> handler) override;

protected:
    bool handleMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT &result) override;
    void resized() override;

private:
    void reportSize();

    std::shared_ptr<Gdiplus::Bitmap> m_picture;
    bool m_contained;
    bool m_visible = true;
    // The size the handler last heard of, so that a size set twice is reported once.
    int m_reportedWidth = 0;
    int m_reportedHeight = 0;
    std::function<void()> m_onResize;
};

/// UI thread. The window class of faces, registered on first use. Never throws.
const wchar_t *faceClassName();

} // namespace runtime::win32
