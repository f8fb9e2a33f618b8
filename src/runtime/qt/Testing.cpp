#include "runtime/Testing.h"

#include "Conversions.h"
#include "Transfer.h"
#include "Window.h"
#include "runtime/RuntimeError.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QTimer>
#include <fstream>

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

/// Hands the file to libcurl for transfers started while it lives, and puts back what was there.
class QtTrustedAuthority final : public TrustedAuthority
{
public:
    explicit QtTrustedAuthority(std::filesystem::path file) : m_previous(qt::extraAuthorityFile())
    {
        qt::setExtraAuthorityFile(std::move(file));
    }
    ~QtTrustedAuthority() override { qt::setExtraAuthorityFile(m_previous); }
    QtTrustedAuthority(const QtTrustedAuthority &) = delete;
    QtTrustedAuthority &operator=(const QtTrustedAuthority &) = delete;

private:
    std::filesystem::path m_previous;
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

std::unique_ptr<TrustedAuthority> trustCertificateAuthority(const std::filesystem::path &pemFile)
{
    // libcurl would only find out at the next https connection, as a certificate it cannot
    // verify.
    if (!std::ifstream(pemFile))
        throw RuntimeError("cannot read the certificate authority " + pemFile.string());
    return std::make_unique<QtTrustedAuthority>(std::filesystem::absolute(pemFile));
}

} // namespace runtime::testing
