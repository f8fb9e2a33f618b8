#include "runtime/Controls.h"

#include "runtime/Application.h"
#include "runtime/MessageBox.h"
#include "runtime/RuntimeError.h"
#include "runtime/Testing.h"
#include "runtime/qt/Window.h"
#include "support/SystemSupport.h"
#include "support/TestUtil.h"

#include <QBuffer>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QProgressBar>
#include <QScreen>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>
#include <limits>
#include <stdexcept>

using runtime::controls;
using runtime::ErrorKind;
using runtime::PixelRect;
using runtime::RuntimeError;
using runtime::testing::Key;
using runtime::testing::pressKey;
using testutil::pixelAt;

namespace {

QWidget *widgetOf(runtime::Window &window)
{
    return QWidget::find(static_cast<WId>(window.handle()));
}

QWidget *widgetOf(const runtime::Control &control)
{
    return runtime::qt::controlWidget(control);
}

// The update window's size and background, as its layout gives them.
std::unique_ptr<runtime::Window> designWindow()
{
    auto window = controls().createWindow();
    window->setClientSize(5430, 990);
    window->setBackColor({224, 224, 224});
    return window;
}

QImage grabbed(runtime::Window &window)
{
    QCoreApplication::processEvents();
    return widgetOf(window)->grab().toImage();
}

template <typename Call> ErrorKind errorKindOf(Call &&call)
{
    try {
        call();
    } catch (const RuntimeError &error) {
        return error.kind();
    }
    ADD_FAILURE() << "no RuntimeError was thrown";
    return ErrorKind::Failed;
}

} // namespace

TEST(Window, TakesWhatTheLayoutGivesAndIsCentredWhenFirstShown)
{
    auto window = designWindow();
    QWidget *widget = widgetOf(*window);
    ASSERT_NE(widget, nullptr);
    const runtime::WindowHandle handle = window->handle();

    window->setCaption("Actualizando Korvane – 12 %");
    EXPECT_EQ(window->Caption(), "Actualizando Korvane – 12 %");
    EXPECT_EQ(window->clientPixels(), (PixelRect{0, 0, 362, 66}));
    EXPECT_EQ(window->framePixels(), (PixelRect{0, 0, 362, 66}));
    EXPECT_EQ(widget->minimumSize(), widget->maximumSize()) << "the client area is fixed";
    EXPECT_EQ(window->backColor(), (runtime::Color{224, 224, 224}));
    EXPECT_FALSE(runtime::testing::isFrameless(*window));

    // A control without a font of its own takes the window's, also when it comes later.
    auto plain = controls().createLabel(*window);
    auto bold = controls().createLabel(*window);
    bold->setFont({"DejaVu Sans", 12, true});
    window->setFont({"DejaVu Sans", 8.25, false});
    EXPECT_EQ(widgetOf(*plain)->font().pointSizeF(), 8.25);
    EXPECT_FALSE(widgetOf(*plain)->font().bold());
    EXPECT_EQ(widgetOf(*bold)->font().pointSizeF(), 12.0);

    EXPECT_EQ(errorKindOf([&] { window->setIcon("GIF89a not a png"); }), ErrorKind::Refused);
    QImage icon(32, 32, QImage::Format_ARGB32);
    icon.fill(Qt::yellow);
    window->setIcon(testutil::pngOf(icon));
    EXPECT_FALSE(widget->windowIcon().isNull());

    EXPECT_FALSE(window->isVisible());
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(widget));
    EXPECT_TRUE(window->isVisible());
    // Centred by its own rectangle: the platform's frame is unknown until it is first shown.
    const QPoint screenCentre = QGuiApplication::primaryScreen()->availableGeometry().center();
    EXPECT_EQ(widget->pos(), screenCentre - widget->rect().center());
    EXPECT_EQ(window->handle(), handle) << "the same handle for the window's whole life";

    // Only the first showing centres it: a window the user moved stays where they put it.
    widget->hide();
    widget->move(10, 20);
    window->show();
    EXPECT_EQ(widget->pos(), QPoint(10, 20));
}

TEST(Window, EveryCloseRunsTheCloseHandlerBeforeTheWindowGoes)
{
    auto window = designWindow();
    int closes = 0;
    bool visibleInHandler = false;
    window->onClose([&] {
        ++closes;
        visibleInHandler = window->isVisible();
    });
    window->show();

    runtime::testing::requestClose(*window);
    EXPECT_EQ(closes, 1);
    EXPECT_TRUE(visibleInHandler);
    EXPECT_FALSE(window->isVisible());

    window->show();
    widgetOf(*window)->close();
    EXPECT_EQ(closes, 2) << "a close() in code is a close too";

    // A failing handler cannot unwind through Qt's event delivery; the window closes anyway.
    window->show();
    window->onClose([] { throw RuntimeError("the handler failed"); });
    runtime::testing::requestClose(*window);
    EXPECT_FALSE(window->isVisible());

    window->onClose([&] { ++closes; });
    window.reset();
    EXPECT_EQ(closes, 2) << "destroying a window is no close";
}

TEST(Window, ClosesFromItsOwnCloseHandlerWithoutHarm)
{
    auto window = designWindow();
    auto label = controls().createLabel(*window);
    window->onClose([&] {
        label.reset();
        window.reset();
    });
    window->show();
    runtime::testing::requestClose(*window);
    EXPECT_FALSE(window);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

TEST(Window, InvokeLaterRunsOnceEventsAreDispatchedAndNeverAfterTheWindowIsGone)
{
    auto window = designWindow();
    std::vector<std::string> order;
    window->invokeLater([&] { order.push_back("later"); });
    order.push_back("now");
    ASSERT_TRUE(support::waitUntil([&] { return order.size() == 2; }));
    EXPECT_EQ(order, (std::vector<std::string>{"now", "later"}));

    bool ran = false;
    window->invokeLater([&] { ran = true; });
    window.reset();
    support::settle(50);
    EXPECT_FALSE(ran);
}

TEST(Window, TabMovesTheFocusInLayoutOrderSkippingHiddenControlsAndSpaceClicks)
{
    auto window = designWindow();
    auto list = controls().createFileListBox(*window);
    auto save = controls().createTextBox(*window);
    auto button = controls().createCommandButton(*window);
    auto url = controls().createTextBox(*window);
    button->setCaption("Download");
    EXPECT_EQ(button->Caption(), "Download");
    int clicks = 0;
    button->onClick([&] { ++clicks; });
    window->setTabOrder({button.get(), url.get(), save.get(), list.get()});
    window->setFocus(*button);
    window->show();
    ASSERT_TRUE(runtime::testing::activate(*window));
    EXPECT_TRUE(button->hasFocus());

    pressKey(Key::Space);
    EXPECT_EQ(clicks, 1);

    pressKey(Key::Tab);
    EXPECT_TRUE(url->hasFocus());
    pressKey(Key::Tab);
    EXPECT_TRUE(save->hasFocus());
    pressKey(Key::Tab);
    EXPECT_TRUE(list->hasFocus());

    save->setVisible(false);
    window->setFocus(*url);
    pressKey(Key::Tab);
    EXPECT_TRUE(list->hasFocus()) << "a hidden control never takes the focus";
}

TEST(Controls, PlacesAreTwipsOnTheClientArea)
{
    auto window = designWindow();
    auto bar = controls().createProgressBar(*window);
    bar->setPlace({240, 480, 4935, 315});
    EXPECT_EQ(bar->pixels(), (PixelRect{16, 32, 329, 21}));
    bar->move(5040, 2640);
    EXPECT_EQ(bar->pixels(), (PixelRect{336, 176, 329, 21})) << "a move keeps the size";

    EXPECT_TRUE(bar->isVisible()) << "not hidden, though the window is not shown yet";
    bar->setVisible(false);
    EXPECT_FALSE(bar->isVisible());

    // A control made on a window already on the screen shows at once.
    window->show();
    auto late = controls().createSkinLabel(*window);
    EXPECT_TRUE(widgetOf(*late)->isVisible());
    EXPECT_EQ(late->Caption(), "00");
    late->setCaption("50/200");
    EXPECT_EQ(late->Caption(), "50/200");
}

TEST(Label, SizesItselfToItsCaptionKeepingItsLeftEdgeAndFillsItsBackground)
{
    auto window = designWindow();
    auto fitting = controls().createLabel(*window);
    fitting->setPlace({5880, 240, 90, 195});
    fitting->setFont({"DejaVu Sans", 8.25, true});
    fitting->setCentred(true);
    fitting->setAutoSize(true);
    fitting->setCaption("Korvane.exe");
    EXPECT_EQ(fitting->Caption(), "Korvane.exe");
    const PixelRect fitted = fitting->pixels();
    EXPECT_EQ(fitted.left, 392);
    EXPECT_GT(fitted.width, 6);
    fitting->setCaption("Korvane.exe, a longer caption");
    EXPECT_EQ(fitting->pixels().left, 392);
    EXPECT_GT(fitting->pixels().width, fitted.width);
    EXPECT_EQ(qobject_cast<QLabel *>(widgetOf(*fitting))->alignment(), Qt::AlignCenter);

    auto fixed = controls().createLabel(*window);
    fixed->setPlace({150, 150, 1500, 600});
    fixed->setCaption("a caption much longer than the label is wide");
    EXPECT_EQ(fixed->pixels(), (PixelRect{10, 10, 100, 40})) << "sizes itself only when asked";

    // Without a back colour the window shows through the label; with one it is filled.
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(widgetOf(*window)));
    const QPoint aboveText(12, 12); // inside the label, above its one line of text
    EXPECT_EQ(pixelAt(grabbed(*window), aboveText), QColor(224, 224, 224));
    fixed->setBackColor({200, 16, 16});
    EXPECT_EQ(pixelAt(grabbed(*window), aboveText), QColor(200, 16, 16));
}

TEST(ProgressBar, KeepsTheExactValueAndRefusesOutOfRange)
{
    auto window = designWindow();
    auto bar = controls().createProgressBar(*window);
    auto *drawn = widgetOf(*bar)->findChild<QProgressBar *>();
    ASSERT_NE(drawn, nullptr);
    EXPECT_EQ(bar->Value(), 0.0F);
    EXPECT_EQ(bar->Min(), 0.0F);
    EXPECT_EQ(bar->Max(), 100.0F);
    bar->setValue(100.0F / 3.0F);
    EXPECT_EQ(bar->Value(), 100.0F / 3.0F);
    EXPECT_EQ(drawn->value(), 3333) << "drawn in hundredths, so it moves smoothly";

    for (const float refused : {100.5F, -0.001F, std::numeric_limits<float>::quiet_NaN(),
                                std::numeric_limits<float>::infinity()})
        EXPECT_EQ(errorKindOf([&] { bar->setValue(refused); }), ErrorKind::Refused) << refused;
    EXPECT_EQ(bar->Value(), 100.0F / 3.0F) << "a refused value leaves the bar as it was";

    bar->setValue(100.0F);
    EXPECT_EQ(drawn->value(), drawn->maximum());
}

// What the screen shows, not a fresh rendering: the bar must repaint itself even when a sibling
// that overlaps its edge keeps repainting a strip of it (Qt skips a bar's repaint for changes it
// thinks it has already painted).
TEST(ProgressBar, ScreenShowsTheFillWhileAnOverlappingLabelRepaints)
{
    auto window = designWindow();
    auto bar = controls().createProgressBar(*window);
    bar->setPlace({240, 480, 4935, 315});
    auto label = controls().createSkinLabel(*window);
    label->setPlace({240, 240, 1935, 255}); // its bottom row overlaps the bar's top row
    window->show();
    QWidget *widget = widgetOf(*window);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(widget));

    for (int step = 1; step <= 60; ++step) {
        bar->setValue(static_cast<float>(step));
        label->setCaption(std::to_string(step));
        QCoreApplication::processEvents();
    }
    // What the screen shows lags behind by a frame; the fill must get there.
    const auto fillShown = [&] {
        const QImage shown = widget->screen()->grabWindow(widget->winId()).toImage();
        return !shown.isNull() &&
               pixelAt(shown, {16 + 60, 32 + 10}) != pixelAt(shown, {16 + 300, 32 + 10});
    };
    EXPECT_TRUE(support::waitUntil(fillShown, 2000)) << "the bar's fill is not on the screen";
}

TEST(FileListBox, ListsMatchingFilesSortedAndCallsItsHandlerOnlyForTheUser)
{
    support::TemporaryFolder folder;
    for (const char *name : {"b.skn", "A.skn", "c.SKN", "notes.txt", ".hidden.skn"})
        support::writeFile(folder.file(name), "x");
    auto window = designWindow();
    auto list = controls().createFileListBox(*window);
    list->setPlace({0, 0, 2055, 1455});
    list->setPattern("*.skn");
    EXPECT_EQ(list->Pattern(), "*.skn");
    list->setPath(folder.text() + "/");
    EXPECT_EQ(list->Path(), folder.text()) << "no trailing separator";
    EXPECT_EQ(list->entries(), (std::vector<std::string>{"A.skn", "b.skn", "c.SKN"}));

    int clicks = 0;
    list->onClick([&] { ++clicks; });
    list->setFileName("b.skn");
    EXPECT_EQ(list->FileName(), "b.skn");
    EXPECT_EQ(clicks, 0) << "choosing a file in code is no click";

    window->setFocus(*list);
    window->show();
    ASSERT_TRUE(runtime::testing::activate(*window));
    pressKey(Key::Down);
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(list->FileName(), "c.SKN");
    pressKey(Key::Up);
    EXPECT_EQ(clicks, 2);
    EXPECT_EQ(list->FileName(), "b.skn");

    EXPECT_EQ(errorKindOf([&] { list->setPath(folder.text() + "/missing"); }), ErrorKind::NotFound);
    EXPECT_EQ(errorKindOf([&] { list->setPath(folder.file("b.skn").string()); }),
              ErrorKind::NotFound)
        << "a file is no folder";
    EXPECT_EQ(list->Path(), folder.text());
    EXPECT_EQ(list->entries().size(), 3U);

    list->setPattern("*.txt;*.SKN");
    EXPECT_EQ(list->entries(), (std::vector<std::string>{"A.skn", "b.skn", "c.SKN", "notes.txt"}))
        << "several patterns, and case-insensitive";
}

TEST(Shape, IsAnOutlineBeneathTheOtherControls)
{
    auto window = designWindow();
    auto label = controls().createLabel(*window);
    label->setPlace({0, 600, 1500, 300});
    label->setBackColor({0, 0, 200});
    auto shape = controls().createShape(*window);
    shape->setPlace({120, 120, 5175, 735});
    shape->setBorderColor({200, 0, 0});
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(widgetOf(*window)));
    const QImage image = grabbed(*window);
    EXPECT_EQ(pixelAt(image, {8, 30}), QColor(200, 0, 0)) << "the outline's left edge";
    EXPECT_EQ(pixelAt(image, {352, 30}), QColor(200, 0, 0)) << "the outline's right edge";
    EXPECT_EQ(pixelAt(image, {100, 30}), QColor(224, 224, 224)) << "the interior is clear";
    EXPECT_EQ(pixelAt(image, {8, 45}), QColor(0, 0, 200))
        << "a control made before the shape still lies above it";
}

TEST(ControlFace, KeepsItsPictureAndHearsOfEveryChangeOfSize)
{
    auto window = designWindow();
    auto face = controls().createControlFace(window.get());
    QImage picture(48, 48, QImage::Format_ARGB32);
    picture.fill(Qt::transparent);
    for (int y = 0; y < 24; ++y)
        for (int x = 0; x < 48; ++x)
            picture.setPixelColor(x, y, QColor(0, 128, 0));
    face->setPicture(testutil::pngOf(picture));
    EXPECT_EQ(errorKindOf([&] { face->setPicture("not a picture"); }), ErrorKind::Refused);

    int resizes = 0;
    // As the control does: whatever size it is given, it takes its own back.
    face->onResize([&] {
        ++resizes;
        face->setSize(720, 720);
    });
    face->setSize(720, 720);
    EXPECT_EQ(resizes, 1);
    EXPECT_EQ(face->widthTwips(), 720);
    EXPECT_EQ(face->heightTwips(), 720);
    face->setSize(720, 720);
    EXPECT_EQ(resizes, 1) << "the size it already has is no change";

    face->move(600, 150);
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(widgetOf(*window)));
    widgetOf(*face)->resize(100, 30); // a container's resize
    EXPECT_EQ(resizes, 3) << "once for the container's size, once for the face's own again";
    EXPECT_EQ(face->pixels(), (PixelRect{40, 10, 48, 48}));

    const QImage image = grabbed(*window);
    EXPECT_EQ(pixelAt(image, {60, 20}), QColor(0, 128, 0));
    EXPECT_EQ(pixelAt(image, {60, 50}), QColor(224, 224, 224)) << "the background is clear";
}

TEST(ControlFace, WithoutAContainerIsNeverShown)
{
    auto face = controls().createControlFace(nullptr);
    int resizes = 0;
    face->onResize([&] { ++resizes; });
    face->setSize(720, 720);
    EXPECT_EQ(resizes, 1) << "a face that is never shown still hears of its size";
    face->setVisible(true);
    EXPECT_TRUE(face->isVisible());
    QCoreApplication::processEvents();
    EXPECT_FALSE(widgetOf(*face)->isVisible());
}

TEST(Testing, AnswersMessageBoxesAndSeesTheirTextAndTitle)
{
    runtime::setApplicationTitle("Updating Korvane");
    std::vector<std::pair<std::string, std::string>> seen;
    {
        const auto answerer = runtime::testing::answerMessageBoxes(
            [&](const std::string &text, const std::string &title) {
                seen.emplace_back(text, title);
            });
        runtime::messageBox("Update failed\n\nThe server answered 404.");
        runtime::messageBox("Update is completed");
    }
    runtime::setApplicationTitle("");
    EXPECT_EQ(seen, (std::vector<std::pair<std::string, std::string>>{
                        {"Update failed\n\nThe server answered 404.", "Updating Korvane"},
                        {"Update is completed", "Updating Korvane"}}));
}
