// The controls as real widgets of the platform, through the runtime's interface and what a person
// sees and does (runtime/Screen.h): the same cases run on every runtime. What only one runtime can
// show (its fonts, its window styles) is in its own folder.

#include "runtime/Controls.h"

#include "runtime/Application.h"
#include "runtime/EventPump.h"
#include "runtime/Files.h"
#include "runtime/MessageBox.h"
#include "runtime/RuntimeError.h"
#include "runtime/Screen.h"
#include "runtime/Testing.h"
#include "support/SystemSupport.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <limits>
#include <string>
#include <utility>
#include <vector>

using runtime::Color;
using runtime::controls;
using runtime::ErrorKind;
using runtime::PixelRect;
using runtime::RuntimeError;
using runtime::testing::Key;
using runtime::testing::pressKey;
using screen::Shot;

namespace {

// The update window's size and background, as its layout gives them.
std::unique_ptr<runtime::Window> designWindow()
{
    auto window = controls().createWindow();
    window->setClientSize(5430, 990);
    window->setBackColor({224, 224, 224});
    return window;
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

std::string solidPng(Color color)
{
    return screen::pngOf(32, 32, [color](int, int) { return color; });
}

// The columns of a client-area row of shot, within [left, right), that differ from background.
std::pair<int, int> inkColumns(const Shot &shot, int row, int left, int right, Color background)
{
    int first = right;
    int last = left - 1;
    for (int x = left; x < right; ++x)
        if (!screen::similar(shot.client(x, row), background, 40)) {
            first = std::min(first, x);
            last = x;
        }
    return {first, last};
}

} // namespace

TEST(Window, TakesWhatTheLayoutGivesAndIsCentredWhenFirstShown)
{
    auto window = designWindow();
    const runtime::WindowHandle handle = window->handle();
    window->setCaption("Actualizando Korvane – 12 %");
    EXPECT_EQ(window->Caption(), "Actualizando Korvane – 12 %");
    EXPECT_EQ(window->clientPixels(), (PixelRect{0, 0, 362, 66}));
    const PixelRect frame = window->framePixels();
    EXPECT_GE(frame.width, 362) << "whatever frame the platform has lies around the client";
    EXPECT_GE(frame.height, 66);
    EXPECT_EQ(window->backColor(), (Color{224, 224, 224}));
    EXPECT_FALSE(runtime::testing::isFrameless(*window));
    EXPECT_EQ(errorKindOf([&] { window->setIcon("GIF89a not a png"); }), ErrorKind::Refused);
    window->setIcon(solidPng({255, 255, 0}));

    EXPECT_FALSE(window->isVisible());
    window->show();
    EXPECT_TRUE(window->isVisible());
    const PixelRect outer = screen::frameOnScreen(*window);
    const PixelRect work = screen::workArea(*window);
    if (screen::centresItsWholeFrame()) {
        EXPECT_NEAR(outer.left + outer.width / 2.0, work.left + work.width / 2.0, 1.0);
        EXPECT_NEAR(outer.top + outer.height / 2.0, work.top + work.height / 2.0, 1.0);
    }
    const Shot shot = screen::shoot(*window);
    EXPECT_EQ(shot.client(shot.px(181), shot.px(33)), (Color{224, 224, 224}));

    // Only the first showing centres it: a window the user moved stays where they put it.
    window->hide();
    EXPECT_FALSE(window->isVisible());
    screen::moveFrame(*window, 10, 20);
    window->show();
    EXPECT_EQ(screen::frameOnScreen(*window).left, 10);
    EXPECT_EQ(screen::frameOnScreen(*window).top, 20);
    EXPECT_EQ(window->handle(), handle) << "the same handle for the window's whole life";
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
    screen::closeFromCode(*window);
    EXPECT_EQ(closes, 2) << "a close from the platform's own code is a close too";
    EXPECT_FALSE(window->isVisible());

    // A failing handler cannot unwind through the platform's event delivery; the window closes
    // anyway.
    window->show();
    window->onClose([] { throw RuntimeError("the handler failed"); });
    runtime::testing::requestClose(*window);
    EXPECT_FALSE(window->isVisible());

    window->onClose([&] { ++closes; });
    window.reset();
    EXPECT_EQ(closes, 2) << "destroying a window is no close";
}

TEST(Window, ClosesFromItsOwnCloseHandlerAndDropsWhatItWasToDoLater)
{
    auto window = designWindow();
    auto label = controls().createLabel(*window);
    bool ranLater = false;
    window->onClose([&] {
        window->invokeLater([&] { ranLater = true; });
        label.reset();
        window.reset();
    });
    window->show();
    runtime::testing::requestClose(*window);
    EXPECT_FALSE(window);
    screen::deliverPosted();
    EXPECT_FALSE(ranLater) << "an action is dropped with its window";
}

TEST(Window, InvokeLaterRunsInOrderOnceEventsAreDispatchedAndNeverAfterTheWindowIsGone)
{
    auto window = designWindow();
    std::vector<std::string> order;
    window->invokeLater([&] { order.push_back("first"); });
    window->invokeLater([&] { order.push_back("second"); });
    order.push_back("now");
    ASSERT_TRUE(support::waitUntil([&] { return order.size() == 3; }));
    EXPECT_EQ(order, (std::vector<std::string>{"now", "first", "second"}));

    bool ran = false;
    window->invokeLater([&] { ran = true; });
    window.reset();
    screen::deliverPosted();
    EXPECT_FALSE(ran);
}

TEST(Window, TabMovesTheFocusInLayoutOrderSkippingHiddenControlsAndSpaceClicks)
{
    auto window = designWindow();
    auto list = controls().createFileListBox(*window);
    auto save = controls().createTextBox(*window);
    auto button = controls().createCommandButton(*window);
    auto url = controls().createTextBox(*window);
    auto label = controls().createLabel(*window);
    // Out of sight, below the client area, as the layout puts them.
    button->setPlace({3360, 2760, 1215, 435});
    url->setPlace({240, 2280, 7395, 315});
    save->setPlace({960, 1740, 6195, 315});
    list->setPlace({8160, 2520, 2055, 1455});
    button->setCaption("Download");
    EXPECT_EQ(button->Caption(), "Download");
    int clicks = 0;
    button->onClick([&] { ++clicks; });
    window->setTabOrder({button.get(), url.get(), save.get(), label.get(), list.get()});
    window->setFocus(*button);
    EXPECT_FALSE(button->hasFocus()) << "not before the window is active";
    window->show();
    ASSERT_TRUE(runtime::testing::activate(*window));
    EXPECT_TRUE(button->hasFocus());

    pressKey(Key::Space);
    EXPECT_EQ(clicks, 1);
    pressKey(Key::Return);
    EXPECT_EQ(clicks, 1) << "a plain window's button is no default button";

    pressKey(Key::Tab);
    EXPECT_TRUE(url->hasFocus());
    url->setText("typed over");
    pressKey(Key::Tab);
    EXPECT_TRUE(save->hasFocus());
    EXPECT_EQ(url->Text(), "typed over") << "Tab leaves no character behind";
    pressKey(Key::Tab);
    EXPECT_TRUE(list->hasFocus()) << "a label never takes the focus";
    pressKey(Key::Tab);
    EXPECT_TRUE(button->hasFocus()) << "round again";

    save->setVisible(false);
    window->setFocus(*url);
    pressKey(Key::Tab);
    EXPECT_TRUE(list->hasFocus()) << "a hidden control never takes the focus";
}

TEST(Controls, PlacesAreTwipsOnTheClientAreaAtTheWindowsScale)
{
    auto window = designWindow();
    const double scale = screen::scaleOf(*window);
    const auto px = [scale](int logical) { return static_cast<int>(std::lround(logical * scale)); };
    auto bar = controls().createProgressBar(*window);
    bar->setPlace({240, 480, 4935, 315});
    EXPECT_EQ(bar->pixels(), (PixelRect{16, 32, 329, 21}));
    window->show();
    const Shot shot = screen::shoot(*window);
    const PixelRect device = screen::nativePlace(*bar);
    EXPECT_EQ(device.left - shot.clientOrigin.x, px(16)) << "logical pixels scaled by the DPI";
    EXPECT_EQ(device.top - shot.clientOrigin.y, px(32));
    EXPECT_EQ(device.left + device.width - shot.clientOrigin.x, px(16 + 329));
    bar->move(5040, 2640);
    EXPECT_EQ(bar->pixels(), (PixelRect{336, 176, 329, 21})) << "a move keeps the size";

    EXPECT_TRUE(bar->isVisible()) << "not hidden, though it lies outside the client area";
    bar->setVisible(false);
    EXPECT_FALSE(bar->isVisible());
    EXPECT_FALSE(screen::shownOnScreen(*bar));

    // A control made on a window already on the screen shows at once.
    auto late = controls().createSkinLabel(*window);
    EXPECT_TRUE(late->isVisible());
    EXPECT_TRUE(screen::shownOnScreen(*late) || screen::nativePlace(*late).width == 0)
        << "shown, unless the window draws it itself";
    EXPECT_EQ(late->Caption(), "00");
    late->setCaption("50/200");
    EXPECT_EQ(late->Caption(), "50/200");

    // Someone else's resize (a container's) is what the control reports from then on.
    auto face = controls().createControlFace(window.get());
    screen::placeAsAContainer(*face, {40, 10, 100, 30});
    EXPECT_EQ(face->pixels(), (PixelRect{40, 10, 100, 30}));
}

TEST(Label, SizesItselfKeepingItsLeftEdgeAndShowsTheWindowOrItsOwnColour)
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
    EXPECT_GT(fitted.width, 30);
    fitting->setCaption("Korvane.exe, a longer caption");
    EXPECT_EQ(fitting->pixels().left, 392);
    EXPECT_GT(fitting->pixels().width, fitted.width);

    auto fixed = controls().createLabel(*window);
    fixed->setPlace({150, 150, 1500, 600});
    fixed->setCaption("a caption much longer than the label is wide");
    EXPECT_EQ(fixed->pixels(), (PixelRect{10, 10, 100, 40})) << "sizes itself only when asked";

    // A centred label that does not fit itself to its text shows it in its middle.
    auto centred = controls().createLabel(*window);
    centred->setPlace({1800, 150, 2400, 600});
    centred->setCentred(true);
    centred->setCaption("Korvane");

    window->show();
    Shot shot = screen::shoot(*window);
    // Inside the fixed label, at two corners away from its one line of text.
    for (const auto &[x, y] : {std::pair{12, 12}, std::pair{98, 48}})
        EXPECT_EQ(shot.client(shot.px(x), shot.px(y)), (Color{224, 224, 224}))
            << "without a colour of its own the window shows through at " << x << "," << y;
    std::pair<int, int> ink{shot.px(280), shot.px(120) - 1};
    for (int y = shot.px(10); y < shot.px(50); ++y) {
        const auto [first, last] = inkColumns(shot, y, shot.px(120), shot.px(280), {224, 224, 224});
        ink = {std::min(ink.first, first), std::max(ink.second, last)};
    }
    ASSERT_LE(ink.first, ink.second) << "the centred label shows its text";
    EXPECT_NEAR((ink.first + ink.second + 1) / 2.0, shot.px(200), shot.px(3))
        << "its text from " << ink.first << " to " << ink.second << " is centred";

    fixed->setBackColor({200, 16, 16});
    shot = screen::shoot(*window);
    for (const auto &[x, y] : {std::pair{12, 12}, std::pair{98, 48}})
        EXPECT_EQ(shot.client(shot.px(x), shot.px(y)), (Color{200, 16, 16})) << x << "," << y;
}

TEST(ProgressBar, KeepsTheExactValueAndRefusesOutOfRange)
{
    auto window = designWindow();
    auto bar = controls().createProgressBar(*window);
    EXPECT_EQ(bar->Value(), 0.0F);
    EXPECT_EQ(bar->Min(), 0.0F);
    EXPECT_EQ(bar->Max(), 100.0F);
    bar->setValue(100.0F / 3.0F);
    EXPECT_EQ(bar->Value(), 100.0F / 3.0F);
    EXPECT_EQ(screen::barSteps(*bar), (std::pair{3333, 10000}))
        << "drawn in hundredths, so it moves smoothly";

    for (const float refused : {100.5F, -0.001F, std::numeric_limits<float>::quiet_NaN(),
                                std::numeric_limits<float>::infinity()})
        EXPECT_EQ(errorKindOf([&] { bar->setValue(refused); }), ErrorKind::Refused) << refused;
    EXPECT_EQ(bar->Value(), 100.0F / 3.0F) << "a refused value leaves the bar as it was";
    EXPECT_EQ(screen::barSteps(*bar).first, 3333);

    bar->setValue(100.0F);
    EXPECT_EQ(screen::barSteps(*bar), (std::pair{10000, 10000}));
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
    ASSERT_TRUE(support::waitUntil([&] { return screen::shoot(*window).width > 0; }));

    for (int step = 1; step <= 60; ++step) {
        bar->setValue(static_cast<float>(step));
        label->setCaption(std::to_string(step));
        runtime::doEvents();
    }
    // What the screen shows lags behind by a frame; the fill must get there.
    const auto fillShown = [&] {
        const Shot shown = screen::shoot(*window, screen::Reading::AsShown);
        return shown.width > 0 && shown.client(shown.px(16 + 60), shown.px(32 + 10)) !=
                                      shown.client(shown.px(16 + 300), shown.px(32 + 10));
    };
    EXPECT_TRUE(support::waitUntil(fillShown, 2000)) << "the bar's fill is not on the screen";
}

TEST(FileListBox, ListsMatchingFilesSortedAndCallsItsHandlerOnlyForTheUser)
{
    support::TemporaryFolder folder;
    for (const char *name : {"b.skn", "A.skn", "c.SKN", "notes.txt", "theme.sknx"})
        support::writeFile(folder.file(name), "x");
    const std::string hidden = screen::makeHiddenSkinFile(folder.path());
    auto window = designWindow();
    auto list = controls().createFileListBox(*window);
    list->setPlace({0, 0, 2055, 1455});
    list->setPattern("*.skn");
    EXPECT_EQ(list->Pattern(), "*.skn");
    list->setPath(folder.text() + runtime::separator());
    EXPECT_EQ(list->Path(), folder.text()) << "no trailing separator";
    EXPECT_EQ(list->entries(), (std::vector<std::string>{"A.skn", "b.skn", "c.SKN"}))
        << "sorted without case; " << hidden << " and longer extensions left out";

    int clicks = 0;
    list->onClick([&] { ++clicks; });
    // Where names match without case, the entry is chosen by a name in other case as well.
    const std::string chosen = screen::namesIgnoreCase() ? "B.SKN" : "b.skn";
    list->setFileName(chosen);
    EXPECT_EQ(list->FileName(), chosen);
    EXPECT_EQ(clicks, 0) << "choosing a file in code is no click";

    window->setFocus(*list);
    window->show();
    ASSERT_TRUE(runtime::testing::activate(*window));
    EXPECT_EQ(clicks, 0) << "taking the focus chooses nothing";
    pressKey(Key::Down);
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(list->FileName(), "c.SKN");
    pressKey(Key::Up);
    EXPECT_EQ(clicks, 2);
    EXPECT_EQ(list->FileName(), "b.skn");

    EXPECT_EQ(errorKindOf([&] { list->setPath(folder.text() + runtime::separator() + "missing"); }),
              ErrorKind::NotFound);
    EXPECT_EQ(errorKindOf([&] { list->setPath(runtime::utf8FromPath(folder.file("b.skn"))); }),
              ErrorKind::NotFound)
        << "a file is no folder";
    EXPECT_EQ(list->Path(), folder.text());
    EXPECT_EQ(list->entries().size(), 3U) << "a refused folder leaves the list as it was";

    list->setPattern("*.txt;*.SKN");
    EXPECT_EQ(list->entries(), (std::vector<std::string>{"A.skn", "b.skn", "c.SKN", "notes.txt"}))
        << "several patterns, and case-insensitive";
    list->setPath(screen::rootFolder());
    EXPECT_EQ(list->Path(), screen::rootFolder()) << "a root keeps its separator";
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
    const Shot shot = screen::shoot(*window);
    const auto at = [&](int x, int y) { return shot.client(x, y); };
    EXPECT_EQ(at(shot.px(8), shot.px(30)), (Color{200, 0, 0})) << "the outline's left edge";
    EXPECT_EQ(at(shot.px(353) - 1, shot.px(30)), (Color{200, 0, 0})) << "the outline's right edge";
    EXPECT_EQ(at(shot.px(100), shot.px(30)), (Color{224, 224, 224})) << "the interior is clear";
    EXPECT_EQ(at(shot.px(8), shot.px(45)), (Color{0, 0, 200}))
        << "a control made before the shape still lies above it";
}

TEST(ControlFace, ShowsItsPictureAndHearsOfEveryChangeOfSize)
{
    auto window = designWindow();
    auto face = controls().createControlFace(window.get());
    // The upper half green, the lower half transparent.
    face->setPicture(screen::pngOf(48, 48, [](int, int y) {
        return y < 24 ? Color{0, 128, 0} : Color{0, 0, 0, 0};
    }));
    EXPECT_EQ(errorKindOf([&] { face->setPicture("not a picture"); }), ErrorKind::Refused);

    int resizes = 0;
    // As the download control does: whatever size it is given, it takes its own back.
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
    screen::placeAsAContainer(*face, {40, 10, 100, 30});
    EXPECT_EQ(resizes, 3) << "once for the container's size, once for the face's own again";
    EXPECT_EQ(face->pixels(), (PixelRect{40, 10, 48, 48}));

    const Shot shot = screen::shoot(*window);
    EXPECT_EQ(shot.client(shot.px(60), shot.px(20)), (Color{0, 128, 0}));
    EXPECT_EQ(shot.client(shot.px(60), shot.px(50)), (Color{224, 224, 224}))
        << "the background shows through";
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
    runtime::doEvents();
    EXPECT_FALSE(screen::shownOnScreen(*face));
}

TEST(Testing, AnswersMessageBoxesSeesTheirTextAndTitleAndTicks)
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

    int ticks = 0;
    const auto ticker = runtime::testing::tickEvery(10, [&] { ++ticks; });
    EXPECT_TRUE(support::waitUntil([&] { return ticks >= 3; }));
}
