#include "runtime/Testing.h"

#include "Conversions.h"
#include "Window.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

namespace runtime::testing {

namespace {

Qt::Key qtKey(Key key)
{
    switch (key) {
    case Key::Space:
        return Qt::Key_Space;
    case Key::Tab:
        return Qt::Key_Tab;
    case Key::Up:
        return Qt::Key_Up;
    case Key::Down:
        return Qt::Key_Down;
    case Key::Return:
        break;
    }
    return Qt::Key_Return;
}

/// Answers each message box it sees, from a timer: a box runs an event loop of its own, which
/// keeps dispatching the timer's events.
class QtMessageBoxAnswerer final : public MessageBoxAnswerer
{
public:
    explicit QtMessageBoxAnswerer(
        std::function<void(const std::string &text, const std::string &title)> seen)
        : m_seen(std::move(seen))
    {
        m_timer.setInterval(50);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { answer(); });
        m_timer.start();
    }

private:
    void answer()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (box == nullptr)
            return;
        if (m_seen)
            m_seen(qt::toUtf8(box->text()), qt::toUtf8(box->windowTitle()));
        if (QAbstractButton *ok = box->button(QMessageBox::Ok))
            ok->click();
        else
            box->done(QMessageBox::Ok);
    }

    std::function<void(const std::string &, const std::string &)> m_seen;
    QTimer m_timer;
};

class QtTicker final : public Ticker
{
public:
    QtTicker(int intervalMs, std::function<void()> tick) : m_tick(std::move(tick))
    {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { m_tick(); });
        m_timer.start(intervalMs);
    }

private:
    std::function<void()> m_tick;
    QTimer m_timer;
};

} // namespace

bool activate(Window &window, int timeoutMs)
{
    QWidget *widget = qt::windowWidget(window);
    QApplication::setActiveWindow(widget);
    return QTest::qWaitForWindowActive(widget, timeoutMs);
}

void pressKey(Key key)
{
    QWidget *target = QApplication::focusWidget();
    if (target == nullptr)
        target = QApplication::activeWindow();
    if (target != nullptr)
        QTest::keyClick(target, qtKey(key));
    QCoreApplication::processEvents();
}

void requestClose(Window &window)
{
    // A top-level widget closes through its platform window, as a window manager's request
    // does, so the close event is the one the window manager's would be.
    qt::windowWidget(window)->close();
    QCoreApplication::processEvents();
}

bool isFrameless(Window &window)
{
    return qt::windowWidget(window)->windowFlags().testFlag(Qt::FramelessWindowHint);
}

std::unique_ptr<Ticker> tickEvery(int intervalMs, std::function<void()> tick)
{
    return std::make_unique<QtTicker>(intervalMs, std::move(tick));
}

std::unique_ptr<MessageBoxAnswerer>
answerMessageBoxes(std::function<void(const std::string &text, const std::string &title)> seen)
{
    return std::make_unique<QtMessageBoxAnswerer>(std::move(seen));
}

} // namespace runtime::testing
