#pragma once

#include "SkinStyle.h"

#include <QMargins>
#include <QPoint>
#include <QWidget>

namespace platform {

/// The skinned frame beneath a window's controls: border, and the client area's background when
/// the skin draws it. Takes no mouse input. UI thread only.
class SkinBackdrop : public QWidget
{
    Q_OBJECT
public:
    /// UI thread. Covers window and stays beneath its other children.
    explicit SkinBackdrop(QWidget *window);

    /// UI thread. Never throws.
    void setSkin(const Skin &skin, bool drawClientArea);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    Skin m_skin;
    bool m_drawClientArea = true;
};

/// The skinned title bar: the window's caption and a close button that acts like the platform's
/// own (it closes the window when pressed and released over it). Dragging the bar moves the
/// window. UI thread only.
class SkinTitleBar : public QWidget
{
    Q_OBJECT
public:
    /// UI thread. Follows window's title.
    explicit SkinTitleBar(QWidget *window);

    /// UI thread. Never throws.
    void setSkin(const Skin &skin);

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
    Skin m_skin;
    bool m_hover = false;
    bool m_pressed = false;
    bool m_dragging = false;
    QPoint m_dragOffset;
};

} // namespace platform
