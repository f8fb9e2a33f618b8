// The skin painter on real windows, through the runtime's interface, read back as the pixels a
// person sees (runtime/Screen.h): the same cases run on every runtime. Expected places are
// logical pixels turned into device pixels at the window's own scale, so the same cases hold at
// 100 %, 150 % and 200 % (ctest runs them again at those scales).

#include "runtime/Controls.h"
#include "runtime/RuntimeError.h"
#include "runtime/Screen.h"
#include "runtime/SkinLook.h"
#include "runtime/SkinLooks.h"
#include "runtime/Testing.h"
#include "support/SystemSupport.h"

#include <cmath>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using runtime::Color;
using runtime::controls;
using runtime::ErrorKind;
using runtime::PixelRect;
using runtime::RuntimeError;
using runtime::SkinLook;
using screen::gradientAt;
using screen::hex;
using screen::MouseStep;
using screen::Shot;
using screen::similar;
namespace look = runtime::look;
using skinlooks::flatSage;
using skinlooks::softCrystal;

namespace {

// 8 x 4 pixels: the left half red, the right half blue.
look::Image halvesImage()
{
    return {screen::pngOf(8, 4,
                          [](int x, int) {
                              return x < 4 ? Color{255, 0, 0} : Color{0, 0, 255};
                          }),
            8, 4, 0};
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
        edit->setText("out of sight");
        panel = controls().createShape(*window);
        panel->setPlace({120, 120, 5175, 735});
        window->onClose([this] { ++closes; });
    }

    int px(double logical) const
    {
        return static_cast<int>(std::lround(logical * screen::scaleOf(*window)));
    }
    Shot shoot() const { return screen::shoot(*window); }

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
void expectTitleBar(const Shot &shot, const SkinLook &look, const char *what)
{
    const int top = shot.px(look.frame.borderWidth);
    const int height = shot.px(look.title.height);
    for (const int y : {top + height / 4, top + height * 3 / 4}) {
        const Color expected = gradientAt(look.title.background, y, top, height);
        const Color actual = shot.at(shot.px(300), y);
        EXPECT_TRUE(similar(actual, expected))
            << what << ": title row " << y << " is " << hex(actual) << ", not " << hex(expected);
    }
}

// The bar's fill a little right of its left end, on rows a third and two thirds down.
void expectBarFill(const Shot &shot, const SkinLook &look, const char *what)
{
    const int inset = look.bar.grooveBorderColor ? std::max(1, shot.px(1)) : 0;
    const int top = shot.px(32) + inset;
    const int height = shot.px(32 + 21) - inset - top;
    for (const int y : {top + height / 3, top + height * 2 / 3}) {
        const Color expected = gradientAt(look.bar.fill, y, top, height);
        const Color actual = shot.client(shot.px(16) + inset + shot.px(30), y);
        EXPECT_TRUE(similar(actual, expected))
            << what << ": fill row " << y << " is " << hex(actual) << ", not " << hex(expected);
    }
}

// How many pixels near color there are in a logical rectangle of the client area.
int countNear(const Shot &shot, const PixelRect &logical, Color color)
{
    return shot.countNear({shot.px(logical.left), shot.px(logical.top),
                           shot.px(logical.left + logical.width) - shot.px(logical.left),
                           shot.px(logical.top + logical.height) - shot.px(logical.top)},
                          color);
}

// How many pixels near color there are in the middle of the title bar's height, from x = 8 to
// 150: the caption's.
int captionPixels(const Shot &shot, const SkinLook &look)
{
    const int middle = shot.px(look.frame.borderWidth) + shot.px(look.title.height) / 2;
    return shot.countNear(
        {shot.px(8), middle - shot.px(5) - shot.clientOrigin.y, shot.px(142), shot.px(10)},
        look.title.textColor);
}

// The place the platform gave a control, as expected from its logical place on the client area.
PixelRect expectedPlace(const Shot &shot, const PixelRect &logical)
{
    return {shot.clientOrigin.x + shot.px(logical.left), shot.clientOrigin.y + shot.px(logical.top),
            shot.px(logical.left + logical.width) - shot.px(logical.left),
            shot.px(logical.top + logical.height) - shot.px(logical.top)};
}

bool near(screen::Point a, screen::Point b)
{
    return std::abs(a.x - b.x) <= 1 && std::abs(a.y - b.y) <= 1;
}

} // namespace

TEST(SkinPainter, RefusesWhatItCannotUseAndKeepsWhatItHad)
{
    PanelWindow panel;
    const auto painter = controls().createSkinPainter(*panel.window);
    const runtime::WindowHandle handle = panel.window->handle();
    const PixelRect frame = panel.window->framePixels();
    refusal([&] { painter->attach(0); });
    refusal([&] { painter->attach(screen::nativeHandleOf(*panel.bar)); });
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
    EXPECT_EQ(panel.window->framePixels(), frame) << "nothing drawn";
    EXPECT_FALSE(runtime::testing::isFrameless(*panel.window));

    PanelWindow other;
    painter->load(flatSage());
    refusal([&] { painter->apply(other.window->handle()); }); // not the attached window

    // A refused look leaves the one prepared before in force.
    refusal([&] { painter->load(damaged); });
    painter->apply(handle);
    panel.window->show();
    expectTitleBar(panel.shoot(), flatSage(), "FlatSage after a refused look");
}

TEST(SkinPainter, DrawsTheFrameAroundTheDesignClientArea)
{
    PanelWindow panel;
    panel.window->show();
    const PixelRect before = screen::frameOnScreen(*panel.window);
    const auto painter = controls().createSkinPainter(*panel.window);
    draw(*painter, panel, softCrystal());
    panel.bar->setValue(50.0F);

    EXPECT_TRUE(runtime::testing::isFrameless(*panel.window));
    EXPECT_TRUE(panel.window->isVisible()) << "a shown window stays shown when it gets its frame";
    EXPECT_EQ(panel.window->framePixels(), (PixelRect{0, 0, 364, 90}))
        << "362 x 66 inside a 1-pixel border, 22 of title";
    EXPECT_EQ(panel.window->clientPixels(), (PixelRect{0, 0, 362, 66}));
    EXPECT_EQ(panel.bar->pixels(), (PixelRect{16, 32, 329, 21})) << "its place on the client area";
    const PixelRect after = screen::frameOnScreen(*panel.window);
    EXPECT_NEAR(2 * before.left + before.width, 2 * after.left + after.width, 2) << "stays centred";
    EXPECT_NEAR(2 * before.top + before.height, 2 * after.top + after.height, 2);

    Shot shot = panel.shoot();
    EXPECT_EQ(shot.clientOrigin, (screen::Point{shot.px(1), shot.px(1) + shot.px(22)}));
    EXPECT_EQ(shot.width, shot.px(362) + 2 * shot.px(1));
    EXPECT_EQ(shot.height, shot.px(66) + shot.px(22) + 2 * shot.px(1));
    EXPECT_EQ(screen::nativePlace(*panel.bar), expectedPlace(shot, {16, 32, 329, 21}));
    expectTitleBar(shot, softCrystal(), "SoftCrystal");
    expectBarFill(shot, softCrystal(), "SoftCrystal");
    EXPECT_EQ(shot.at(0, shot.px(45)), softCrystal().frame.borderColor);
    EXPECT_EQ(shot.at(shot.px(1), shot.px(45)), (Color{255, 255, 255})) << "the inner border";
    EXPECT_GT(countNear(shot, {16, 16, 24, 16}, *softCrystal().label.textColor), 4)
        << "the skin label's \"00\" in the skin's text colour";
    EXPECT_GT(captionPixels(shot, softCrystal()), 4) << "the caption in the title bar";

    // A control placed while a frame is on goes to its place on the client area, and keeps it
    // under the next frame, as the design places do.
    panel.edit->setPlace({240, 2700, 3000, 315});
    EXPECT_EQ(panel.edit->pixels(), (PixelRect{16, 180, 200, 21}));
    EXPECT_EQ(screen::nativePlace(*panel.edit), expectedPlace(shot, {16, 180, 200, 21}));

    draw(*painter, panel, flatSage());
    EXPECT_EQ(panel.window->framePixels(), (PixelRect{0, 0, 366, 90}));
    EXPECT_EQ(panel.bar->pixels(), (PixelRect{16, 32, 329, 21}));
    EXPECT_EQ(panel.edit->pixels(), (PixelRect{16, 180, 200, 21}));
    shot = panel.shoot();
    EXPECT_EQ(shot.clientOrigin, (screen::Point{shot.px(2), shot.px(2) + shot.px(20)}));
    EXPECT_EQ(screen::nativePlace(*panel.bar), expectedPlace(shot, {16, 32, 329, 21}));
    EXPECT_EQ(screen::nativePlace(*panel.edit), expectedPlace(shot, {16, 180, 200, 21}));
    expectTitleBar(shot, flatSage(), "FlatSage");
    expectBarFill(shot, flatSage(), "FlatSage");

    // A font the system lacks is no refusal: the platform picks another, which still draws.
    SkinLook missingFont = flatSage();
    missingFont.title.font.family = "Refitor No Such Family";
    missingFont.label.font->family = "Refitor No Such Family";
    painter->load(missingFont);
    painter->apply(panel.window->handle());
    shot = panel.shoot();
    expectTitleBar(shot, flatSage(), "FlatSage with a missing font");
    EXPECT_GT(captionPixels(shot, flatSage()), 10) << "the caption still shows";
    EXPECT_GT(countNear(shot, {16, 16, 24, 16}, *flatSage().label.textColor), 4)
        << "and so do the skin labels";
}

TEST(SkinPainter, CloseButtonAndTitleBarActLikeThePlatformFrame)
{
    PanelWindow panel;
    panel.window->show();
    const auto painter = controls().createSkinPainter(*panel.window);
    SkinLook look = softCrystal();
    look.closeButton.hoverBackground = look::Fill::solid({0, 200, 0});
    look.closeButton.pressedBackground = look::Fill::solid({200, 0, 0});
    draw(*painter, panel, look);
    ASSERT_TRUE(runtime::testing::activate(*panel.window));
    panel.window->setCaption("Updating Korvane 12%");

    // The button's centre: 3 logical pixels from the bar's right end, centred on the bar.
    const auto px = [&](double logical) { return panel.px(logical); };
    const screen::Point button{px(1) + px(362 - 3 - 8), px(1) + px(11)};
    const screen::Point inButton{button.x + px(5), button.y};
    const auto buttonIs = [&](Color color) {
        return support::waitUntil([&] { return panel.shoot().at(inButton.x, inButton.y) == color; },
                                  5000);
    };
    screen::mouse(*panel.window, {{MouseStep::Kind::Move, button}});
    EXPECT_TRUE(buttonIs({0, 200, 0})) << "the hover look";
    screen::mouse(*panel.window, {{MouseStep::Kind::Press, {}}});
    EXPECT_TRUE(buttonIs({200, 0, 0})) << "the pressed look";
    // Pressing the close button and sliding off it before the release closes nothing.
    screen::mouse(*panel.window, {{MouseStep::Kind::Move, {button.x - px(60), button.y}}});
    EXPECT_TRUE(support::waitUntil(
        [&] {
            return panel.shoot().at(inButton.x, inButton.y) != Color{200, 0, 0};
        },
        5000))
        << "off the button, the pressed look goes";
    screen::mouse(*panel.window, {{MouseStep::Kind::Release, {}}});
    screen::deliverPosted();
    EXPECT_EQ(panel.closes, 0);
    EXPECT_TRUE(panel.window->isVisible());

    // Dragging the title bar moves the window by as much as the mouse moved.
    const PixelRect outer = screen::frameOnScreen(*panel.window);
    const screen::Point grip{px(40), button.y};
    const screen::Point gripOnScreen{outer.left + grip.x, outer.top + grip.y};
    screen::mouse(*panel.window, {{MouseStep::Kind::Move, grip}});
    support::waitUntil([&] { return near(screen::pointer(), gripOnScreen); });
    const screen::Point start = screen::pointer();
    screen::mouse(*panel.window, {{MouseStep::Kind::Press, {}},
                                  {MouseStep::Kind::Move, {grip.x + 15, grip.y + 10}},
                                  {MouseStep::Kind::Move, {grip.x + 30, grip.y + 20}},
                                  {MouseStep::Kind::Release, {}}});
    EXPECT_TRUE(support::waitUntil([&] {
        const PixelRect now = screen::frameOnScreen(*panel.window);
        const screen::Point end = screen::pointer();
        return end.x != start.x && now.left == outer.left + (end.x - start.x) &&
               now.top == outer.top + (end.y - start.y);
    })) << "the window follows the drag";

    screen::mouse(*panel.window, {{MouseStep::Kind::Move, button},
                                  {MouseStep::Kind::Press, {}},
                                  {MouseStep::Kind::Release, {}}});
    EXPECT_TRUE(support::waitUntil([&] { return panel.closes == 1; }))
        << "the window's close handler hears of the skin's close button";
    EXPECT_FALSE(panel.window->isVisible());
}

TEST(SkinPainter, SettingsChangeWhatIsDrawn)
{
    PanelWindow panel;
    panel.window->show();
    panel.bar->setValue(50.0F);
    const auto painter = controls().createSkinPainter(*panel.window);
    const SkinLook crystal = softCrystal();
    const auto designEdit = screen::textBoxColors(*panel.edit);

    // Design settings: SoftCrystal declares no panel fill, so the settings' panel colour shows;
    // the plain controls take the settings' colours.
    runtime::SkinSettings settings;
    painter->setSettings(settings);
    draw(*painter, panel, crystal);
    Shot shot = panel.shoot();
    const screen::Point panelInside{shot.px(180), shot.px(12)};
    const screen::Point clientOutside{shot.px(4), shot.px(30)};
    EXPECT_EQ(shot.client(panelInside.x, panelInside.y), (Color{216, 233, 236}));
    EXPECT_EQ(screen::textBoxColors(*panel.edit),
              (std::pair{Color{255, 255, 255}, Color{0, 0, 0}}));

    // No colours applied: the panel shows the client background through, the plain controls
    // get their own colours back.
    settings.applyColors = false;
    painter->setSettings(settings);
    painter->apply(panel.window->handle());
    shot = panel.shoot();
    const Color expected = gradientAt(crystal.client, panelInside.y, 0, shot.px(66));
    EXPECT_TRUE(similar(shot.client(panelInside.x, panelInside.y), expected))
        << hex(shot.client(panelInside.x, panelInside.y)) << " is not " << hex(expected);
    EXPECT_EQ(screen::textBoxColors(*panel.edit), designEdit) << "the platform's own colours";
    settings.applyColors = true;
    settings.backColor = {10, 20, 30};
    painter->setSettings(settings);
    painter->apply(panel.window->handle());
    EXPECT_EQ(screen::textBoxColors(*panel.edit).first, (Color{10, 20, 30}));

    // Only the frame is skinned: the client area, bar and labels keep the platform's look, and
    // the panel still takes the settings' colour.
    settings.skinClientArea = false;
    settings.panelTextColor = {90, 0, 0};
    painter->setSettings(settings);
    painter->apply(panel.window->handle());
    shot = panel.shoot();
    expectTitleBar(shot, crystal, "frame only");
    EXPECT_EQ(shot.client(clientOutside.x, clientOutside.y), (Color{224, 224, 224}));
    EXPECT_EQ(shot.client(panelInside.x, panelInside.y), (Color{216, 233, 236}));
    EXPECT_GT(countNear(shot, {16, 16, 24, 16}, {90, 0, 0}), 4)
        << "the settings' panel text colour, not the skin's";
    const Color barMiddle = shot.client(shot.px(16 + 60), shot.px(32 + 10));
    EXPECT_FALSE(
        similar(barMiddle, gradientAt(crystal.bar.fill, shot.px(42), shot.px(33), shot.px(19)), 12))
        << "the platform's own bar is back";
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
    Shot shot = panel.shoot();
    const int row = shot.px(60);
    const auto expectAt = [&](int x, Color color, const char *what) {
        EXPECT_TRUE(similar(shot.client(shot.px(x), row), color))
            << what << " at " << x << ": " << hex(shot.client(shot.px(x), row)) << ", not "
            << hex(color);
    };
    expectAt(1, {255, 0, 0}, "the first tile's left half");
    expectAt(5, {0, 0, 255}, "the first tile's right half");
    expectAt(9, {255, 0, 0}, "the second tile");

    // A third of the way round: red turns green, blue turns red.
    tiled.client.image->hue = 120;
    painter->load(tiled);
    painter->apply(panel.window->handle());
    shot = panel.shoot();
    expectAt(1, {0, 255, 0}, "red turned");
    expectAt(5, {255, 0, 0}, "blue turned");

    // Stretched over the whole client area, the halves split it down the middle.
    SkinLook stretched = flatSage();
    stretched.client.image = halvesImage();
    painter->load(stretched);
    painter->apply(panel.window->handle());
    shot = panel.shoot();
    expectAt(9, {255, 0, 0}, "the stretched left half");
    expectAt(352, {0, 0, 255}, "the stretched right half");
}

// Borders, the title bar's lower edge and the end of the bar's fill fall on whole device pixels
// at the scale the test runs at (REFITOR_EXPECTED_SCALE, 1 unless set).
TEST(SkinPainter, EdgesStaySharpAtAnyScale)
{
    PanelWindow panel;
    panel.window->show();
    panel.bar->setValue(50.0F);
    const auto painter = controls().createSkinPainter(*panel.window);
    const SkinLook flat = flatSage();
    draw(*painter, panel, flat);
    const Shot shot = panel.shoot();
    const char *expectedScale = std::getenv("REFITOR_EXPECTED_SCALE");
    ASSERT_EQ(shot.scale, expectedScale != nullptr ? std::atof(expectedScale) : 1.0);
    const Color border = flat.frame.borderColor;
    const Color client = flat.client.stops.front().color;
    const Color title = flat.title.background.stops.front().color;

    const int b = shot.px(2);
    const int row = shot.px(70); // beside the panel, below the title bar
    for (int x = 0; x < b; ++x)
        EXPECT_EQ(shot.at(x, row), border) << "border column " << x;
    EXPECT_EQ(shot.at(b, row), client);

    const int titleEnd = shot.px(2) + shot.px(20);
    EXPECT_EQ(shot.at(shot.px(300), titleEnd - 1), title);
    EXPECT_EQ(shot.at(shot.px(300), titleEnd), client);

    // Half of the bar's 329 pixels, 164.5, rounded to a whole pixel: in device pixels, or in
    // logical ones and then scaled, as a runtime may; both are the same at 100 %.
    const int barLeft = shot.px(16);
    const int barWidth = shot.px(16 + 329) - barLeft;
    const std::vector<int> fillEnds{barLeft + static_cast<int>(std::lround(barWidth / 2.0)),
                                    shot.px(16 + 165)};
    const int barRow = shot.px(32 + 10);
    int fillEnd = barLeft;
    while (fillEnd < barLeft + barWidth &&
           shot.client(fillEnd, barRow) == flat.bar.fill.stops.front().color)
        ++fillEnd;
    EXPECT_TRUE(fillEnd == fillEnds[0] || fillEnd == fillEnds[1])
        << "the fill ends at " << fillEnd << ", not at " << fillEnds[0] << " or " << fillEnds[1];
    EXPECT_EQ(shot.client(fillEnd - 1, barRow), flat.bar.fill.stops.front().color);
    EXPECT_EQ(shot.client(fillEnd, barRow), flat.bar.groove.stops.front().color);
}
