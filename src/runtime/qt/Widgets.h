#pragma once

#include "SkinPaint.h"
#include "runtime/ApplicationState.h"

#include <QImage>
#include <QLabel>
#include <QListWidget>
#include <QSize>
#include <QWidget>
#include <functional>
#include <optional>

class QProgressBar;

// The Qt widgets behind the Linux runtime's controls. The skin painter finds them among a
// window's children by their classes. UI thread only, like every widget.
namespace runtime::qt {

// A handler of the system's must not unwind through the platform's event delivery: it runs
// through the runtime's one caller, which reports a failure on the standard error.
using state::callHandler;

/// The top-level window: its close, from whatever source, runs the close handler first.
class WindowWidget : public QWidget
{
    Q_OBJECT
public:
    /// UI thread. A hidden window whose platform frame offers a close button and no other.
    WindowWidget();

    /// UI thread. handler runs before the window closes; empty: none. Never throws.
    void setCloseHandler(std::function<void()> handler) { m_onClose = std::move(handler); }
    /// UI thread. Whether a close event is being handled. Never throws.
    bool isClosing() const { return m_closing; }

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    std::function<void()> m_onClose;
    bool m_closing = false;
};

/// A plain-text label that can size itself to its text, keeping its left edge.
class LabelWidget : public QLabel
{
    Q_OBJECT
public:
    /// UI thread. An empty label that keeps the size it is given.
    explicit LabelWidget(QWidget *parent);

    /// UI thread. Sets the text and, when the label sizes itself, fits it. Never throws.
    void setCaption(const QString &caption);
    /// UI thread. Turning it on fits the label to its text at once. Never throws.
    void setAutoSize(bool autoSize);
    /// UI thread. Whether the label sizes itself. Never throws.
    bool autoSize() const { return m_autoSize; }

protected:
    void changeEvent(QEvent *event) override;

private:
    bool m_autoSize = false;
};

/// A one-line text label drawn in the skin's label style.
class SkinLabelWidget : public QLabel
{
    Q_OBJECT
public:
    /// UI thread. Shows "00" until a text is set.
    explicit SkinLabelWidget(QWidget *parent);
};

/// A rectangle with a one-pixel solid outline and a transparent interior, drawn beneath the
/// window's other controls; it takes neither focus nor mouse input.
class ShapeWidget : public QWidget
{
    Q_OBJECT
public:
    /// UI thread. The outline takes the palette's button-face colour until setBorderColor.
    explicit ShapeWidget(QWidget *parent);

    /// How a skin draws the shape: an interior fill, the outline's colour and rounded corners.
    struct Look
    {
        SkinFill fill;
        QColor borderColor; // invalid: none
        int cornerRadius = 0;
    };

    /// UI thread. The design outline colour, whatever a skin draws. Never throws.
    QColor borderColor() const { return m_color; }
    void setBorderColor(const QColor &color);
    /// UI thread. Draws the shape in a skin's look, or as designed when unset. Never throws.
    void setLook(const std::optional<Look> &look);
    /// UI thread. The skin's look, unset while the shape is drawn as designed. Never throws.
    const std::optional<Look> &look() const { return m_look; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QColor m_color;
    std::optional<Look> m_look;
};

/// A horizontal progress bar over a single-precision range, from 0 to 100.
class ProgressBarWidget : public QWidget
{
    Q_OBJECT
public:
    /// UI thread. A bar holding 0.
    explicit ProgressBarWidget(QWidget *parent);

    /// UI thread. The value last set, exactly. Never throws.
    float value() const { return m_value; }
    /// UI thread. Sets and shows value. Throws RuntimeError (Refused) when it lies outside
    /// [minimum(), maximum()] or is not a number; the bar then keeps its value.
    void setValue(float value);
    /// UI thread. The ends of the range, 0 and 100. Never throw.
    float minimum() const { return m_min; }
    float maximum() const { return m_max; }

    /// UI thread. Draws the bar in a skin's looks, or with the platform's own look when unset.
    /// Never throws.
    void setLook(const std::optional<PreparedLook::Bar> &look);
    /// UI thread. The skin's look, unset while the platform's bar draws. Never throws.
    const std::optional<PreparedLook::Bar> &look() const { return m_look; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    QProgressBar *m_bar;
    float m_min = 0.0F;
    float m_max = 100.0F;
    float m_value = 0.0F;
    std::optional<PreparedLook::Bar> m_look;
};

/// A list of the files of one folder that match a pattern, sorted as a file list box shows them
/// (case-insensitively).
class FileListWidget : public QListWidget
{
    Q_OBJECT
public:
    /// UI thread. Lists the current folder with the pattern "*.*".
    explicit FileListWidget(QWidget *parent);

    /// UI thread. The listed folder, without a trailing separator unless it is a root. Never
    /// throws.
    QString path() const { return m_path; }
    /// UI thread. Lists folder. Throws RuntimeError (NotFound) when it is not an existing
    /// folder; the list then stays as it was.
    void setPath(const QString &folder);
    /// UI thread. The wildcard pattern, "*.*" until set. Never throws.
    QString pattern() const { return m_pattern; }
    /// UI thread. Sets the wildcard pattern ("*.skn"; several joined by ';') and lists anew.
    /// Never throws.
    void setPattern(const QString &pattern);
    /// UI thread. The chosen file's name, "" when none. Never throws.
    QString fileName() const { return m_fileName; }
    /// UI thread. Chooses a file by name and selects its entry if listed, without calling the
    /// click handler. Never throws.
    void setFileName(const QString &name);
    /// UI thread. Lists the folder anew. Never throws.
    void refresh();
    /// UI thread. handler runs when the user changes the selection; empty: none. Never throws.
    void setClickHandler(std::function<void()> handler) { m_onClick = std::move(handler); }

protected:
    void focusInEvent(QFocusEvent *event) override;

private:
    void onCurrentRowChanged(int row);
    void selectFileName();

    QString m_path;
    QString m_pattern = QStringLiteral("*.*");
    QString m_fileName;
    bool m_settingByCode = false;
    std::function<void()> m_onClick;
};

/// The face of a control of the system's own: a picture over a transparent background, scaled
/// to the face. Every change of its size, whoever makes it, runs the resize handler once.
class FaceWidget : public QWidget
{
    Q_OBJECT
public:
    /// UI thread. An empty face of no size; parent may be null (a face that is never shown).
    explicit FaceWidget(QWidget *parent);

    /// UI thread. Never throws.
    void setPicture(const QImage &picture);
    /// UI thread. Sets the size; a different size runs the resize handler. Never throws.
    void setFaceSize(const QSize &size);
    /// UI thread. handler runs after every change of size; empty: none. Never throws.
    void setResizeHandler(std::function<void()> handler) { m_onResize = std::move(handler); }

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void reportSize();

    QImage m_picture;
    // The size the handler last heard of: a hidden widget hears of a resize only once it is
    // shown, so setFaceSize reports at once and the late event then finds nothing new.
    QSize m_reported;
    std::function<void()> m_onResize;
};

} // namespace runtime::qt
