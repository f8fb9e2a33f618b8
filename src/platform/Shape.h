#pragma once

#include "SkinStyle.h"

#include <QColor>
#include <QWidget>
#include <optional>

namespace platform {

/// A rectangle with a one-pixel solid outline and a transparent interior, drawn beneath the
/// window's other controls; it takes neither focus nor mouse input. UI thread only.
class Shape : public QWidget
{
    Q_OBJECT
public:
    /// UI thread. The outline takes the palette's button-face colour until setBorderColor.
    explicit Shape(QWidget *parent = nullptr);

    /// How a skin draws the shape: an interior fill, the outline's colour and rounded corners.
    struct Look
    {
        SkinFill fill;
        QColor borderColor;
        int cornerRadius = 0;
    };

    QColor borderColor() const { return m_color; }
    /// UI thread. The design outline colour. Never throws.
    void setBorderColor(const QColor &color);
    /// UI thread. Draws the shape in a skin's look, or as designed when unset. Never throws.
    void setLook(const std::optional<Look> &look);
    const std::optional<Look> &look() const { return m_look; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QColor m_color;
    std::optional<Look> m_look;
};

} // namespace platform
