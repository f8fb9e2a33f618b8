#include "../SkinLooks.h"
#include "runtime/Controls.h"
#include "runtime/RuntimeError.h"
#include "runtime/SkinLook.h"
#include "runtime/Testing.h"
#include "runtime/qt/Window.h"
#include "support/TestUtil.h"

#include <QApplication>
#include <QBuffer>
#include <QImage>
#include <QMouseEvent>
#include <QProgressBar>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>
#include <stdexcept>

using runtime::Color;
using runtime::controls;
using runtime::ErrorKind;
using runtime::PixelRect;
using runtime::RuntimeError;
using runtime::SkinLook;
using testutil::colorsNear;
using testutil::gradientColorAt;
using testutil::pixelAt;
using testutil::rowFraction;
namespace look = runtime::look;
using skinlooks::flatSage;
using skinlooks::gradient;
using skinlooks::rgb;
using skinlooks::softCrystal;

namespace {

QColor qcolor(Color color)
{
    return QColor(color.r, color.g, color.b, color.a);
}

QGradientStops qstops(const look::Fill &fill)
{
    QGradientStops stops;
    for (const look::GradientStop &stop : fill.stops)
        stops.append({stop.position, qcolor(stop.color)});
    return stops;
}

// 8 x 4 pixels: the left half red, the right half blue.
look::Image halvesImage(int hue = 0)
{
    QImage image(8, 4, QImage::Format_ARGB32);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 8; ++x)
            image.setPixelColor(x, y, x < 4 ? QColor(255, 0, 0) : QColor(0, 0, 255));
    return {testutil::pngOf(image), 8, 4, hue};
}

// A window laid out like the update window's visible panel, with one plain control out of
// sight; it counts how often it is closed.
struct PanelWindow
{
    PanelWindow()
    {
        window->setClientSize(5430, 990);
        window->setBackColor({224, 224, 224});
        label = controls().createSkinLabel(*window);
        label->setPlace({240, 240, 1935, 255});
        bar = controls().createProgressBar(*window);
        bar->setPlace({240, 480, 4935, 315});
        edit = controls().createTextBox(*window);
        edit->setPlace({3600, 2250, 3000, 315});
        edit->setText("out of sight");
        panel = controls().createShape(*window);
        panel->setPlace({120, 120, 5175, 735});
        window->onClose([this] { ++closes; });
    }

    QWidget *widget() const { return QWidget::find(static_cast<WId>(window->handle())); }
    QWidget *barWidget() const { return runtime::qt::controlWidget(*bar); }
    QWidget *labelWidget() const { return runtime::qt::controlWidget(*label); }
    QWidget *editWidget() const { return runtime::qt::controlWidget(*edit); }
    // Where the client area starts inside the window, in the window's own coordinates.
    QPoint clientOrigin() const { return widget()->contentsRect().topLeft(); }

    // The window first: controls go before their window.
    std::unique_ptr<runtime::Window> window = controls().createWindow();
    std::unique_ptr<runtime::SkinLabel> label;
    std::unique_ptr<runtime::ProgressBar> bar;
    std::unique_ptr<runtime::TextBox> edit;
    std::unique_ptr<runtime::Shape> panel;
    int closes = 0;
};

void draw(runtime::SkinPainter &painter, PanelWindow &panel, const SkinLook &look)
{
    painter.attach(panel.window->handle());
    painter.load(look);
    painter.apply(panel.window->handle());
}

QImage grabbed(const PanelWindow &panel)
{
    QApplication::processEvents();
    return panel.widget()->grab().toImage();
}

template <typename Call> std::string refusal(Call &&call)
{
    try {
        call();
    } catch (const RuntimeError &error) {
        EXPECT_EQ(error.kind(), ErrorKind::Refused) << error.what();
        return error.what();
    }
    ADD_FAILURE() << "nothing was refused";
    return {};
}

// The title bar's colour at x = 300, away from the caption and the close button, on the rows a
// quarter and three quarters down.
void expectTitleBar(const QImage &image, const SkinLook &look, const char *what)
{
    const int top = look.frame.borderWidth;
    const int height = look.title.height;
    for (const int y : {top + height / 4, top + height * 3 / 4}) {
        const QColor expected =
            gradientColorAt(qstops(look.title.background), rowFraction(y, top, height));
        const QColor actual = pixelAt(image, {300, y});
        EXPECT_TRUE(colorsNear(actual, expected))
            << what << ": title row " << y << " is " << actual.name().toStdString() << ", not "
            << expected.name().toStdString();
    }
}

// The bar's fill a little right of its left end, on rows a third and two thirds down.
void expectBarFill(const QImage &image, const QWidget &bar, const SkinLook &look, const char *what)
{
    const int inset = look.bar.grooveBorderColor ? 1 : 0;
    const QRect track = bar.geometry().adjusted(inset, inset, -inset, -inset);
    for (const int y : {track.top() + track.height() / 3, track.top() + track.height() * 2 / 3}) {
        const QColor expected =
            gradientColorAt(qstops(look.bar.fill), rowFraction(y, track.top(), track.height()));
        const QColor actual = pixelAt(image, {track.left() + 30, y});
        EXPECT_TRUE(colorsNear(actual, expected))
            << what << ": fill row " << y << " is " << actual.name().toStdString() << ", not "
            << expected.name().toStdString();
    }
}

} // namespace

TEST(SkinPainter, RefusesWhatItCannotUseAndKeepsWhatItHad)
{
    PanelWindow panel;
    const auto painter = controls().createSkinPainter(*panel.window);
    const runtime::WindowHandle handle = panel.window->handle();
    refusal([&] { painter->attach(0); });
    refusal(
        [&] { painter->attach(static_cast<runtime::WindowHandle>(panel.barWidget()->winId())); });
    refusal([&] { painter->apply(handle); }); // nothing attached
    painter->attach(handle);
    refusal([&] { painter->apply(handle); }); // nothing prepared

    SkinLook damaged = flatSage();
    damaged.client.image = look::Image{"\x89PNG\r\n\x1a\n but nothing after", 8, 4, 0};
    EXPECT_NE(refusal([&] { painter->load(damaged); }).find("cannot be decoded"),
              std::string::npos);
    SkinLook misdeclared = flatSage();
    misdeclared.bar.fill.image = halvesImage();
    misdeclared.bar.fill.image->height = 5;
    refusal([&] { painter->load(misdeclared); });
    refusal([&] { painter->apply(handle); }); // a refused look is not prepared either
    EXPECT_EQ(panel.window->framePixels(), (PixelRect{0, 0, 362, 66})) << "nothing drawn";
    EXPECT_FALSE(runtime::testing::isFrameless(*panel.window));

    PanelWindow other;
    painter->load(flatSage());
    refusal([&] { painter->apply(other.window->handle()); }); // not the attached window

    // A refused look leaves the one prepared before in force.
    refusal([&] { painter->load(damaged); });
    painter->apply(handle);
    expectTitleBar(grabbed(panel), flatSage(), "FlatSage after a refused look");
}

TEST(SkinPainter, DrawsTheFrameAroundTheDesignClientArea)
{
    PanelWindow panel;
    panel.window->show();
    const QPoint centre = panel.widget()->geometry().center();
    const auto painter = controls().createSkinPainter(*panel.window);
    draw(*painter, panel, softCrystal());
    panel.bar->setValue(50.0F);

    EXPECT_TRUE(runtime::testing::isFrameless(*panel.window));
    EXPECT_TRUE(panel.window->isVisible()) << "a shown window stays shown when it gets its frame";
    EXPECT_EQ(panel.window->framePixels(), (PixelRect{0, 0, 364, 90}))
        << "362 x 66 inside a 1-pixel border, 22 of title";
    EXPECT_EQ(panel.window->clientPixels(), (PixelRect{0, 0, 362, 66}));
    EXPECT_EQ(panel.clientOrigin(), QPoint(1, 23));
    EXPECT_EQ(panel.bar->pixels(), (PixelRect{16, 32, 329, 21})) << "its place on the client area";
    EXPECT_EQ(panel.barWidget()->geometry(), QRect(17, 55, 329, 21));
    EXPECT_LE((panel.widget()->geometry().center() - centre).manhattanLength(), 1)
        << "stays centred";

    QImage image = grabbed(panel);
    expectTitleBar(image, softCrystal(), "SoftCrystal");
    expectBarFill(image, *panel.barWidget(), softCrystal(), "SoftCrystal");
    EXPECT_EQ(pixelAt(image, {0, 45}), qcolor(softCrystal().frame.borderColor));
    EXPECT_EQ(pixelAt(image, {1, 45}), QColor(255, 255, 255)) << "the inner border";
    EXPECT_EQ(panel.labelWidget()->palette().color(QPalette::WindowText),
              qcolor(*softCrystal().label.textColor));

    // A control placed while a frame is on goes to its place on the client area, and keeps it
    // under the next frame, as the design places do.
    panel.edit->setPlace({240, 2700, 3000, 315});
    EXPECT_EQ(panel.editWidget()->pos(), QPoint(17, 203));

    draw(*painter, panel, flatSage());
    EXPECT_EQ(panel.window->framePixels(), (PixelRect{0, 0, 366, 90}));
    EXPECT_EQ(panel.barWidget()->geometry(), QRect(18, 54, 329, 21));
    EXPECT_EQ(panel.bar->pixels(), (PixelRect{16, 32, 329, 21}));
    EXPECT_EQ(panel.edit->pixels(), (PixelRect{16, 180, 200, 21}));
    image = grabbed(panel);
    expectTitleBar(image, flatSage(), "FlatSage");
    expectBarFill(image, *panel.barWidget(), flatSage(), "FlatSage");

    // A font the system lacks is no refusal: the platform picks another.
    SkinLook missingFont = flatSage();
    missingFont.title.font.family = "Refitor No Such Family";
    missingFont.label.font->family = "Refitor No Such Family";
    painter->load(missingFont);
    painter->apply(panel.window->handle());
    EXPECT_FALSE(QFontInfo(panel.labelWidget()->font()).family().isEmpty());
    expectTitleBar(grabbed(panel), flatSage(), "FlatSage with a missing font");
}

TEST(SkinPainter, CloseButtonAndTitleBarActLikeThePlatformFrame)
{
    PanelWindow panel;
    panel.window->show();
    const auto painter = controls().createSkinPainter(*panel.window);
    draw(*painter, panel, softCrystal());
    auto *bar = panel.widget()->findChild<QWidget *>(QStringLiteral("skinTitleBar"));
    ASSERT_NE(bar, nullptr);
    panel.window->setCaption("Updating Korvane 12%");

    // Pressing the close button and sliding off it before the release closes nothing.
    const QPoint button(bar->width() - 3 - 8, bar->height() / 2);
    QTest::mousePress(bar, Qt::LeftButton, {}, button);
    QTest::mouseRelease(bar, Qt::LeftButton, {}, button - QPoint(60, 0));
    EXPECT_EQ(panel.closes, 0);

    // Dragging the title bar moves the window by as much as the mouse moved (offscreen there is
    // no window manager to take the move over).
    const QPoint start = panel.widget()->pos();
    const QPoint grip(40, bar->height() / 2);
    QTest::mousePress(bar, Qt::LeftButton, {}, grip);
    QMouseEvent move(QEvent::MouseMove, QPointF(grip + QPoint(30, 20)),
                     QPointF(bar->mapToGlobal(grip + QPoint(30, 20))), Qt::NoButton, Qt::LeftButton,
                     Qt::NoModifier);
    QApplication::sendEvent(bar, &move);
    QTest::mouseRelease(bar, Qt::LeftButton, {}, grip + QPoint(30, 20));
    EXPECT_EQ(panel.widget()->pos(), start + QPoint(30, 20));

    QTest::mouseClick(bar, Qt::LeftButton, {}, button);
    EXPECT_EQ(panel.closes, 1) << "the window's close handler hears of the skin's close button";
    EXPECT_FALSE(panel.window->isVisible());
}

TEST(SkinPainter, SettingsChangeWhatIsDrawn)
{
    PanelWindow panel;
    panel.window->show();
    panel.bar->setValue(50.0F);
    const auto painter = controls().createSkinPainter(*panel.window);
    const SkinLook crystal = softCrystal();
    const QPalette designEdit = panel.editWidget()->palette();

    // Design settings: SoftCrystal declares no panel fill, so the settings' panel colour shows;
    // the plain controls take the settings' colours.
    runtime::SkinSettings settings;
    painter->setSettings(settings);
    draw(*painter, panel, crystal);
    const QPoint panelInside = panel.clientOrigin() + QPoint(180, 12);
    const QPoint clientOutside = panel.clientOrigin() + QPoint(4, 30);
    QImage image = grabbed(panel);
    EXPECT_EQ(pixelAt(image, panelInside), QColor(216, 233, 236));
    EXPECT_EQ(panel.editWidget()->palette().color(QPalette::Base), QColor(255, 255, 255));
    EXPECT_EQ(panel.editWidget()->palette().color(QPalette::Text), QColor(0, 0, 0));

    // No colours applied: the panel shows the client background through, the plain controls
    // get their own palette back.
    settings.applyColors = false;
    painter->setSettings(settings);
    painter->apply(panel.window->handle());
    image = grabbed(panel);
    const QRect client = panel.widget()->contentsRect();
    EXPECT_TRUE(
        colorsNear(pixelAt(image, panelInside),
                   gradientColorAt(qstops(crystal.client),
                                   rowFraction(panelInside.y(), client.top(), client.height()))));
    EXPECT_EQ(panel.editWidget()->palette(), designEdit);
    settings.applyColors = true;
    settings.backColor = {10, 20, 30};
    painter->setSettings(settings);
    painter->apply(panel.window->handle());
    EXPECT_EQ(panel.editWidget()->palette().color(QPalette::Base), QColor(10, 20, 30));

    // Only the frame is skinned: the client area, bar and labels keep the platform's look, and
    // the panel still takes the settings' colour.
    settings.skinClientArea = false;
    settings.panelTextColor = {90, 0, 0};
    painter->setSettings(settings);
    painter->apply(panel.window->handle());
    image = grabbed(panel);
    expectTitleBar(image, crystal, "frame only");
    EXPECT_EQ(pixelAt(image, clientOutside), QColor(224, 224, 224));
    EXPECT_TRUE(panel.barWidget()->findChild<QProgressBar *>()->isVisible())
        << "the platform's own bar is back";
    EXPECT_EQ(pixelAt(image, panelInside), QColor(216, 233, 236));
    EXPECT_EQ(panel.labelWidget()->palette().color(QPalette::WindowText), QColor(90, 0, 0))
        << "the settings' panel text colour, not the skin's";
}

TEST(SkinPainter, DecodesImagesAndTurnsTheirHue)
{
    PanelWindow panel;
    panel.window->show();
    const auto painter = controls().createSkinPainter(*panel.window);
    // Tiled at its own size, so its halves repeat every 8 logical pixels across the client area.
    SkinLook tiled = flatSage();
    tiled.client.image = halvesImage();
    tiled.client.imageMode = look::Fill::ImageMode::Tile;
    draw(*painter, panel, tiled);
    const QPoint origin = panel.clientOrigin();
    QImage image = grabbed(panel);
    EXPECT_TRUE(colorsNear(pixelAt(image, origin + QPoint(1, 60)), QColor(255, 0, 0)));
    EXPECT_TRUE(colorsNear(pixelAt(image, origin + QPoint(5, 60)), QColor(0, 0, 255)));
    EXPECT_TRUE(colorsNear(pixelAt(image, origin + QPoint(9, 60)), QColor(255, 0, 0)))
        << "the second tile";

    // A third of the way round: red turns green, blue turns red.
    tiled.client.image->hue = 120;
    painter->load(tiled);
    painter->apply(panel.window->handle());
    image = grabbed(panel);
    EXPECT_TRUE(colorsNear(pixelAt(image, origin + QPoint(1, 60)), QColor(0, 255, 0)));
    EXPECT_TRUE(colorsNear(pixelAt(image, origin + QPoint(5, 60)), QColor(255, 0, 0)));

    // Stretched over the whole client area, the halves split it down the middle.
    SkinLook stretched = flatSage();
    stretched.client.image = halvesImage();
    painter->load(stretched);
    painter->apply(panel.window->handle());
    image = grabbed(panel);
    EXPECT_TRUE(colorsNear(pixelAt(image, origin + QPoint(9, 60)), QColor(255, 0, 0)));
    EXPECT_TRUE(colorsNear(pixelAt(image, origin + QPoint(352, 60)), QColor(0, 0, 255)));
}

// Borders, the title bar's lower edge and the end of the bar's fill fall on whole device pixels
// at the scale the test runs at (ctest runs it again at QT_SCALE_FACTOR=2).
TEST(SkinPainter, EdgesStaySharpAtAnyScale)
{
    PanelWindow panel;
    panel.window->show();
    panel.bar->setValue(50.0F);
    const auto painter = controls().createSkinPainter(*panel.window);
    const SkinLook flat = flatSage();
    draw(*painter, panel, flat);
    const QImage image = grabbed(panel);
    const qreal expectedRatio = qEnvironmentVariableIsSet("QT_SCALE_FACTOR")
                                    ? qEnvironmentVariable("QT_SCALE_FACTOR").toDouble()
                                    : 1.0;
    ASSERT_EQ(image.devicePixelRatio(), expectedRatio);
    const int ratio = static_cast<int>(image.devicePixelRatio());
    const QColor border = qcolor(flat.frame.borderColor);
    const QColor client = qcolor(flat.client.stops.front().color);
    const QColor title = qcolor(flat.title.background.stops.front().color);

    const int b = flat.frame.borderWidth * ratio;
    const int row = 70 * ratio; // beside the panel, below the title bar
    for (int x = 0; x < b; ++x)
        EXPECT_EQ(image.pixelColor(x, row), border) << "border column " << x;
    EXPECT_EQ(image.pixelColor(b, row), client);

    const int titleEnd = (flat.frame.borderWidth + flat.title.height) * ratio;
    EXPECT_EQ(image.pixelColor(300 * ratio, titleEnd - 1), title);
    EXPECT_EQ(image.pixelColor(300 * ratio, titleEnd), client);

    // Half of 329 pixels is 164.5: the fill ends on a whole pixel, 165.
    const QWidget *bar = panel.barWidget();
    const int fillEnd = (bar->x() + 165) * ratio;
    const int barRow = (bar->y() + 10) * ratio;
    EXPECT_EQ(image.pixelColor(fillEnd - 1, barRow), qcolor(flat.bar.fill.stops.front().color));
    EXPECT_EQ(image.pixelColor(fillEnd, barRow), qcolor(flat.bar.groove.stops.front().color));
}
