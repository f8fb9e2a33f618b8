// What only the Qt runtime's skin painter shows: the palettes and fonts it gives the widgets, and
// the platform's own bar widget it hides and shows. The cases every runtime shares are in
// runtime/SkinPainterTest.cpp.

#include "runtime/Controls.h"
#include "runtime/SkinLook.h"
#include "runtime/SkinLooks.h"
#include "runtime/qt/Window.h"

#include <QApplication>
#include <QFontInfo>
#include <QPalette>
#include <QProgressBar>
#include <QWidget>
#include <gtest/gtest.h>

using runtime::controls;
using skinlooks::flatSage;
using skinlooks::softCrystal;

namespace {

QColor qcolor(runtime::Color color)
{
    return QColor(color.r, color.g, color.b, color.a);
}

} // namespace

TEST(QtSkinPainter, GivesTheSkinsTextColourAndFontToItsLabelsAndHidesThePlatformsBar)
{
    auto window = controls().createWindow();
    window->setClientSize(5430, 990);
    auto label = controls().createSkinLabel(*window);
    label->setPlace({240, 240, 1935, 255});
    auto bar = controls().createProgressBar(*window);
    bar->setPlace({240, 480, 4935, 315});
    window->show();
    QWidget *labelWidget = runtime::qt::controlWidget(*label);
    const auto *platformBar = runtime::qt::controlWidget(*bar)->findChild<QProgressBar *>();
    ASSERT_NE(platformBar, nullptr);
    const auto painter = controls().createSkinPainter(*window);
    painter->attach(window->handle());
    painter->load(softCrystal());
    painter->apply(window->handle());
    QApplication::processEvents();
    EXPECT_EQ(labelWidget->palette().color(QPalette::WindowText),
              qcolor(*softCrystal().label.textColor));
    EXPECT_FALSE(platformBar->isVisible()) << "the skin draws the bar";

    runtime::look::SkinLook missingFont = flatSage();
    missingFont.label.font->family = "Refitor No Such Family";
    painter->load(missingFont);
    painter->apply(window->handle());
    EXPECT_FALSE(QFontInfo(labelWidget->font()).family().isEmpty());

    // Only the frame skinned: the platform's own bar is back, and the labels take the settings'
    // panel text colour.
    runtime::SkinSettings settings;
    settings.skinClientArea = false;
    settings.panelTextColor = {90, 0, 0};
    painter->setSettings(settings);
    painter->apply(window->handle());
    QApplication::processEvents();
    EXPECT_TRUE(platformBar->isVisible());
    EXPECT_EQ(labelWidget->palette().color(QPalette::WindowText), QColor(90, 0, 0));
}
