#include "Window.h"

#include "Conversions.h"
#include "Widgets.h"
#include "runtime/RuntimeError.h"

#include <QApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QImage>
#include <QPalette>
#include <QPixmap>
#include <QScreen>
#include <QTimer>

namespace runtime::qt {

QtWindow::QtWindow()
{
    if (qobject_cast<QApplication *>(QCoreApplication::instance()) == nullptr)
        throw RuntimeError(ErrorKind::Unavailable, "no window can be made without a window system");
    m_widget = new WindowWidget();
}

QtWindow::~QtWindow()
{
    if (!m_widget)
        return;
    m_widget->setCloseHandler({});
    // Qt still uses a widget after its close event returns; one destroyed from its own close
    // handler must wait for the event loop.
    if (m_widget->isClosing())
        m_widget->deleteLater();
    else
        delete m_widget.data();
}

QWidget *QtWindow::widget() const
{
    return m_widget.data();
}

std::string QtWindow::Caption() const
{
    return toUtf8(m_widget->windowTitle());
}

void QtWindow::setCaption(const std::string &caption)
{
    m_widget->setWindowTitle(toQString(caption));
}

void QtWindow::setClientSize(int widthTwips, int heightTwips)
{
    const QSize client(twipsToPixels(widthTwips), twipsToPixels(heightTwips));
    // Whatever frame a skin draws lies outside the client area, as a platform frame does.
    m_widget->setFixedSize(client.grownBy(m_widget->contentsMargins()));
}

PixelRect QtWindow::clientPixels() const
{
    const QRect client = m_widget->contentsRect();
    return {0, 0, client.width(), client.height()};
}

PixelRect QtWindow::framePixels() const
{
    return {0, 0, m_widget->width(), m_widget->height()};
}

void QtWindow::setBackColor(Color color)
{
    QPalette palette = m_widget->palette();
    palette.setColor(QPalette::Window, toQColor(color));
    m_widget->setPalette(palette);
}

Color QtWindow::backColor() const
{
    return fromQColor(m_widget->palette().color(QPalette::Window));
}

void QtWindow::setFont(const FontSpec &font)
{
    m_widget->setFont(toQFont(font));
}

void QtWindow::setIcon(std::string_view png)
{
    const QImage image = decodePng(png);
    if (image.isNull())
        throw RuntimeError(ErrorKind::Refused, "the window's icon is not a PNG image");
    m_widget->setWindowIcon(QIcon(QPixmap::fromImage(image)));
}

WindowHandle QtWindow::handle() const
{
    return static_cast<WindowHandle>(m_widget->winId());
}

void QtWindow::show()
{
    if (!m_shown) {
        m_shown = true;
        if (const QScreen *screen = QGuiApplication::primaryScreen())
            m_widget->move(screen->availableGeometry().center() - m_widget->rect().center());
    }
    m_widget->show();
}

void QtWindow::hide()
{
    m_widget->hide();
}

bool QtWindow::isVisible() const
{
    return m_widget->isVisible();
}

void QtWindow::onClose(std::function<void()> handler)
{
    m_widget->setCloseHandler(std::move(handler));
}

void QtWindow::invokeLater(std::function<void()> action)
{
    QTimer::singleShot(0, &m_later,
                       [action = std::move(action)] { callHandler(action, "deferred action"); });
}

void QtWindow::setTabOrder(const std::vector<Control *> &order)
{
    QWidget *previous = nullptr;
    for (const Control *control : order) {
        QWidget *next = control != nullptr ? controlWidget(*control) : nullptr;
        if (next == nullptr)
            continue;
        if (previous != nullptr)
            QWidget::setTabOrder(previous, next);
        previous = next;
    }
}

void QtWindow::setFocus(Control &control)
{
    if (QWidget *widget = controlWidget(control))
        widget->setFocus(Qt::OtherFocusReason);
}

QWidget *windowWidget(Window &window)
{
    auto *ours = dynamic_cast<QtWindow *>(&window);
    if (ours == nullptr || ours->widget() == nullptr)
        throw RuntimeError(ErrorKind::Refused, "the window is not one of this runtime's");
    return ours->widget();
}

} // namespace runtime::qt
