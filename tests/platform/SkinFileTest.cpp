#include "platform/SkinFile.h"

#include "platform/PlatformError.h"
#include "support/TestUtil.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <limits>
#include <map>

using namespace platform;
using testutil::sourceFolder;

namespace {

QString refusal(const QByteArray &data)
{
    try {
        parseSkin(data);
    } catch (const PlatformError &error) {
        return error.reason();
    }
    return {};
}

QByteArray minimal(const QByteArray &rest = {})
{
    return "refitor-skin 1.0\n[skin]\nname = Test\n" + rest;
}

} // namespace

TEST(SkinFile, ShippedSkinsLoadWithTheirOwnLooks)
{
    const QStringList names =
        QDir(sourceFolder("skins")).entryList({QStringLiteral("*.skn")}, QDir::Files);
    EXPECT_EQ(names, (QStringList{"FlatSage.skn", "Midnight.skn", "SoftCrystal.skn"}));
    for (const QString &name : names) {
        SCOPED_TRACE(name.toStdString());
        const Skin skin = readSkinFile(sourceFolder("skins/") + name);
        EXPECT_FALSE(skin.name.isEmpty());
        EXPECT_FALSE(skin.title.background.stops.isEmpty());
        EXPECT_LE(skin.closeButton.size, skin.title.height);
    }
    const Skin crystal = readSkinFile(sourceFolder("skins/SoftCrystal.skn"));
    EXPECT_EQ(crystal.name, QStringLiteral("Soft Crystal"));
    EXPECT_FALSE(crystal.panel.background) << "the panel takes the engine's panel colour";
    ASSERT_EQ(crystal.title.background.stops.size(), 4);
    EXPECT_EQ(crystal.title.background.stops[2], QGradientStop(0.5, QColor(0xd2, 0xe3, 0xf6)));

    const Skin midnight = readSkinFile(sourceFolder("skins/Midnight.skn"));
    EXPECT_EQ(midnight.client.image.size(), QSize(8, 8));
    EXPECT_EQ(midnight.client.density, 2);
    EXPECT_EQ(midnight.client.imageMode, SkinFill::ImageMode::Tile);
    EXPECT_EQ(midnight.panel.background->stops.front().second, QColor(0x10, 0x14, 0x1b, 0xd0));
    EXPECT_FALSE(midnight.closeButton.borderColor.isValid()) << "border-color = none";
}

// Every file of the broken corpus (also the fuzzer's seeds) is refused with a reason that
// says what is wrong, and none crashes the parser (the debug build runs this under ASan/UBSan).
TEST(SkinFile, BrokenFilesAreRefusedWithTheirReason)
{
    const std::map<QString, QString> expected{
        {"empty.skn", "is empty"},
        {"no-version-line.skn", "line 1: a skin file begins with the line 'refitor-skin 1.0'"},
        {"version-2.skn", "format version 2.0 is not one this engine reads"},
        {"nul-byte.skn", "line 3: the file holds a control character (code 0)"},
        {"not-utf8.skn", "not UTF-8 text"},
        {"no-name.skn", "[skin] name is missing"},
        {"setting-outside-section.skn", "line 2: a setting comes before any [section]"},
        {"bad-section-header.skn", "line 4: a section header is written"},
        {"duplicate-key.skn", "line 6: the setting 'height' is given twice"},
        {"duplicate-section.skn", "line 6: the section [title] appears twice"},
        {"colour-name.skn", "line 5: [frame] border-color must be a colour #rrggbb or #rrggbbaa"},
        {"colour-short.skn", "[frame] border-color must be a colour"},
        {"height-out-of-range.skn", "[title] height must be a whole number from 16 to 48"},
        {"negative-number.skn", "[frame] border-width must be a whole number from 0 to 8"},
        {"too-many-stops.skn", "[client] background has more than 8 colours"},
        {"stops-backwards.skn", "positions that go backwards"},
        {"stops-partly-placed.skn", "gives positions for some colours but not all"},
        {"stop-beyond-one.skn", "has a position beyond 1"},
        {"font-without-size.skn", "[label] font must be 'family, size'"},
        {"font-too-large.skn", "from 5 to 24 points"},
        {"bad-alignment.skn", "[title] align must be left, center or right"},
        {"button-taller-than-title.skn", "size 40 does not fit the title bar's height 20"},
        {"undefined-image.skn", "names the image 'nothere', which the file does not define"},
        {"image-not-base64.skn", "[image pic] data is not base64"},
        {"image-not-png.skn", "[image pic] data is not a PNG image"},
        {"image-too-large.skn", "[image pic] is 4096 x 4096 pixels; the window needs at most"},
        {"image-absurd-size.skn", "[image pic]"},
        {"image-truncated.skn", "[image pic] data is"},
        {"image-without-data.skn", "[image pic] has no data"},
        {"image-bad-density.skn", "[image pic] density must be 1 or 2"},
        {"too-many-images.skn", "a skin holds at most 8 images"},
        {"indent-without-setting.skn", "line 5: an indented line continues no setting"},
        {"not-a-setting.skn", "line 5: expected a setting written 'key = value'"},
        {"bad-image-mode.skn", "[client] image-mode must be stretch or tile"},
        {"name-too-long.skn", "[skin] name is longer than 64 characters"},
    };
    const QString folder = sourceFolder("tests/data/broken-skins");
    const QStringList files = QDir(folder).entryList(QDir::Files);
    EXPECT_EQ(static_cast<std::size_t>(files.size()), expected.size())
        << "every broken file has its expected reason here";
    for (const QString &name : files) {
        SCOPED_TRACE(name.toStdString());
        const QString path = folder + u'/' + name;
        const QString reason = refusal(testutil::readFile(path));
        ASSERT_FALSE(reason.isEmpty()) << "accepted";
        const auto it = expected.find(name);
        ASSERT_NE(it, expected.end());
        EXPECT_TRUE(reason.contains(it->second)) << reason.toStdString();
        // Through the file reader the reason also names the file.
        try {
            readSkinFile(path);
        } catch (const PlatformError &error) {
            EXPECT_TRUE(error.reason().startsWith(path + QStringLiteral(" is not a usable skin: ")))
                << error.what();
        }
    }
}

TEST(SkinFile, SizeLimitIsCheckedBeforeParsing)
{
    QByteArray big = minimal("# ");
    big.append(QByteArray(SkinFileLimits::kMaxFileBytes, 'x'));
    EXPECT_EQ(refusal(big), QStringLiteral("the skin file is larger than 1 MiB"));
    EXPECT_TRUE(refusal(minimal("# " + QByteArray(900'000, 'x') + "\n")).isEmpty());

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("big.skn"));
    testutil::writeFile(path, big + big);
    EXPECT_THROW(readSkinFile(path), PlatformError);
    EXPECT_THROW(readSkinFile(dir.filePath(QStringLiteral("missing.skn"))), PlatformError);
}

TEST(SkinFile, NewerFilesLoadAndDefaultsFillTheRest)
{
    // A newer minor version with settings and sections this engine does not know.
    const Skin skin = parseSkin("\xEF\xBB\xBFrefitor-skin 1.7\r\n"
                                "; comment\r\n"
                                "[skin]\r\nname = Future\r\nsparkle = yes\r\n"
                                "[glow]\r\nradius = 99\r\ncolour = whatever it means\r\n"
                                "[title]\r\nHeight = 30\r\nshadow = #000000\r\n"
                                "[client]\r\nbackground = #000000, #808080, #ffffff\r\n");
    EXPECT_EQ(skin.name, QStringLiteral("Future"));
    EXPECT_EQ(skin.title.height, 30) << "keys are case-insensitive";
    ASSERT_EQ(skin.client.stops.size(), 3);
    EXPECT_DOUBLE_EQ(skin.client.stops[1].first, 0.5) << "stops without positions are spaced";
    EXPECT_EQ(skin.frame.borderWidth, Skin{}.frame.borderWidth);
    EXPECT_EQ(skin.bar.fill.stops, Skin{}.bar.fill.stops);

    // Long image data continues on indented lines.
    const QByteArray png = QByteArray::fromBase64(
        "iVBORw0KGgoAAAANSUhEUgAAAAgAAAAICAYAAADED76LAAAAOElEQVR42mP4//8/HxQzQDEbEpuBAU0SXREfAxZJ"
        "GObDpwBmLRuGnehuwrAT3U04daIrgNuJrgAAiN3ARdsfMN8AAAAASUVORK5CYII=");
    const QByteArray encoded = png.toBase64();
    const Skin withImage = parseSkin(
        minimal("[title]\nimage = a\nimage-mode = tile\n[image a]\ndata = " + encoded.left(40) +
                "\n    " + encoded.mid(40) + "\n"));
    EXPECT_EQ(withImage.title.background.image.size(), QSize(8, 8));
    EXPECT_EQ(withImage.title.background.density, 1);
}

TEST(SkinFile, HueRotationTurnsEveryDeclaredColourAndKeepsGreys)
{
    Skin skin;
    skin.title.background = SkinFill::solid(QColor(255, 0, 0));
    skin.title.textColor = QColor(128, 128, 128);
    skin.bar.fill.stops = {{0.0, QColor(0, 0, 255)}, {1.0, QColor(255, 0, 0, 100)}};
    skin.panel.background = SkinFill::solid(QColor(0, 255, 0));
    QImage image(2, 1, QImage::Format_ARGB32);
    image.setPixelColor(0, 0, QColor(255, 0, 0));
    image.setPixelColor(1, 0, QColor(255, 255, 255));
    skin.client.image = image;

    const Skin turned = rotateHue(skin, 120);
    EXPECT_EQ(turned.title.background.stops.front().second, QColor(0, 255, 0));
    EXPECT_EQ(turned.title.textColor, QColor(128, 128, 128));
    EXPECT_EQ(turned.bar.fill.stops[0].second, QColor(255, 0, 0));
    EXPECT_EQ(turned.bar.fill.stops[1].second, QColor(0, 255, 0, 100)) << "alpha is kept";
    EXPECT_EQ(turned.panel.background->stops.front().second, QColor(0, 0, 255));
    EXPECT_EQ(turned.client.image.pixelColor(0, 0), QColor(0, 255, 0));
    EXPECT_EQ(turned.client.image.pixelColor(1, 0), QColor(255, 255, 255));

    EXPECT_EQ(rotateHue(skin, -240).title.background.stops, turned.title.background.stops);
    EXPECT_EQ(rotateHue(skin, 360 * 5).title.background.stops, skin.title.background.stops);
    EXPECT_EQ(rotateHue(skin, std::numeric_limits<std::int32_t>::min()).name, skin.name);
}
