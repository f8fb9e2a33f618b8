// What only the Qt runtime's controls show: the widgets behind them, their fonts and alignment,
// and a top-level window that Qt places in logical pixels without a frame of its own. The cases
// every runtime shares are in runtime/ControlsTest.cpp.

#include "runtime/Controls.h"

#include "runtime/Screen.h"
#include "runtime/qt/Window.h"

#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>

using runtime::controls;
using runtime::PixelRect;

namespace {

QWidget *widgetOf(runtime::Window &window)
{
    return runtime::qt::windowWidget(window);
}

QWidget *widgetOf(const runtime::Control &control)
{
    return runtime::qt::controlWidget(control);
}

} // namespace

TEST(QtWindow, IsAFixedWidgetWithoutAFrameWhoseControlsTakeItsFont)
{
    auto window = controls().createWindow();
    window->setClientSize(5430, 990);
    QWidget *widget = widgetOf(*window);
    ASSERT_NE(widget, nullptr);
    EXPECT_EQ(window->framePixels(), (PixelRect{0, 0, 362, 66}))
        << "no frame but a skin's is counted";
    EXPECT_EQ(widget->minimumSize(), widget->maximumSize()) << "the client area is fixed";

    // A control without a font of its own takes the window's, also when it comes later.
    auto plain = controls().createLabel(*window);
    auto bold = controls().createLabel(*window);
    bold->setFont({"DejaVu Sans", 12, true});
    window->setFont({"DejaVu Sans", 8.25, false});
    EXPECT_EQ(widgetOf(*plain)->font().pointSizeF(), 8.25);
    EXPECT_FALSE(widgetOf(*plain)->font().bold());
    EXPECT_EQ(widgetOf(*bold)->font().pointSizeF(), 12.0);
    EXPECT_TRUE(widgetOf(*bold)->font().bold());

    auto centred = controls().createLabel(*window);
    centred->setCentred(true);
    centred->setAutoSize(true);
    centred->setCaption("Korvane.exe");
    EXPECT_EQ(qobject_cast<QLabel *>(widgetOf(*centred))->alignment(), Qt::AlignCenter);

    window->setIcon(screen::pngOf(32, 32, [](int, int) { return runtime::Color{255, 255, 0}; }));
    EXPECT_FALSE(widget->windowIcon().isNull());

    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(widget));
    // Exactly centred in logical pixels, by its own rectangle.
    const QPoint screenCentre = QGuiApplication::primaryScreen()->availableGeometry().center();
    EXPECT_EQ(widget->pos(), screenCentre - widget->rect().center());
}
