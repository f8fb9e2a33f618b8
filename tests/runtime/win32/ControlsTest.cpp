#include "runtime/Controls.h"

#include "WindowPixels.h"
#include "runtime/Application.h"
#include "runtime/MessageBox.h"
#include "runtime/RuntimeError.h"
#include "runtime/Testing.h"
#include "support/SystemSupport.h"

#include <algorithm>
#include <commctrl.h>
#include <gtest/gtest.h>
#include <limits>
#include <windows.h>

// The Win32 controls as real Win32 windows under the test's display (Wine on Xvfb here), driven
// through their messages and read back as the pixels they painted.

using runtime::Color;
using runtime::controls;
using runtime::ErrorKind;
using runtime::PixelRect;
using runtime::RuntimeError;
using runtime::testing::Key;
using runtime::testing::pressKey;
using windowpixels::Shot;

namespace {

HWND hwndOf(runtime::Window &window)
{
    return reinterpret_cast<HWND>(window.handle());
}

// The update window's size and background, as its layout gives them.
std::unique_ptr<runtime::Window> designWindow()
{
    auto window = controls().createWindow();
    window->setClientSize(5430, 990);
    window->setBackColor({224, 224, 224});
    return window;
}

double scaleOf(runtime::Window &window)
{
    return GetDpiForWindow(hwndOf(window)) / 96.0;
}

// The children of window of a Win32 class, in creation order (their identifiers grow).
std::vector<HWND> childrenOf(runtime::Window &window, const wchar_t *className)
{
    std::vector<HWND> found;
    for (HWND child = GetWindow(hwndOf(window), GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t name[64] = {};
        GetClassNameW(child, name, 64);
        if (_wcsicmp(name, className) == 0)
            found.push_back(child);
    }
    std::sort(found.begin(), found.end(),
              [](HWND a, HWND b) { return GetDlgCtrlID(a) < GetDlgCtrlID(b); });
    return found;
}

std::wstring faceOf(HWND control)
{
    auto font = reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0));
    LOGFONTW logical{};
    GetObjectW(font, sizeof(logical), &logical);
    return logical.lfFaceName;
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
    return windowpixels::pngOf(32, 32, [color](int, int) { return color; });
}

} // namespace

TEST(Win32Window, TakesWhatTheLayoutGivesAndIsCentredWhenFirstShown)
{
    auto window = designWindow();
    const HWND hwnd = hwndOf(*window);
    const double scale = scaleOf(*window);
    window->setCaption("Actualizando Korvane – 12 %");
    EXPECT_EQ(window->Caption(), "Actualizando Korvane – 12 %");
    EXPECT_EQ(window->clientPixels(), (PixelRect{0, 0, 362, 66}));
    RECT client{};
    GetClientRect(hwnd, &client);
    EXPECT_EQ(client.right, std::lround(362 * scale)) << "logical pixels scaled by the DPI";
    EXPECT_EQ(client.bottom, std::lround(66 * scale));
    const LONG_PTR style = GetWindowLongPtrW(hwnd, GWL_STYLE);
    EXPECT_EQ(style & WS_CAPTION, WS_CAPTION);
    EXPECT_EQ(style & (WS_THICKFRAME | WS_MAXIMIZEBOX), 0) << "a fixed frame";
    EXPECT_GT(window->framePixels().width, 362) << "the platform's frame lies around the client";
    EXPECT_FALSE(runtime::testing::isFrameless(*window));
    EXPECT_EQ(window->backColor(), (Color{224, 224, 224}));

    EXPECT_EQ(errorKindOf([&] { window->setIcon("GIF89a not a png"); }), ErrorKind::Refused);
    window->setIcon(solidPng({255, 255, 0}));
    EXPECT_NE(SendMessageW(hwnd, WM_GETICON, ICON_BIG, 0), 0);

    EXPECT_FALSE(window->isVisible());
    window->show();
    EXPECT_TRUE(window->isVisible());
    RECT outer{};
    GetWindowRect(hwnd, &outer);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    GetMonitorInfoW(MonitorFromWindow(hwnd, MONITOR_DEFAULTTOPRIMARY), &monitor);
    EXPECT_NEAR((outer.left + outer.right) / 2.0,
                (monitor.rcWork.left + monitor.rcWork.right) / 2.0, 1.0);
    EXPECT_NEAR((outer.top + outer.bottom) / 2.0,
                (monitor.rcWork.top + monitor.rcWork.bottom) / 2.0, 1.0);

    // Only the first showing centres it: a window the user moved stays where they put it.
    ShowWindow(hwnd, SW_HIDE);
    SetWindowPos(hwnd, nullptr, 10, 20, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    window->show();
    GetWindowRect(hwnd, &outer);
    EXPECT_EQ(outer.left, 10);
    EXPECT_EQ(outer.top, 20);
    EXPECT_EQ(hwndOf(*window), hwnd) << "the same handle for the window's whole life";
}

TEST(Win32Window, ControlsTakeTheWindowsFontAndAMissingFamilyFallsBackToTheMessageFont)
{
    auto window = designWindow();
    auto plain = controls().createLabel(*window);
    auto bold = controls().createLabel(*window);
    bold->setFont({"DejaVu Sans", 12, true});
    window->setFont({"Refitor No Such Family", 8.25, false});
    const HWND plainLabel = childrenOf(*window, L"STATIC").at(0);
    const HWND boldLabel = childrenOf(*window, L"STATIC").at(1);

    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof(metrics);
    SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0,
                               GetDpiForWindow(hwndOf(*window)));
    EXPECT_EQ(faceOf(plainLabel), std::wstring(metrics.lfMessageFont.lfFaceName))
        << "a family the system lacks becomes the platform's message font";
    LOGFONTW logical{};
    GetObjectW(reinterpret_cast<HFONT>(SendMessageW(plainLabel, WM_GETFONT, 0, 0)), sizeof(logical),
               &logical);
    EXPECT_EQ(logical.lfHeight, -std::lround(8.25 * GetDpiForWindow(hwndOf(*window)) / 72.0))
        << "at the layout's size";
    EXPECT_EQ(faceOf(boldLabel), L"DejaVu Sans") << "a control's own font is kept";
}

TEST(Win32Window, EveryCloseRunsTheCloseHandlerBeforeTheWindowGoes)
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
    SendMessageW(hwndOf(*window), WM_CLOSE, 0, 0);
    EXPECT_EQ(closes, 2) << "a WM_CLOSE from code is a close too";

    // A failing handler cannot unwind through the message dispatch; the window closes anyway.
    window->show();
    window->onClose([] { throw RuntimeError("the handler failed"); });
    runtime::testing::requestClose(*window);
    EXPECT_FALSE(window->isVisible());

    window->onClose([&] { ++closes; });
    window.reset();
    EXPECT_EQ(closes, 2) << "destroying a window is no close";
}

TEST(Win32Window, ClosesFromItsOwnCloseHandlerAndDropsWhatItWasToDoLater)
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
    support::settle(100);
    EXPECT_FALSE(ranLater) << "an action is dropped with its window";

    auto other = designWindow();
    std::vector<std::string> order;
    other->invokeLater([&] { order.push_back("first"); });
    other->invokeLater([&] { order.push_back("second"); });
    order.push_back("now");
    ASSERT_TRUE(support::waitUntil([&] { return order.size() == 3; }));
    EXPECT_EQ(order, (std::vector<std::string>{"now", "first", "second"}));
}

TEST(Win32Window, TabMovesTheFocusInLayoutOrderSkippingHiddenControlsAndSpaceClicks)
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

TEST(Win32Controls, PlacesAreTwipsOnTheClientAreaAtTheWindowsScale)
{
    auto window = designWindow();
    const double scale = scaleOf(*window);
    auto bar = controls().createProgressBar(*window);
    bar->setPlace({240, 480, 4935, 315});
    EXPECT_EQ(bar->pixels(), (PixelRect{16, 32, 329, 21}));
    const HWND barChild = childrenOf(*window, L"msctls_progress32").at(0);
    RECT device{};
    GetWindowRect(barChild, &device);
    MapWindowPoints(nullptr, hwndOf(*window), reinterpret_cast<POINT *>(&device), 2);
    EXPECT_EQ(device.left, std::lround(16 * scale));
    EXPECT_EQ(device.right, std::lround((16 + 329) * scale));
    bar->move(5040, 2640);
    EXPECT_EQ(bar->pixels(), (PixelRect{336, 176, 329, 21})) << "a move keeps the size";

    EXPECT_TRUE(bar->isVisible()) << "not hidden, though the window is not shown yet";
    bar->setVisible(false);
    EXPECT_FALSE(bar->isVisible());

    // Someone else's resize (a container's) is what the control reports from then on.
    auto face = controls().createControlFace(window.get());
    const HWND faceChild = childrenOf(*window, L"Refitor.ControlFace").at(0);
    SetWindowPos(faceChild, nullptr, std::lround(40 * scale), std::lround(10 * scale),
                 std::lround(100 * scale), std::lround(30 * scale), SWP_NOZORDER);
    EXPECT_EQ(face->pixels(), (PixelRect{40, 10, 100, 30}));
}

TEST(Win32Label, SizesItselfKeepingItsLeftEdgeAndShowsTheWindowOrItsOwnColour)
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
    const HWND fittingChild = childrenOf(*window, L"STATIC").at(0);
    EXPECT_EQ(GetWindowLongPtrW(fittingChild, GWL_STYLE) & SS_TYPEMASK, SS_CENTER);

    auto fixed = controls().createLabel(*window);
    fixed->setPlace({150, 150, 1500, 600});
    fixed->setCaption("a caption much longer than the label is wide");
    EXPECT_EQ(fixed->pixels(), (PixelRect{10, 10, 100, 40})) << "sizes itself only when asked";

    window->show();
    const double scale = scaleOf(*window);
    // Inside the label, above its one line of text.
    const int x = static_cast<int>(std::lround(98 * scale));
    const int y = static_cast<int>(std::lround(48 * scale));
    EXPECT_EQ(Shot(hwndOf(*window)).client(x, y), (Color{224, 224, 224}))
        << "without a colour of its own the window shows through";
    fixed->setBackColor({200, 16, 16});
    EXPECT_EQ(Shot(hwndOf(*window)).client(x, y), (Color{200, 16, 16}));
}

TEST(Win32ProgressBar, KeepsTheExactValueAndRefusesOutOfRange)
{
    auto window = designWindow();
    auto bar = controls().createProgressBar(*window);
    const HWND child = childrenOf(*window, L"msctls_progress32").at(0);
    EXPECT_EQ(bar->Value(), 0.0F);
    EXPECT_EQ(bar->Min(), 0.0F);
    EXPECT_EQ(bar->Max(), 100.0F);
    bar->setValue(100.0F / 3.0F);
    EXPECT_EQ(bar->Value(), 100.0F / 3.0F);
    EXPECT_EQ(SendMessageW(child, PBM_GETPOS, 0, 0), 3333) << "fine steps, so it moves smoothly";

    for (const float refused : {100.5F, -0.001F, std::numeric_limits<float>::quiet_NaN(),
                                std::numeric_limits<float>::infinity()})
        EXPECT_EQ(errorKindOf([&] { bar->setValue(refused); }), ErrorKind::Refused) << refused;
    EXPECT_EQ(bar->Value(), 100.0F / 3.0F) << "a refused value leaves the bar as it was";
    bar->setValue(100.0F);
    EXPECT_EQ(SendMessageW(child, PBM_GETPOS, 0, 0), 10000);
}

TEST(Win32FileListBox, ListsMatchingFilesSortedAndCallsItsHandlerOnlyForTheUser)
{
    support::TemporaryFolder folder;
    for (const char *name : {"b.skn", "A.skn", "c.SKN", "notes.txt", "hidden.skn", "theme.sknx"})
        support::writeFile(folder.file(name), "x");
    SetFileAttributesW(folder.file("hidden.skn").wstring().c_str(), FILE_ATTRIBUTE_HIDDEN);
    auto window = designWindow();
    auto list = controls().createFileListBox(*window);
    list->setPlace({0, 0, 2055, 1455});
    list->setPattern("*.skn");
    EXPECT_EQ(list->Pattern(), "*.skn");
    list->setPath(folder.text() + "\\");
    EXPECT_EQ(list->Path(), folder.path().string()) << "no trailing separator";
    EXPECT_EQ(list->entries(), (std::vector<std::string>{"A.skn", "b.skn", "c.SKN"}))
        << "sorted without case; hidden files and longer extensions left out";

    int clicks = 0;
    list->onClick([&] { ++clicks; });
    list->setFileName("B.SKN");
    EXPECT_EQ(list->FileName(), "B.SKN");
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

    EXPECT_EQ(errorKindOf([&] { list->setPath(folder.text() + "\\missing"); }),
              ErrorKind::NotFound);
    EXPECT_EQ(errorKindOf([&] { list->setPath(folder.file("b.skn").string()); }),
              ErrorKind::NotFound)
        << "a file is no folder";
    EXPECT_EQ(list->entries().size(), 3U) << "a refused folder leaves the list as it was";

    list->setPattern("*.txt;*.SKN");
    EXPECT_EQ(list->entries(), (std::vector<std::string>{"A.skn", "b.skn", "c.SKN", "notes.txt"}));
    list->setPath("C:\\");
    EXPECT_EQ(list->Path(), "C:\\") << "a root keeps its separator";
}

TEST(Win32Shape, IsAnOutlineBeneathTheOtherControls)
{
    auto window = designWindow();
    auto label = controls().createLabel(*window);
    label->setPlace({0, 600, 1500, 300});
    label->setBackColor({0, 0, 200});
    auto shape = controls().createShape(*window);
    shape->setPlace({120, 120, 5175, 735});
    shape->setBorderColor({200, 0, 0});
    window->show();
    const double scale = scaleOf(*window);
    const auto at = [scale](int logical) { return static_cast<int>(std::lround(logical * scale)); };
    const Shot shot(hwndOf(*window));
    EXPECT_EQ(shot.client(at(8), at(30)), (Color{200, 0, 0})) << "the outline's left edge";
    EXPECT_EQ(shot.client(at(353) - 1, at(30)), (Color{200, 0, 0})) << "the outline's right edge";
    EXPECT_EQ(shot.client(at(100), at(30)), (Color{224, 224, 224})) << "the interior is clear";
    EXPECT_EQ(shot.client(at(8), at(45)), (Color{0, 0, 200}))
        << "a control made before the shape still lies above it";
}

TEST(Win32ControlFace, ShowsItsPictureAndHearsOfEveryChangeOfSize)
{
    auto window = designWindow();
    auto face = controls().createControlFace(window.get());
    // The upper half green, the lower half transparent.
    face->setPicture(windowpixels::pngOf(48, 48, [](int, int y) {
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
    const double scale = scaleOf(*window);
    const HWND child = childrenOf(*window, L"Refitor.ControlFace").at(0);
    SetWindowPos(child, nullptr, 0, 0, 100, 30, SWP_NOMOVE | SWP_NOZORDER); // a container's
    EXPECT_EQ(resizes, 3) << "once for the container's size, once for the face's own again";
    EXPECT_EQ(face->pixels(), (PixelRect{40, 10, 48, 48}));

    const Shot shot(hwndOf(*window));
    EXPECT_TRUE(Shot::similar(shot.client(std::lround(60 * scale), std::lround(20 * scale)),
                              {0, 128, 0}, 8));
    EXPECT_EQ(shot.client(std::lround(60 * scale), std::lround(50 * scale)), (Color{224, 224, 224}))
        << "the background shows through";

    auto detached = controls().createControlFace(nullptr);
    int detachedResizes = 0;
    detached->onResize([&] { ++detachedResizes; });
    detached->setSize(720, 720);
    EXPECT_EQ(detachedResizes, 1) << "a face that is never shown still hears of its size";
    detached->setVisible(true);
    EXPECT_TRUE(detached->isVisible());
}

TEST(Win32Testing, AnswersMessageBoxesAndSeesTheirTextAndTitle)
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
