// What the shared tests of the controls and the skin painter need beyond the runtime's interface,
// on Qt's offscreen platform: widgets grabbed as images, and mouse events sent to the widget under
// a point as the platform would send them.

#include "runtime/Screen.h"

#include "runtime/qt/Window.h"
#include "support/SystemSupport.h"
#include "support/TestUtil.h"

#include <QApplication>
#include <QImage>
#include <QMouseEvent>
#include <QPixmap>
#include <QPointer>
#include <QProgressBar>
#include <QScreen>
#include <QTest>
#include <QWidget>
#include <cmath>

namespace screen {

namespace {

QWidget *widgetOf(runtime::Window &window)
{
    return runtime::qt::windowWidget(window);
}

QWidget *widgetOf(const runtime::Control &control)
{
    return runtime::qt::controlWidget(control);
}

double ratioOf(const QWidget *widget)
{
    return widget != nullptr ? widget->devicePixelRatioF()
                             : QGuiApplication::primaryScreen()->devicePixelRatio();
}

PixelRect device(const QRect &logical, double ratio)
{
    const auto scaled = [ratio](int value) { return static_cast<int>(std::lround(value * ratio)); };
    return {scaled(logical.x()), scaled(logical.y()), scaled(logical.width()),
            scaled(logical.height())};
}

// The offscreen platform has no pointer of its own: the one the gestures move is kept here, in
// logical pixels of the screen, with the widget that took the mouse at a press (Qt sends a
// pressed mouse's moves and release to it, wherever the mouse goes).
QPoint g_pointer;
QPointer<QWidget> g_grabber;
QPointer<QWidget> g_hovered;

QWidget *widgetUnder(QWidget *window, QPoint global)
{
    QWidget *found = window->childAt(window->mapFromGlobal(global));
    return found != nullptr ? found : window;
}

void sendMove(QWidget *target, QPoint global, Qt::MouseButtons buttons)
{
    const QPoint local = target->mapFromGlobal(global);
    QMouseEvent move(QEvent::MouseMove, QPointF(local), QPointF(global), Qt::NoButton, buttons,
                     Qt::NoModifier);
    QApplication::sendEvent(target, &move);
}

void hover(QWidget *target)
{
    if (g_hovered == target)
        return;
    if (g_hovered != nullptr) {
        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(g_hovered, &leave);
    }
    g_hovered = target;
}

} // namespace

Shot shoot(runtime::Window &window, Reading reading)
{
    QApplication::processEvents();
    QWidget *widget = widgetOf(window);
    const QImage image =
        (reading == Reading::Repainted ? widget->grab()
                                       : widget->screen()->grabWindow(widget->winId()))
            .toImage()
            .convertToFormat(QImage::Format_RGB32);
    Shot shot;
    if (image.isNull() || widget->width() == 0)
        return shot;
    shot.width = image.width();
    shot.height = image.height();
    shot.scale = static_cast<double>(image.width()) / widget->width();
    const QPoint origin = widget->contentsRect().topLeft();
    shot.clientOrigin = {shot.px(origin.x()), shot.px(origin.y())};
    shot.pixels.reserve(static_cast<std::size_t>(shot.width) * shot.height);
    for (int y = 0; y < shot.height; ++y)
        for (int x = 0; x < shot.width; ++x) {
            const QRgb pixel = image.pixel(x, y);
            shot.pixels.push_back({static_cast<std::uint8_t>(qRed(pixel)),
                                   static_cast<std::uint8_t>(qGreen(pixel)),
                                   static_cast<std::uint8_t>(qBlue(pixel))});
        }
    return shot;
}

double scaleOf(runtime::Window &window)
{
    return ratioOf(widgetOf(window));
}

PixelRect frameOnScreen(runtime::Window &window)
{
    QWidget *widget = widgetOf(window);
    return device(widget->frameGeometry(), ratioOf(widget));
}

PixelRect workArea(runtime::Window &window)
{
    QWidget *widget = widgetOf(window);
    return device(widget->screen()->availableGeometry(), ratioOf(widget));
}

bool centresItsWholeFrame()
{
    // A top-level widget learns its window manager's frame only once it is shown, so the window
    // centres its own rectangle at the frame's place.
    return false;
}

void moveFrame(runtime::Window &window, int x, int y)
{
    QWidget *widget = widgetOf(window);
    const double ratio = ratioOf(widget);
    widget->move(static_cast<int>(std::lround(x / ratio)),
                 static_cast<int>(std::lround(y / ratio)));
}

void closeFromCode(runtime::Window &window)
{
    widgetOf(window)->close();
    QApplication::processEvents();
}

void deliverPosted()
{
    QApplication::processEvents();
    // Not delivered by processEvents at the outermost loop level, and a window that goes inside
    // its own close handler leaves its widget to one.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

PixelRect nativePlace(const runtime::Control &control)
{
    QWidget *widget = widgetOf(control);
    if (widget == nullptr)
        return {};
    const QPoint topLeft = widget->mapTo(widget->window(), QPoint(0, 0));
    return device(QRect(topLeft, widget->size()), ratioOf(widget));
}

void placeAsAContainer(runtime::Control &control, const PixelRect &logical)
{
    QWidget *widget = widgetOf(control);
    if (widget == nullptr)
        return;
    QPoint topLeft(logical.left, logical.top);
    if (QWidget *parent = widget->parentWidget()) {
        QWidget *window = widget->window();
        topLeft = parent->mapFrom(window, window->contentsRect().topLeft() + topLeft);
    }
    widget->setGeometry(QRect(topLeft, QSize(logical.width, logical.height)));
}

bool shownOnScreen(const runtime::Control &control)
{
    const QWidget *widget = widgetOf(control);
    return widget != nullptr && widget->isVisible();
}

runtime::WindowHandle nativeHandleOf(const runtime::Control &control)
{
    QWidget *widget = widgetOf(control);
    return widget != nullptr ? static_cast<runtime::WindowHandle>(widget->winId()) : 0;
}

std::pair<int, int> barSteps(const runtime::ProgressBar &bar)
{
    const QWidget *widget = widgetOf(bar);
    const auto *drawn = widget != nullptr ? widget->findChild<QProgressBar *>() : nullptr;
    return drawn != nullptr ? std::pair{drawn->value(), drawn->maximum()} : std::pair{-1, -1};
}

std::pair<Color, Color> textBoxColors(runtime::TextBox &box)
{
    const QPalette palette = widgetOf(box)->palette();
    const auto color = [&](QPalette::ColorRole role) {
        const QColor c = palette.color(role);
        return Color{static_cast<std::uint8_t>(c.red()), static_cast<std::uint8_t>(c.green()),
                     static_cast<std::uint8_t>(c.blue())};
    };
    return {color(QPalette::Base), color(QPalette::Text)};
}

std::string pngOf(int width, int height, const std::function<Color(int x, int y)> &pixel)
{
    QImage image(width, height, QImage::Format_ARGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const Color c = pixel(x, y);
            image.setPixelColor(x, y, QColor(c.r, c.g, c.b, c.a));
        }
    return testutil::pngOf(image);
}

std::string makeHiddenSkinFile(const std::filesystem::path &folder)
{
    support::writeFile(folder / ".hidden.skn", "x");
    return ".hidden.skn";
}

std::string rootFolder()
{
    return "/";
}

bool namesIgnoreCase()
{
    return false;
}

void mouse(runtime::Window &window, const std::vector<MouseStep> &steps)
{
    QWidget *widget = widgetOf(window);
    const double ratio = ratioOf(widget);
    const QPoint frame = widget->mapToGlobal(QPoint(0, 0));
    for (const MouseStep &step : steps) {
        switch (step.kind) {
        case MouseStep::Kind::Move: {
            g_pointer = frame + QPoint(static_cast<int>(std::lround(step.at.x / ratio)),
                                       static_cast<int>(std::lround(step.at.y / ratio)));
            if (g_grabber != nullptr) {
                sendMove(g_grabber, g_pointer, Qt::LeftButton);
            } else {
                QWidget *target = widgetUnder(widget, g_pointer);
                hover(target);
                sendMove(target, g_pointer, Qt::NoButton);
            }
            break;
        }
        case MouseStep::Kind::Press: {
            QWidget *target = widgetUnder(widget, g_pointer);
            g_grabber = target;
            QTest::mousePress(target, Qt::LeftButton, {}, target->mapFromGlobal(g_pointer));
            break;
        }
        case MouseStep::Kind::Release: {
            QWidget *target =
                g_grabber != nullptr ? g_grabber.data() : widgetUnder(widget, g_pointer);
            g_grabber = nullptr;
            QTest::mouseRelease(target, Qt::LeftButton, {}, target->mapFromGlobal(g_pointer));
            break;
        }
        }
    }
    QApplication::processEvents();
}

Point pointer()
{
    const double ratio = QGuiApplication::primaryScreen()->devicePixelRatio();
    return {static_cast<int>(std::lround(g_pointer.x() * ratio)),
            static_cast<int>(std::lround(g_pointer.y() * ratio))};
}

} // namespace screen
