#include "SkinDecoration.h"

#include <QEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QWindow>

namespace platform {

SkinBackdrop::SkinBackdrop(QWidget *window) : QWidget(window)
{
    setObjectName(QStringLiteral("skinBackdrop"));
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
}

void SkinBackdrop::setSkin(const Skin &skin, bool drawClientArea)
{
    m_skin = skin;
    m_drawClientArea = drawClientArea;
    update();
}

void SkinBackdrop::paintEvent(QPaintEvent *event)
{
    Q_UNUSED(event);
    QPainter painter(this);
    const QWidget *window = parentWidget();
    if (m_drawClientArea)
        paintFill(painter, window->contentsRect(), m_skin.client);
    const int border = m_skin.frame.borderWidth;
    paintBorder(painter, rect(), m_skin.frame.borderColor, border);
    // A one-pixel line just inside the border gives the frame its bevel.
    paintBorder(painter, rect().adjusted(border, border, -border, -border),
                m_skin.frame.innerBorderColor, 1);
}

SkinTitleBar::SkinTitleBar(QWidget *window) : QWidget(window)
{
    setObjectName(QStringLiteral("skinTitleBar"));
    setMouseTracking(true);
    setFocusPolicy(Qt::NoFocus);
    window->installEventFilter(this);
}

void SkinTitleBar::setSkin(const Skin &skin)
{
    m_skin = skin;
    update();
}

QRect SkinTitleBar::closeButtonRect() const
{
    const int size = m_skin.closeButton.size;
    const int margin = (height() - size) / 2;
    return {width() - margin - size, margin, size, size};
}

bool SkinTitleBar::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == parentWidget() && event->type() == QEvent::WindowTitleChange)
        update();
    return QWidget::eventFilter(watched, event);
}

void SkinTitleBar::paintEvent(QPaintEvent *event)
{
    Q_UNUSED(event);
    QPainter painter(this);
    paintFill(painter, rect(), m_skin.title.background);

    const SkinButtonStyle &style = m_skin.closeButton;
    const QRect button = closeButtonRect();
    const bool down = m_pressed && m_hover;
    paintFill(painter, button,
              down      ? style.pressedBackground
              : m_hover ? style.hoverBackground
                        : style.background,
              style.cornerRadius);
    paintBorder(painter, button, style.borderColor, 1, style.cornerRadius);
    // The cross is drawn as two strokes scaled to the button, so it is as sharp at any scale.
    const qreal inset = button.width() * 0.3;
    const QRectF cross = QRectF(button).adjusted(inset, inset, -inset, -inset);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(m_hover ? style.hoverGlyphColor : style.glyphColor,
                        std::max<qreal>(1.0, button.width() / 9.0), Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(cross.topLeft(), cross.bottomRight());
    painter.drawLine(cross.topRight(), cross.bottomLeft());
    painter.restore();

    const SkinTitleStyle &title = m_skin.title;
    painter.setFont(title.font.toFont());
    painter.setPen(title.textColor);
    const int textRight = button.left() - title.indent / 2;
    const int reserved = width() - textRight;
    // Centred text is centred on the whole bar, as a platform title is.
    const QRect textRect =
        title.align == Qt::AlignHCenter
            ? QRect(reserved, 0, std::max(0, width() - 2 * reserved), height())
            : QRect(title.indent, 0, std::max(0, textRight - title.indent), height());
    const QString caption = painter.fontMetrics().elidedText(parentWidget()->windowTitle(),
                                                             Qt::ElideRight, textRect.width());
    painter.drawText(textRect, static_cast<int>(title.align | Qt::AlignVCenter), caption);
}

void SkinTitleBar::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return QWidget::mousePressEvent(event);
    if (closeButtonRect().contains(event->position().toPoint())) {
        m_pressed = true;
        m_hover = true;
        update();
        return;
    }
    QWidget *window = parentWidget();
    // The window manager moves the window where it can (it then snaps and constrains it as it
    // does any window); otherwise the bar follows the mouse itself.
    if (window->windowHandle() != nullptr && window->windowHandle()->startSystemMove())
        return;
    m_dragging = true;
    m_dragOffset = event->globalPosition().toPoint() - window->pos();
}

void SkinTitleBar::mouseMoveEvent(QMouseEvent *event)
{
    const bool over = closeButtonRect().contains(event->position().toPoint());
    if (over != m_hover) {
        m_hover = over;
        update();
    }
    if (m_dragging && (event->buttons() & Qt::LeftButton))
        parentWidget()->move(event->globalPosition().toPoint() - m_dragOffset);
}

void SkinTitleBar::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return QWidget::mouseReleaseEvent(event);
    m_dragging = false;
    if (!m_pressed)
        return;
    m_pressed = false;
    update();
    // As with the platform's own button: pressing and then sliding off cancels the close.
    if (closeButtonRect().contains(event->position().toPoint()))
        parentWidget()->close();
}

void SkinTitleBar::leaveEvent(QEvent *event)
{
    m_hover = false;
    update();
    QWidget::leaveEvent(event);
}

} // namespace platform
