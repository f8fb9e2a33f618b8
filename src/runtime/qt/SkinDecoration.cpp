#include "SkinDecoration.h"

#include "runtime/SkinLayout.h"

#include <QEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QWindow>
#include <algorithm>

namespace runtime::qt {

SkinBackdrop::SkinBackdrop(QWidget *window) : QWidget(window)
{
    setObjectName(QStringLiteral("skinBackdrop"));
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
    window->installEventFilter(this);
}

void SkinBackdrop::setLook(const PreparedLook &look, bool drawClientArea)
{
    m_look = look;
    m_drawClientArea = drawClientArea;
    setGeometry(parentWidget()->rect());
    update();
}

bool SkinBackdrop::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == parentWidget() && event->type() == QEvent::Resize)
        setGeometry(parentWidget()->rect());
    return QWidget::eventFilter(watched, event);
}

void SkinBackdrop::paintEvent(QPaintEvent *event)
{
    Q_UNUSED(event);
    QPainter painter(this);
    const QWidget *window = parentWidget();
    if (m_drawClientArea)
        paintFill(painter, window->contentsRect(), m_look.client);
    const int border = m_look.frame.borderWidth;
    paintBorder(painter, rect(), toQColor(m_look.frame.borderColor), border);
    // A one-pixel line just inside the border gives the frame its bevel.
    paintBorder(painter, rect().adjusted(border, border, -border, -border),
                toQColor(m_look.frame.innerBorderColor), 1);
}

SkinTitleBar::SkinTitleBar(QWidget *window) : QWidget(window)
{
    setObjectName(QStringLiteral("skinTitleBar"));
    setMouseTracking(true);
    setFocusPolicy(Qt::NoFocus);
    window->installEventFilter(this);
}

void SkinTitleBar::setLook(const PreparedLook &look)
{
    m_look = look;
    fitToWindow();
    update();
}

void SkinTitleBar::fitToWindow()
{
    const int border = m_look.frame.borderWidth;
    setGeometry(border, border, std::max(0, parentWidget()->width() - 2 * border),
                m_look.title.height);
}

QRect SkinTitleBar::closeButtonRect() const
{
    const layout::Box box = layout::closeButton(width(), height(), m_look.closeButton.size);
    return {box.left, box.top, box.width, box.height};
}

bool SkinTitleBar::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == parentWidget()) {
        if (event->type() == QEvent::WindowTitleChange)
            update();
        else if (event->type() == QEvent::Resize)
            fitToWindow();
    }
    return QWidget::eventFilter(watched, event);
}

void SkinTitleBar::paintEvent(QPaintEvent *event)
{
    Q_UNUSED(event);
    QPainter painter(this);
    paintFill(painter, rect(), m_look.title.background);

    const PreparedLook::Button &style = m_look.closeButton;
    const QRect button = closeButtonRect();
    const bool down = m_pressed && m_hover;
    paintFill(painter, button,
              down      ? style.pressedBackground
              : m_hover ? style.hoverBackground
                        : style.background,
              style.cornerRadius);
    paintBorder(painter, button, toQColor(style.borderColor), 1, style.cornerRadius);
    // The cross is drawn as two strokes scaled to the button, so it is as sharp at any scale.
    const qreal inset = button.width() * 0.3;
    const QRectF cross = QRectF(button).adjusted(inset, inset, -inset, -inset);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(toQColor(m_hover ? style.hoverGlyphColor : style.glyphColor),
                        std::max<qreal>(1.0, button.width() / 9.0), Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(cross.topLeft(), cross.bottomRight());
    painter.drawLine(cross.topRight(), cross.bottomLeft());
    painter.restore();

    const PreparedLook::Title &title = m_look.title;
    painter.setFont(title.font);
    painter.setPen(toQColor(title.textColor));
    const layout::Box box =
        layout::caption(width(), height(), button.left(), title.indent, title.indent / 2,
                        title.align == look::Alignment::Center);
    const QRect textRect(box.left, box.top, box.width, box.height);
    const QString caption = painter.fontMetrics().elidedText(parentWidget()->windowTitle(),
                                                             Qt::ElideRight, textRect.width());
    painter.drawText(textRect, static_cast<int>(toQtAlignment(title.align) | Qt::AlignVCenter),
                     caption);
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
    // As with the platform's own button: pressing and then sliding off cancels the close. The
    // window's own close path runs, so its close handler hears of it like any other close.
    if (closeButtonRect().contains(event->position().toPoint()))
        parentWidget()->close();
}

void SkinTitleBar::leaveEvent(QEvent *event)
{
    m_hover = false;
    update();
    QWidget::leaveEvent(event);
}

} // namespace runtime::qt
