#pragma once

#include "SkinPaint.h"

#include <QPoint>
#include <QWidget>

// What a skin draws around a window's controls: the frame with the client area's background
// beneath them, and the title bar above them. Both are children of the window they decorate and
// follow its size. UI thread only.
namespace runtime::qt {

/// The skinned frame beneath a window's controls: border, and the client area's background when
/// the skin draws it. Takes no mouse input.
class SkinBackdrop : public QWidget
{
    Q_OBJECT
public:
    /// UI thread. Covers window and stays beneath its other children.
    explicit SkinBackdrop(QWidget *window);

    /// UI thread. Never throws.
    void setLook(const PreparedLook &look, bool drawClientArea);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    PreparedLook m_look;
    bool m_drawClientArea = true;
};

/// The skinned title bar: the window's caption and a close button that acts like the platform's
/// own (it closes the window when pressed and released over it). Dragging the bar moves the
/// window.
class SkinTitleBar : public QWidget
{
    Q_OBJECT
public:
    /// UI thread. Follows window's title and width.
    explicit SkinTitleBar(QWidget *window);

    /// UI thread. Never throws.
    void setLook(const PreparedLook &look);

    /// UI thread. Where the close button lies, in the bar's coordinates. Never throws.
    QRect closeButtonRect() const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    void fitToWindow();

    PreparedLook m_look;
    bool m_hover = false;
    bool m_pressed = false;
    bool m_dragging = false;
    QPoint m_dragOffset;
};

} // namespace runtime::qt
