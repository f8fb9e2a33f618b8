#pragma once

#include "Color.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace runtime {

namespace look {
struct SkinLook;
}
using SkinLook = look::SkinLook;
struct SkinSettings;

/// A window's native handle as the platform gives it, for operations that name a window by it.
using WindowHandle = std::intptr_t;

/// A place and size in twips (1/1440 inch), as window layouts are designed.
struct TwipsRect
{
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
};

/// A place and size in logical pixels (what the platform scales for high-density screens).
struct PixelRect
{
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;

    friend bool operator==(const PixelRect &, const PixelRect &) = default;
};

/// A font as a layout names it; a family the platform lacks falls back to its own choice.
struct FontSpec
{
    std::string family;
    double pointSize = 8.25;
    bool bold = false;
};

/// Something placed on a window. Every control belongs to the UI thread, and so do all the
/// calls below; none throws unless it says so. A control is destroyed before its window.
class Control
{
public:
    virtual ~Control() = default;

    /// Places the control at a place and size in twips on its window's client area.
    virtual void setPlace(const TwipsRect &twips) = 0;
    /// Moves the control to a place in twips, keeping its size.
    virtual void move(int leftTwips, int topTwips) = 0;
    /// Where the control is on its window's client area, in logical pixels.
    virtual PixelRect pixels() const = 0;
    /// Shows or hides the control. A hidden control takes no input and never the focus.
    virtual void setVisible(bool visible) = 0;
    /// Whether the control is not hidden (it may still lie outside its window's visible area).
    virtual bool isVisible() const = 0;
    /// The control's font; by default the window's.
    virtual void setFont(const FontSpec &font) = 0;
    /// Whether the control has the keyboard focus.
    virtual bool hasFocus() const = 0;
};

/// A label of the platform's own: plain text, optionally sized to fit it.
class Label : public Control
{
public:
    virtual std::string Caption() const = 0;
    /// Sets the text; a label that sizes itself fits it at once, keeping its left edge.
    virtual void setCaption(const std::string &caption) = 0;
    virtual void setAutoSize(bool autoSize) = 0;
    virtual void setCentred(bool centred) = 0;
    /// Fills the label's background with color instead of letting the window show through.
    virtual void setBackColor(Color color) = 0;
};

/// A one-line text box.
class TextBox : public Control
{
public:
    virtual std::string Text() const = 0;
    virtual void setText(const std::string &text) = 0;
};

/// A push button; a click, or the space bar while it has the focus, calls its handler.
class CommandButton : public Control
{
public:
    virtual std::string Caption() const = 0;
    virtual void setCaption(const std::string &caption) = 0;
    /// handler runs on the UI thread for each press; empty: none.
    virtual void onClick(std::function<void()> handler) = 0;
};

/// A list of the files of one folder that match a wildcard pattern, sorted as a file list box
/// shows them (case-insensitively).
class FileListBox : public Control
{
public:
    /// The listed folder, UTF-8, without a trailing separator unless it is a root.
    virtual std::string Path() const = 0;
    /// Lists folder. Throws RuntimeError (NotFound) when it is not an existing folder; the list
    /// then stays as it was.
    virtual void setPath(const std::string &folder) = 0;
    virtual std::string Pattern() const = 0;
    /// Sets the wildcard pattern ("*.skn") and lists anew.
    virtual void setPattern(const std::string &pattern) = 0;
    /// The chosen file's name, "" when none.
    virtual std::string FileName() const = 0;
    /// Chooses a file by name and selects its entry if listed, without calling the handler.
    virtual void setFileName(const std::string &name) = 0;
    /// The names listed, in the order shown.
    virtual std::vector<std::string> entries() const = 0;
    /// handler runs when the user (mouse or keyboard) changes the selection, never for code.
    virtual void onClick(std::function<void()> handler) = 0;
};

/// A rectangle with a one-pixel outline and a transparent interior, drawn beneath the windowed
/// controls of its window.
class Shape : public Control
{
public:
    virtual void setBorderColor(Color color) = 0;
};

/// A horizontal progress bar over a single-precision range, from 0 to 100.
class ProgressBar : public Control
{
public:
    /// The value last set, exactly.
    virtual float Value() const = 0;
    /// Sets and shows value. Throws RuntimeError (Refused) when it lies outside [Min(), Max()]
    /// or is not a number; the bar then keeps its value.
    virtual void setValue(float value) = 0;
    virtual float Min() const = 0;
    virtual float Max() const = 0;
};

/// A one-line text label drawn in the loaded skin's label style; "00" until a text is set.
class SkinLabel : public Control
{
public:
    /// The label's default property: the text it shows.
    virtual std::string Caption() const = 0;
    virtual void setCaption(const std::string &text) = 0;
};

/// The face of a control of the system's own: a fixed picture.
class ControlFace : public Control
{
public:
    /// The picture, as PNG bytes. Throws RuntimeError (Refused) when they do not decode.
    virtual void setPicture(std::string_view png) = 0;
    /// Sets the face's size in twips; a change of size calls the resize handler, setting the
    /// size it already has does not.
    virtual void setSize(int widthTwips, int heightTwips) = 0;
    virtual int widthTwips() const = 0;
    virtual int heightTwips() const = 0;
    /// handler runs on the UI thread after every change of size, whoever made it.
    virtual void onResize(std::function<void()> handler) = 0;
};

/// Draws a window in the style of a skin: frame, title bar with its close button, client area,
/// and the looks of the window's panel, skin labels and progress bar. Has no face of its own.
class SkinPainter
{
public:
    virtual ~SkinPainter() = default;
    /// UI thread. The settings the skin is drawn with (hue, colours, what is skinned).
    virtual void setSettings(const SkinSettings &settings) = 0;
    /// UI thread. Takes the window to draw. Throws RuntimeError (Refused) for a handle that is
    /// no window of this program.
    virtual void attach(WindowHandle window) = 0;
    /// UI thread. Prepares a look for drawing (its images decoded). Throws RuntimeError
    /// (Refused) when an image cannot be decoded; what was prepared before stays then.
    virtual void load(const SkinLook &look) = 0;
    /// UI thread. Draws window with the look last prepared. Throws RuntimeError (Refused) for a
    /// handle that is no window of this program, or when no look was prepared.
    virtual void apply(WindowHandle window) = 0;
};

/// A top-level window with a fixed-size client area, centred on the screen when first shown.
class Window
{
public:
    virtual ~Window() = default;

    /// UI thread. The caption, which is exactly the window's title.
    virtual std::string Caption() const = 0;
    virtual void setCaption(const std::string &caption) = 0;
    /// UI thread. The client area's fixed size, in twips.
    virtual void setClientSize(int widthTwips, int heightTwips) = 0;
    /// UI thread. The client area's size, and the whole window's with whatever frame a skin
    /// draws around it, in logical pixels (left and top 0).
    virtual PixelRect clientPixels() const = 0;
    virtual PixelRect framePixels() const = 0;
    virtual void setBackColor(Color color) = 0;
    virtual Color backColor() const = 0;
    /// UI thread. The font of every control without one of its own.
    virtual void setFont(const FontSpec &font) = 0;
    /// UI thread. The window's icon, as PNG bytes. Throws RuntimeError (Refused) when they do
    /// not decode.
    virtual void setIcon(std::string_view png) = 0;
    /// UI thread. The native handle, the same for the window's whole life.
    virtual WindowHandle handle() const = 0;
    /// UI thread. Shows the window (centred on the screen the first time).
    virtual void show() = 0;
    /// UI thread. Takes the window off the screen without closing it: its controls, its state
    /// and its close handler stay, and show() brings it back where it was.
    virtual void hide() = 0;
    virtual bool isVisible() const = 0;
    /// UI thread. handler runs when the user or the system closes the window, before it goes;
    /// the window closes after it returns.
    virtual void onClose(std::function<void()> handler) = 0;
    /// UI thread. Runs action on the UI thread once the events now pending have been dispatched,
    /// unless the window is gone by then.
    virtual void invokeLater(std::function<void()> action) = 0;
    /// UI thread. The order in which the Tab key moves the focus among controls.
    virtual void setTabOrder(const std::vector<Control *> &order) = 0;
    /// UI thread. Gives control the keyboard focus.
    virtual void setFocus(Control &control) = 0;
};

/// Makes the platform's controls. Controls are made on a window in the order its layout stores
/// them; each belongs to the window it was made on and must be destroyed before it.
class ControlFactory
{
public:
    virtual ~ControlFactory() = default;

    /// UI thread. Throw RuntimeError (Unavailable) without a window system.
    virtual std::unique_ptr<Window> createWindow() = 0;
    virtual std::unique_ptr<Label> createLabel(Window &window) = 0;
    virtual std::unique_ptr<TextBox> createTextBox(Window &window) = 0;
    virtual std::unique_ptr<CommandButton> createCommandButton(Window &window) = 0;
    virtual std::unique_ptr<FileListBox> createFileListBox(Window &window) = 0;
    virtual std::unique_ptr<Shape> createShape(Window &window) = 0;
    virtual std::unique_ptr<ProgressBar> createProgressBar(Window &window) = 0;
    virtual std::unique_ptr<SkinLabel> createSkinLabel(Window &window) = 0;
    virtual std::unique_ptr<SkinPainter> createSkinPainter(Window &window) = 0;
    /// container may be null: a face of its own, never shown.
    virtual std::unique_ptr<ControlFace> createControlFace(Window *container) = 0;
};

/// UI thread. The platform's control factory. Never throws.
ControlFactory &controls();

} // namespace runtime
