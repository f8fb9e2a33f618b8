#pragma once

#include "Conversions.h"
#include "Widgets.h"
#include "runtime/Controls.h"
#include "runtime/RuntimeError.h"

#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QWidget>
#include <string>
#include <string_view>
#include <vector>

// The Linux runtime's controls: each owns one widget on its window and destroys it when it goes.
// UI thread only.
namespace runtime::qt {

/// What every control of this runtime is beneath its interface: a widget.
class ControlWidget
{
public:
    virtual ~ControlWidget() = default;
    /// UI thread. The control's widget; null once it is gone. Never throws.
    virtual QWidget *widget() const = 0;
};

/// The calls every control shares, over a widget of type W on its window's client area.
template <typename Interface, typename W>
class WidgetControl : public Interface, public ControlWidget
{
public:
    /// UI thread. Takes ownership of widget.
    explicit WidgetControl(W *widget) : m_widget(widget) {}
    /// UI thread. Destroys the widget, unless its window already took it.
    ~WidgetControl() override { delete m_widget.data(); }
    WidgetControl(const WidgetControl &) = delete;
    WidgetControl &operator=(const WidgetControl &) = delete;

    QWidget *widget() const override { return m_widget.data(); }

    void setPlace(const TwipsRect &twips) override
    {
        self().setGeometry(pixelRect(twips).translated(clientOrigin()));
    }
    void move(int leftTwips, int topTwips) override
    {
        self().move(QPoint(twipsToPixels(leftTwips), twipsToPixels(topTwips)) + clientOrigin());
    }
    PixelRect pixels() const override
    {
        return toPixelRect(self().geometry().translated(-clientOrigin()));
    }
    void setVisible(bool visible) override { self().setVisible(visible); }
    bool isVisible() const override { return !self().isHidden(); }
    void setFont(const FontSpec &font) override { self().setFont(toQFont(font)); }
    bool hasFocus() const override { return self().hasFocus(); }

protected:
    /// UI thread. The widget. Throws RuntimeError (Unavailable) when the window was destroyed
    /// before the control, against the factory's rule.
    W &self() const
    {
        if (!m_widget)
            throw RuntimeError(ErrorKind::Unavailable, "the control's window is gone");
        return *m_widget;
    }

private:
    // Places are given on the client area, which a skin's frame moves inside the window.
    QPoint clientOrigin() const
    {
        const QWidget *parent = self().parentWidget();
        return parent != nullptr ? parent->contentsRect().topLeft() : QPoint();
    }

    QPointer<W> m_widget;
};

/// A label: a LabelWidget.
class QtLabel final : public WidgetControl<Label, LabelWidget>
{
public:
    using WidgetControl::WidgetControl;
    std::string Caption() const override;
    void setCaption(const std::string &caption) override;
    void setAutoSize(bool autoSize) override;
    void setCentred(bool centred) override;
    void setBackColor(Color color) override;
};

/// A text box: a QLineEdit.
class QtTextBox final : public WidgetControl<TextBox, QLineEdit>
{
public:
    using WidgetControl::WidgetControl;
    std::string Text() const override;
    void setText(const std::string &text) override;
};

/// A push button that is never a dialog's default: a QPushButton.
class QtCommandButton final : public WidgetControl<CommandButton, QPushButton>
{
public:
    /// UI thread. Takes ownership of button; a press calls the handler set by onClick.
    explicit QtCommandButton(QPushButton *button);
    std::string Caption() const override;
    void setCaption(const std::string &caption) override;
    void onClick(std::function<void()> handler) override;

private:
    std::function<void()> m_onClick;
};

/// A file list: a FileListWidget.
class QtFileListBox final : public WidgetControl<FileListBox, FileListWidget>
{
public:
    using WidgetControl::WidgetControl;
    std::string Path() const override;
    void setPath(const std::string &folder) override;
    std::string Pattern() const override;
    void setPattern(const std::string &pattern) override;
    std::string FileName() const override;
    void setFileName(const std::string &name) override;
    std::vector<std::string> entries() const override;
    void onClick(std::function<void()> handler) override;
};

/// A shape: a ShapeWidget, made beneath the window's other controls.
class QtShape final : public WidgetControl<Shape, ShapeWidget>
{
public:
    using WidgetControl::WidgetControl;
    void setBorderColor(Color color) override;
};

/// A progress bar: a ProgressBarWidget.
class QtProgressBar final : public WidgetControl<ProgressBar, ProgressBarWidget>
{
public:
    using WidgetControl::WidgetControl;
    float Value() const override;
    void setValue(float value) override;
    float Min() const override;
    float Max() const override;
};

/// A skin label: a SkinLabelWidget.
class QtSkinLabel final : public WidgetControl<SkinLabel, SkinLabelWidget>
{
public:
    using WidgetControl::WidgetControl;
    std::string Caption() const override;
    void setCaption(const std::string &text) override;
};

/// A face on a window, or on none: then it is never shown, whatever setVisible says.
class QtControlFace final : public WidgetControl<ControlFace, FaceWidget>
{
public:
    /// UI thread. Takes ownership of face, which has a parent when it sits on a window.
    explicit QtControlFace(FaceWidget *face);
    void setVisible(bool visible) override;
    bool isVisible() const override;
    void setPicture(std::string_view png) override;
    void setSize(int widthTwips, int heightTwips) override;
    int widthTwips() const override;
    int heightTwips() const override;
    void onResize(std::function<void()> handler) override;

private:
    bool m_contained;
    bool m_visible = true;
};

} // namespace runtime::qt
