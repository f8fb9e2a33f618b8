#include "skin/Skin.h"

#include <functional>
#include <gtest/gtest.h>
#include <limits>
#include <vector>

using namespace skin;

namespace {

constexpr Color kRed{255, 0, 0};
constexpr Color kGreen{0, 255, 0};
constexpr Color kBlue{0, 0, 255};

// Every colour a skin declares, each reached through a function so none can be forgotten.
std::vector<std::function<std::optional<Color>(const Skin &)>> everyColour()
{
    return {
        [](const Skin &s) { return std::optional(s.frame.borderColor); },
        [](const Skin &s) { return s.frame.innerBorderColor; },
        [](const Skin &s) { return std::optional(s.title.background.stops.front().color); },
        [](const Skin &s) { return std::optional(s.title.textColor); },
        [](const Skin &s) { return std::optional(s.closeButton.background.stops.front().color); },
        [](const Skin &s) {
            return std::optional(s.closeButton.hoverBackground.stops.front().color);
        },
        [](const Skin &s) {
            return std::optional(s.closeButton.pressedBackground.stops.front().color);
        },
        [](const Skin &s) { return s.closeButton.borderColor; },
        [](const Skin &s) { return std::optional(s.closeButton.glyphColor); },
        [](const Skin &s) { return std::optional(s.closeButton.hoverGlyphColor); },
        [](const Skin &s) { return std::optional(s.client.stops.front().color); },
        [](const Skin &s) { return std::optional(s.panel.background->stops.back().color); },
        [](const Skin &s) { return s.panel.borderColor; },
        [](const Skin &s) { return s.label.textColor; },
        [](const Skin &s) { return std::optional(s.bar.groove.stops.front().color); },
        [](const Skin &s) { return s.bar.grooveBorderColor; },
        [](const Skin &s) { return std::optional(s.bar.fill.stops.back().color); },
        [](const Skin &s) { return s.bar.fillBorderColor; },
    };
}

Skin allRed()
{
    Skin skin;
    const Fill red = Fill::solid(kRed);
    skin.frame = {1, kRed, kRed};
    skin.title.background = red;
    skin.title.textColor = kRed;
    skin.closeButton = {14, 0, red, red, red, kRed, kRed, kRed};
    skin.client = red;
    skin.panel = {Fill{{{0.0, kBlue}, {1.0, kRed}}, {}, 1, {}}, kRed, 0};
    skin.label.textColor = kRed;
    skin.bar = {0, red, kRed, Fill{{{0.0, kBlue}, {1.0, kRed}}, {}, 1, {}}, kRed};
    return skin;
}

} // namespace

TEST(SkinHue, EveryDeclaredColourTurnsAndImagesCarryTheirTurn)
{
    Skin skin = allRed();
    skin.client.image = Image{"png", 1, 1, 0};
    skin.bar.fill.image = Image{"png", 1, 1, 300};
    const Skin turned = rotateHue(skin, 120);
    const auto colours = everyColour();
    for (std::size_t i = 0; i < colours.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(colours[i](skin), kRed);
        EXPECT_EQ(colours[i](turned), kGreen);
    }
    EXPECT_EQ(turned.panel.background->stops.front().color, kRed) << "blue turns to red";
    EXPECT_EQ(turned.client.image->hue, 120) << "the painter turns the pixels";
    EXPECT_EQ(turned.bar.fill.image->hue, 60) << "turns add up, modulo 360";
    EXPECT_EQ(turned.client.image->png, "png");
    EXPECT_EQ(turned.name, skin.name);
}

TEST(SkinHue, GreysStayAndAlphaIsKept)
{
    Skin skin;
    skin.title.textColor = {128, 128, 128};
    skin.label.textColor = Color{255, 0, 0, 100};
    const Skin turned = rotateHue(skin, 120);
    EXPECT_EQ(turned.title.textColor, (Color{128, 128, 128}));
    EXPECT_EQ(turned.label.textColor, (Color{0, 255, 0, 100}));
    EXPECT_EQ(turned.frame, skin.frame) << "the default skin is all greys";
    EXPECT_EQ(turned.bar.fill.stops.front().color, rotateHue(Color{0, 120, 215}, 120));
}

TEST(SkinHue, DegreesAreTakenModulo360)
{
    const Skin skin = allRed();
    EXPECT_EQ(rotateHue(skin, -240), rotateHue(skin, 120));
    EXPECT_EQ(rotateHue(skin, 360 * 5), skin);
    EXPECT_EQ(rotateHue(skin, std::numeric_limits<int>::min()),
              rotateHue(skin, std::numeric_limits<int>::min() % 360 + 360));
    EXPECT_EQ(rotateHue(skin, std::numeric_limits<int>::max()),
              rotateHue(skin, std::numeric_limits<int>::max() % 360));
}

// Values QColor gives (toHsv, hue turned, fromHsv, toRgb) at its 16-bit precision; the first
// three are where rounding its 16-bit channels to bytes any other way goes wrong.
TEST(SkinHue, TurnsAsQColorDoes)
{
    struct Case
    {
        Color from;
        int degrees;
        Color to;
    };
    const std::vector<Case> cases{
        {{0x00, 0x03, 0x1e, 0xff}, 1, {0x00, 0x02, 0x1e, 0xff}},
        {{0x00, 0x06, 0x5a, 0xff}, 1, {0x00, 0x04, 0x5a, 0xff}},
        {{0x00, 0x06, 0x87, 0xff}, 1, {0x00, 0x04, 0x87, 0xff}},
        {{0x7d, 0x9c, 0xc4, 0x80}, 37, {0x89, 0x7d, 0xc4, 0x80}},
        {{0xfb, 0xfd, 0xff, 0xff}, 200, {0xff, 0xfe, 0xfb, 0xff}},
        {{0xff, 0xc2, 0x66, 0x10}, 359, {0xff, 0xbf, 0x66, 0x10}},
        {{0x56, 0x73, 0x5f, 0xff}, 90, {0x56, 0x5c, 0x73, 0xff}},
        {{0x10, 0x20, 0x30, 0xd0}, 180, {0x30, 0x20, 0x10, 0xd0}},
        {{0xfe, 0xfe, 0xff, 0xff}, 120, {0xff, 0xfe, 0xfe, 0xff}},
        {{0x01, 0x00, 0x00, 0xff}, 45, {0x01, 0x01, 0x00, 0xff}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.degrees);
        EXPECT_EQ(rotateHue(c.from, c.degrees), c.to);
    }
}
