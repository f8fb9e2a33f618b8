#pragma once

#include <QColor>
#include <QWidget>

namespace platform {

/// A rectangle with a one-pixel solid outline and a transparent interior, drawn beneath the
/// window's other controls; it takes neither focus nor mouse input. UI thread only.
class Shape : public QWidget
{
public:
    /// UI thread. The outline takes the palette's button-face colour until setBorderColor.
    explicit Shape(QWidget *parent = nullptr);

    QColor borderColor() const { return m_color; }
    /// UI thread. Never throws.
    void setBorderColor(const QColor &color);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QColor m_color;
};

} // namespace platform
