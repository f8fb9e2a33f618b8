#include "Shape.h"

#include <QPainter>

namespace platform {

Shape::Shape(QWidget *parent) : QWidget(parent), m_color(palette().color(QPalette::Button))
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    setFocusPolicy(Qt::NoFocus);
}

void Shape::setBorderColor(const QColor &color)
{
    m_color = color;
    update();
}

void Shape::setLook(const std::optional<Look> &look)
{
    m_look = look;
    update();
}

void Shape::paintEvent(QPaintEvent *event)
{
    Q_UNUSED(event);
    QPainter painter(this);
    if (m_look) {
        paintFill(painter, rect(), m_look->fill, m_look->cornerRadius);
        paintBorder(painter, rect(), m_look->borderColor, 1, m_look->cornerRadius);
        return;
    }
    painter.setPen(QPen(m_color, 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

} // namespace platform
