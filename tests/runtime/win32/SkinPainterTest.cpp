#include "../SkinLooks.h"
#include "WindowPixels.h"
#include "runtime/Controls.h"
#include "runtime/RuntimeError.h"
#include "runtime/SkinLook.h"
#include "runtime/Testing.h"
#include "runtime/win32/SkinPaint.h"
#include "support/SystemSupport.h"

#include <cmath>
#include <gtest/gtest.h>
#include <windows.h>

// The Win32 skin painter on real windows under the test's display, read back as the pixels it
// painted. Expected places are logical pixels turned into device pixels at the window's own DPI,
// so the same tests hold at 100 %, 150 % and 200 %.

using runtime::Color;
using runtime::controls;
using runtime::ErrorKind;
using runtime::PixelRect;
using runtime::RuntimeError;
using runtime::SkinLook;
using windowpixels::hex;
using windowpixels::Shot;
namespace look = runtime::look;

using skinlooks::flatSage;
using skinlooks::gradient;
using skinlooks::rgb;
using skinlooks::softCrystal;

namespace {

// The colour of a gradient over device rows [top, top + height) at device row y, sampled at the
// row's centre.
Color gradientAt(const look::Fill &fill, int y, int top, int height)
{
    return runtime::win32::gradientColorAt(fill.stops, (y - top + 0.5) / height);
}

// 8 x 4 pixels: the left half red, the right half blue.
look::Image halvesImage(int hue = 0)
{
    return {windowpixels::pngOf(8, 4,
                                [](int x, int) {
                                    return x < 4 ? Color{255, 0, 0} : Color{0, 0, 255};
                                }),
            8, 4, hue};
}

// A window laid out like the update window's visible panel, with one plain control out of
// sight; it counts how often it is closed.
struct PanelWindow
{
    PanelWindow()
    {
        window->setClientSize(5430, 990);
        window->setBackColor({224, 224, 224});
        window->setCaption("Updating Korvane");
        label = controls().createSkinLabel(*window);
        label->setPlace({240, 240, 1935, 255});
        bar = controls().createProgressBar(*window);
        bar->setPlace({240, 480, 4935, 315});
        edit = controls().createTextBox(*window);
        edit->setPlace({3600, 2250, 3000, 315});
        panel = controls().createShape(*window);
        panel->setPlace({120, 120, 5175, 735});
        window->onClose([this] { ++closes; });
    }

    HWND hwnd() const { return reinterpret_cast<HWND>(window->handle()); }
    HWND child(const wchar_t *className) const
    {
        return FindWindowExW(hwnd(), nullptr, className, nullptr);
    }
    double scale() const { return GetDpiForWindow(hwnd()) / 96.0; }
    int px(double logical) const { return static_cast<int>(std::lround(logical * scale())); }

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
void expectTitleBar(const Shot &shot, const PanelWindow &panel, const SkinLook &look,
                    const char *what)
{
    const int top = panel.px(look.frame.borderWidth);
    const int height = panel.px(look.title.height);
    for (const int y : {top + height / 4, top + height * 3 / 4}) {
        const Color expected = gradientAt(look.title.background, y, top, height);
        const Color actual = shot.at(panel.px(300), y);
        EXPECT_TRUE(Shot::similar(actual, expected))
            << what << ": title row " << y << " is " << hex(actual) << ", not " << hex(expected);
    }
}

// The bar's fill a little right of its left end, on rows a third and two thirds down.
void expectBarFill(const Shot &shot, const PanelWindow &panel, const SkinLook &look,
                   const char *what)
{
    const int inset = look.bar.grooveBorderColor ? std::max(1, panel.px(1)) : 0;
    const int top = panel.px(32) + inset;
    const int height = panel.px(32 + 21) - inset - top;
    for (const int y : {top + height / 3, top + height * 2 / 3}) {
        const Color expected = gradientAt(look.bar.fill, y, top, height);
        const Color actual = shot.client(panel.px(16) + inset + panel.px(30), y);
        EXPECT_TRUE(Shot::similar(actual, expected))
            << what << ": fill row " << y << " is " << hex(actual) << ", not " << hex(expected);
    }
}

INPUT mouseInput(DWORD flags, POINT screen = {})
{
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dwFlags = flags;
    if (flags & MOUSEEVENTF_ABSOLUTE) {
        input.mi.dx = MulDiv(screen.x, 65535, GetSystemMetrics(SM_CXSCREEN) - 1);
        input.mi.dy = MulDiv(screen.y, 65535, GetSystemMetrics(SM_CYSCREEN) - 1);
    }
    return input;
}

// The mouse of the test's display, moved, pressed and released as a person's, through the
// system's input queue and its hit-testing. All of a gesture is queued before any of it is
// dispatched: a drag runs a modal loop of the system's inside the press, which ends only when
// it sees the release.
void gesture(std::vector<INPUT> inputs)
{
    SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

void mouseTo(POINT screen)
{
    gesture({mouseInput(MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE, screen)});
    support::waitUntil([&] {
        POINT at{};
        GetCursorPos(&at);
        return std::abs(at.x - screen.x) <= 1 && std::abs(at.y - screen.y) <= 1;
    });
}

POINT cursor()
{
    POINT at{};
    GetCursorPos(&at);
    return at;
}

} // namespace

TEST(Win32SkinPainter, RefusesWhatItCannotUseAndKeepsWhatItHad)
{
    PanelWindow panel;
    const auto painter = controls().createSkinPainter(*panel.window);
    const runtime::WindowHandle handle = panel.window->handle();
    refusal([&] { painter->attach(0); });
    refusal([&] {
        painter->attach(reinterpret_cast<runtime::WindowHandle>(panel.child(L"msctls_progress32")));
    });
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
    EXPECT_FALSE(runtime::testing::isFrameless(*panel.window)) << "nothing drawn";

    PanelWindow other;
    painter->load(flatSage());
    refusal([&] { painter->apply(other.window->handle()); }); // not the attached window

    // A refused look leaves the one prepared before in force.
    refusal([&] { painter->load(damaged); });
    painter->apply(handle);
    panel.window->show();
    expectTitleBar(Shot(panel.hwnd()), panel, flatSage(), "FlatSage after a refused look");
}

TEST(Win32SkinPainter, DrawsTheFrameAroundTheDesignClientArea)
{
    PanelWindow panel;
    panel.window->show();
    RECT before{};
    GetWindowRect(panel.hwnd(), &before);
    const auto painter = controls().createSkinPainter(*panel.window);
    draw(*painter, panel, softCrystal());
    panel.bar->setValue(50.0F);

    EXPECT_TRUE(runtime::testing::isFrameless(*panel.window));
    EXPECT_TRUE(panel.window->isVisible()) << "a shown window stays shown when it gets its frame";
    EXPECT_EQ(panel.window->framePixels(), (PixelRect{0, 0, 364, 90}))
        << "362 x 66 inside a 1-pixel border, 22 of title";
    EXPECT_EQ(panel.window->clientPixels(), (PixelRect{0, 0, 362, 66}));
    EXPECT_EQ(panel.bar->pixels(), (PixelRect{16, 32, 329, 21})) << "its place on the client area";
    RECT after{};
    GetWindowRect(panel.hwnd(), &after);
    EXPECT_NEAR(before.left + before.right, after.left + after.right, 2) << "stays centred";
    EXPECT_NEAR(before.top + before.bottom, after.top + after.bottom, 2);

    Shot shot(panel.hwnd());
    EXPECT_EQ(shot.clientOrigin().x, panel.px(1));
    EXPECT_EQ(shot.clientOrigin().y, panel.px(1) + panel.px(22));
    EXPECT_EQ(shot.width(), panel.px(362) + 2 * panel.px(1));
    expectTitleBar(shot, panel, softCrystal(), "SoftCrystal");
    expectBarFill(shot, panel, softCrystal(), "SoftCrystal");
    EXPECT_EQ(shot.at(0, panel.px(45)), softCrystal().frame.borderColor);
    EXPECT_EQ(shot.at(panel.px(1), panel.px(45)), (Color{255, 255, 255})) << "the inner border";
    EXPECT_GT(shot.countNear({panel.px(16), panel.px(16), panel.px(40), panel.px(32)},
                             *softCrystal().label.textColor),
              4)
        << "the skin label's \"00\" in the skin's text colour";
    const int captionAt = panel.px(1) + panel.px(22) / 2;
    EXPECT_GT(shot.countNear({panel.px(8), -shot.clientOrigin().y + captionAt - panel.px(4),
                              panel.px(120), -shot.clientOrigin().y + captionAt + panel.px(4)},
                             softCrystal().title.textColor),
              4)
        << "the caption in the title bar";

    // A control placed while a frame is on goes to its place on the client area.
    panel.edit->setPlace({240, 2700, 3000, 315});
    EXPECT_EQ(panel.edit->pixels(), (PixelRect{16, 180, 200, 21}));

    draw(*painter, panel, flatSage());
    EXPECT_EQ(panel.window->framePixels(), (PixelRect{0, 0, 366, 90}));
    EXPECT_EQ(panel.bar->pixels(), (PixelRect{16, 32, 329, 21}));
    shot = Shot(panel.hwnd());
    EXPECT_EQ(shot.clientOrigin().x, panel.px(2));
    expectTitleBar(shot, panel, flatSage(), "FlatSage");
    expectBarFill(shot, panel, flatSage(), "FlatSage");

    // A font the system lacks is no refusal: the platform's message font draws the caption.
    SkinLook missingFont = flatSage();
    missingFont.title.font.family = "Refitor No Such Family";
    missingFont.label.font->family = "Refitor No Such Family";
    EXPECT_NE(runtime::win32::resolveFontFamily(L"Refitor No Such Family"), L"");
    EXPECT_NE(runtime::win32::resolveFontFamily(L"Refitor No Such Family"),
              L"Refitor No Such Family");
    painter->load(missingFont);
    painter->apply(panel.window->handle());
    shot = Shot(panel.hwnd());
    expectTitleBar(shot, panel, flatSage(), "FlatSage with a missing font");
    const int row = panel.px(2) + panel.px(20) / 2;
    EXPECT_GT(shot.countNear({panel.px(8), row - panel.px(5) - shot.clientOrigin().y, panel.px(150),
                              row + panel.px(5) - shot.clientOrigin().y},
                             flatSage().title.textColor),
              10)
        << "the caption still shows";
    EXPECT_GT(shot.countNear({panel.px(16), panel.px(16), panel.px(40), panel.px(32)},
                             *flatSage().label.textColor),
              4)
        << "and so do the skin labels";
}

TEST(Win32SkinPainter, CloseButtonAndTitleBarActLikeThePlatformFrame)
{
    PanelWindow panel;
    panel.window->show();
    const auto painter = controls().createSkinPainter(*panel.window);
    SkinLook look = softCrystal();
    look.closeButton.hoverBackground = look::Fill::solid({0, 200, 0});
    look.closeButton.pressedBackground = look::Fill::solid({200, 0, 0});
    draw(*painter, panel, look);
    ASSERT_TRUE(runtime::testing::activate(*panel.window));

    RECT outer{};
    GetWindowRect(panel.hwnd(), &outer);
    // The button's centre: 3 logical pixels from the bar's right end, centred on the bar.
    const POINT button{outer.left + panel.px(1) + panel.px(362 - 3 - 8),
                       outer.top + panel.px(1) + panel.px(11)};
    const POINT inButton{button.x - outer.left + panel.px(5), button.y - outer.top};
    mouseTo(button);
    EXPECT_TRUE(support::waitUntil([&] {
        return Shot(panel.hwnd()).at(inButton.x, inButton.y) == Color{0, 200, 0};
    })) << "the hover look";
    gesture({mouseInput(MOUSEEVENTF_LEFTDOWN)});
    EXPECT_TRUE(support::waitUntil([&] {
        return Shot(panel.hwnd()).at(inButton.x, inButton.y) == Color{200, 0, 0};
    })) << "the pressed look";
    // Pressing the close button and sliding off it before the release closes nothing.
    mouseTo({button.x - panel.px(60), button.y});
    EXPECT_TRUE(support::waitUntil([&] {
        return Shot(panel.hwnd()).at(inButton.x, inButton.y) != Color{200, 0, 0};
    })) << "off the button, the pressed look goes";
    gesture({mouseInput(MOUSEEVENTF_LEFTUP)});
    support::settle(200);
    EXPECT_EQ(panel.closes, 0);
    EXPECT_TRUE(panel.window->isVisible());

    // Dragging the title bar moves the window by as much as the mouse moved.
    const POINT grip{outer.left + panel.px(40), button.y};
    mouseTo(grip);
    const POINT start = cursor();
    gesture({mouseInput(MOUSEEVENTF_LEFTDOWN),
             mouseInput(MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE, {grip.x + 15, grip.y + 10}),
             mouseInput(MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE, {grip.x + 30, grip.y + 20}),
             mouseInput(MOUSEEVENTF_LEFTUP)});
    EXPECT_TRUE(support::waitUntil([&] {
        RECT now{};
        GetWindowRect(panel.hwnd(), &now);
        const POINT end = cursor();
        return end.x != start.x && now.left == outer.left + (end.x - start.x) &&
               now.top == outer.top + (end.y - start.y);
    })) << "the window follows the drag";

    GetWindowRect(panel.hwnd(), &outer);
    mouseTo({outer.left + panel.px(1) + panel.px(362 - 3 - 8), outer.top + panel.px(12)});
    gesture({mouseInput(MOUSEEVENTF_LEFTDOWN), mouseInput(MOUSEEVENTF_LEFTUP)});
    EXPECT_TRUE(support::waitUntil([&] { return panel.closes == 1; }))
        << "the window's close handler hears of the skin's close button";
    EXPECT_FALSE(panel.window->isVisible());
}

TEST(Win32SkinPainter, SettingsChangeWhatIsDrawn)
{
    PanelWindow panel;
    panel.window->show();
    panel.bar->setValue(50.0F);
    const auto painter = controls().createSkinPainter(*panel.window);
    const SkinLook crystal = softCrystal();
    const HWND edit = panel.child(L"EDIT");
    // The colours an edit asks its window for before it paints.
    const auto editColors = [&] {
        HDC dc = GetDC(edit);
        const auto brush = SendMessageW(panel.hwnd(), WM_CTLCOLOREDIT, reinterpret_cast<WPARAM>(dc),
                                        reinterpret_cast<LPARAM>(edit));
        const COLORREF back = GetBkColor(dc);
        const COLORREF text = GetTextColor(dc);
        ReleaseDC(edit, dc);
        return std::tuple{brush != 0, back, text};
    };

    // Design settings: SoftCrystal declares no panel fill, so the settings' panel colour shows;
    // the plain controls take the settings' colours.
    runtime::SkinSettings settings;
    painter->setSettings(settings);
    draw(*painter, panel, crystal);
    const POINT panelInside{panel.px(180), panel.px(12)};
    const POINT clientOutside{panel.px(4), panel.px(30)};
    Shot shot(panel.hwnd());
    EXPECT_EQ(shot.client(panelInside.x, panelInside.y), (Color{216, 233, 236}));
    EXPECT_EQ(editColors(), std::tuple(true, RGB(255, 255, 255), RGB(0, 0, 0)));

    // No colours applied: the panel shows the client background through, the plain controls
    // get their own colours back.
    settings.applyColors = false;
    painter->setSettings(settings);
    painter->apply(panel.window->handle());
    shot = Shot(panel.hwnd());
    const Color expected = gradientAt(crystal.client, panelInside.y, 0, panel.px(66));
    EXPECT_TRUE(Shot::similar(shot.client(panelInside.x, panelInside.y), expected))
        << hex(shot.client(panelInside.x, panelInside.y)) << " is not " << hex(expected);
    EXPECT_EQ(editColors(),
              std::tuple(true, GetSysColor(COLOR_WINDOW), GetSysColor(COLOR_WINDOWTEXT)))
        << "the platform's own colours";
    settings.applyColors = true;
    settings.backColor = {10, 20, 30};
    painter->setSettings(settings);
    painter->apply(panel.window->handle());
    EXPECT_EQ(std::get<1>(editColors()), RGB(10, 20, 30));

    // Only the frame is skinned: the client area, bar and labels keep the platform's look, and
    // the panel still takes the settings' colour.
    settings.skinClientArea = false;
    settings.panelTextColor = {90, 0, 0};
    painter->setSettings(settings);
    painter->apply(panel.window->handle());
    shot = Shot(panel.hwnd());
    expectTitleBar(shot, panel, crystal, "frame only");
    EXPECT_EQ(shot.client(clientOutside.x, clientOutside.y), (Color{224, 224, 224}));
    EXPECT_EQ(shot.client(panelInside.x, panelInside.y), (Color{216, 233, 236}));
    EXPECT_GT(shot.countNear({panel.px(16), panel.px(16), panel.px(40), panel.px(32)}, {90, 0, 0}),
              4)
        << "the settings' panel text colour, not the skin's";
    const Color barMiddle = shot.client(panel.px(16 + 60), panel.px(32 + 10));
    EXPECT_FALSE(Shot::similar(
        barMiddle, gradientAt(crystal.bar.fill, panel.px(42), panel.px(33), panel.px(19)), 12))
        << "the platform's own bar is back";
}

TEST(Win32SkinPainter, DecodesImagesAndTurnsTheirHue)
{
    PanelWindow panel;
    panel.window->show();
    const auto painter = controls().createSkinPainter(*panel.window);
    // Tiled at its own size, so its halves repeat every 8 logical pixels across the client area.
    SkinLook tiled = flatSage();
    tiled.client.image = halvesImage();
    tiled.client.imageMode = look::Fill::ImageMode::Tile;
    draw(*painter, panel, tiled);
    const int row = panel.px(60);
    Shot shot(panel.hwnd());
    EXPECT_TRUE(Shot::similar(shot.client(panel.px(1), row), {255, 0, 0}, 8));
    EXPECT_TRUE(Shot::similar(shot.client(panel.px(5), row), {0, 0, 255}, 8));
    EXPECT_TRUE(Shot::similar(shot.client(panel.px(9), row), {255, 0, 0}, 8)) << "the second tile";

    // A third of the way round: red turns green, blue turns red.
    tiled.client.image->hue = 120;
    painter->load(tiled);
    painter->apply(panel.window->handle());
    shot = Shot(panel.hwnd());
    EXPECT_TRUE(Shot::similar(shot.client(panel.px(1), row), {0, 255, 0}, 8));
    EXPECT_TRUE(Shot::similar(shot.client(panel.px(5), row), {255, 0, 0}, 8));

    // Stretched over the whole client area, the halves split it down the middle.
    SkinLook stretched = flatSage();
    stretched.client.image = halvesImage();
    painter->load(stretched);
    painter->apply(panel.window->handle());
    shot = Shot(panel.hwnd());
    EXPECT_TRUE(Shot::similar(shot.client(panel.px(9), row), {255, 0, 0}, 8));
    EXPECT_TRUE(Shot::similar(shot.client(panel.px(352), row), {0, 0, 255}, 8));
}

// Borders, the title bar's lower edge and the end of the bar's fill fall on whole device pixels
// at the scale the test runs at (the test runs again in a prefix at 150 % and 200 %).
TEST(Win32SkinPainter, EdgesStaySharpAtAnyScale)
{
    PanelWindow panel;
    panel.window->show();
    panel.bar->setValue(50.0F);
    const auto painter = controls().createSkinPainter(*panel.window);
    const SkinLook flat = flatSage();
    draw(*painter, panel, flat);
    const Shot shot(panel.hwnd());
    const char *expectedDpi = std::getenv("REFITOR_EXPECTED_DPI");
    if (expectedDpi != nullptr) {
        ASSERT_EQ(GetDpiForWindow(panel.hwnd()), static_cast<UINT>(std::atoi(expectedDpi)));
    }
    const Color border = flat.frame.borderColor;
    const Color client = flat.client.stops.front().color;
    const Color title = flat.title.background.stops.front().color;

    const int b = panel.px(2);
    const int row = panel.px(70); // beside the panel, below the title bar
    for (int x = 0; x < b; ++x)
        EXPECT_EQ(shot.at(x, row), border) << "border column " << x;
    EXPECT_EQ(shot.at(b, row), client);

    const int titleEnd = panel.px(2) + panel.px(20);
    EXPECT_EQ(shot.at(panel.px(300), titleEnd - 1), title);
    EXPECT_EQ(shot.at(panel.px(300), titleEnd), client);

    // Half of the bar's width in device pixels, rounded: the fill ends on a whole pixel.
    const int barLeft = panel.px(16);
    const int barWidth = panel.px(16 + 329) - barLeft;
    const int fillEnd = barLeft + static_cast<int>(std::lround(barWidth / 2.0));
    const int barRow = panel.px(32 + 10);
    EXPECT_EQ(shot.client(fillEnd - 1, barRow), flat.bar.fill.stops.front().color);
    EXPECT_EQ(shot.client(fillEnd, barRow), flat.bar.groove.stops.front().color);
}
