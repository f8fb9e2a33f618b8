#pragma once

#include "runtime/Controls.h"

#include <QObject>
#include <QPointer>
#include <QSize>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

class QWidget;

namespace runtime::qt {

class WindowWidget;

/// The Linux runtime's window: a top-level WindowWidget that it owns. UI thread only.
class QtWindow final : public Window
{
public:
    /// UI thread. A hidden window. Throws RuntimeError (Unavailable) without a QApplication.
    QtWindow();
    /// UI thread. Destroys the widget without a close, so the close handler does not run.
    ~QtWindow() override;
    QtWindow(const QtWindow &) = delete;
    QtWindow &operator=(const QtWindow &) = delete;

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

    /// UI thread. The window's widget: the parent of its controls. Never null. Never throws.
    QWidget *widget() const;

private:
    QPointer<WindowWidget> m_widget;
    // What invokeLater's calls are bound to: it goes with this object, whereas a widget closing
    // when the window is destroyed outlives it until the event loop deletes it.
    QObject m_later;
    bool m_shown = false;
};

/// UI thread. The widget of a window of this runtime. Throws RuntimeError (Refused) for a
/// window of another kind.
QWidget *windowWidget(Window &window);

/// UI thread. The widget of a control of this runtime, null for a control of another kind or
/// one whose widget is gone. Never throws.
QWidget *controlWidget(const Control &control);

} // namespace runtime::qt
