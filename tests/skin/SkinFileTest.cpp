#include "skin/SkinFile.h"

#include "SkinTestUtil.h"

#include <algorithm>
#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <map>
#include <new>
#include <vector>

using namespace skin;
using skintest::minimal;
using skintest::refusal;
using skintest::sourceFolder;

namespace {

// readSkinFile on a thread of its own, given a few seconds: a read that blocks fails the test
// instead of hanging it.
std::string readingRefusal(const std::filesystem::path &path)
{
    auto reading = std::async(std::launch::async, [path] {
        try {
            readSkinFile(path);
        } catch (const SkinError &error) {
            return std::string(error.what());
        }
        return std::string();
    });
    if (reading.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        ADD_FAILURE() << "reading " << path << " blocked";
        skintest::releaseBlockedReader(path);
    }
    return reading.get();
}

} // namespace

TEST(SkinFile, ShippedSkinsLoadWithTheirOwnLooks)
{
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(sourceFolder("skins")))
        if (entry.path().extension() == ".skn")
            names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"FlatSage.skn", "Midnight.skn", "SoftCrystal.skn"}));
    for (const std::string &name : names) {
        SCOPED_TRACE(name);
        const Skin skin = readSkinFile(sourceFolder("skins") / name);
        EXPECT_FALSE(skin.name.empty());
        EXPECT_FALSE(skin.title.background.stops.empty());
        EXPECT_LE(skin.closeButton.size, skin.title.height);
    }

    const Skin crystal = readSkinFile(sourceFolder("skins/SoftCrystal.skn"));
    EXPECT_EQ(crystal.name, "Soft Crystal");
    EXPECT_EQ(crystal.description, "Light and glassy, with soft blue highlights.");
    EXPECT_FALSE(crystal.panel.background) << "the panel takes the engine's panel colour";
    EXPECT_EQ(crystal.frame.innerBorderColor, (Color{0xff, 0xff, 0xff}));
    ASSERT_EQ(crystal.title.background.stops.size(), 4U);
    EXPECT_EQ(crystal.title.background.stops[1], (GradientStop{0.5, {0xe7, 0xf0, 0xfb}}));
    EXPECT_EQ(crystal.title.background.stops[2], (GradientStop{0.5, {0xd2, 0xe3, 0xf6}}))
        << "a hard step keeps both colours at one position";
    EXPECT_EQ(crystal.title.font, (Font{"DejaVu Sans", 8.0, true, false}));
    EXPECT_EQ(crystal.title.indent, 8);
    EXPECT_EQ(crystal.closeButton.pressedBackground.stops,
              (std::vector<GradientStop>{{0.0, {0xde, 0x74, 0x66}}, {1.0, {0xc4, 0x58, 0x4a}}}));
    EXPECT_EQ(crystal.label.font, (Font{"DejaVu Sans", 8.0, false, false}));

    const Skin midnight = readSkinFile(sourceFolder("skins/Midnight.skn"));
    ASSERT_TRUE(midnight.client.image);
    EXPECT_EQ(midnight.client.image->width, 8);
    EXPECT_EQ(midnight.client.image->height, 8);
    EXPECT_EQ(midnight.client.density, 2);
    EXPECT_EQ(midnight.client.imageMode, Fill::ImageMode::Tile);
    EXPECT_EQ(midnight.title.align, Alignment::Center);
    EXPECT_EQ(midnight.panel.background->stops.front().color, (Color{0x10, 0x14, 0x1b, 0xd0}));
    EXPECT_FALSE(midnight.closeButton.borderColor) << "border-color = none";
    EXPECT_FALSE(midnight.bar.fillBorderColor);
    EXPECT_DOUBLE_EQ(midnight.bar.fill.stops[1].position, 0.55);

    const Skin sage = readSkinFile(sourceFolder("skins/FlatSage.skn"));
    EXPECT_EQ(sage.frame.borderWidth, 2);
    EXPECT_FALSE(sage.frame.innerBorderColor);
    EXPECT_FALSE(sage.bar.grooveBorderColor);
    EXPECT_EQ(sage.panel.cornerRadius, 0) << "absent: the default";
}

// Every file of the broken corpus (also the fuzzer's seeds) is refused with a reason that says
// what is wrong, word for word as the Qt-based parser gave it.
TEST(SkinFile, BrokenFilesAreRefusedWithTheirReason)
{
    const std::map<std::string, std::string> expected{
        {"empty.skn", "the skin file is empty"},
        {"no-version-line.skn", "line 1: a skin file begins with the line 'refitor-skin 1.0'"},
        {"version-2.skn", "line 1: format version 2.0 is not one this engine reads (it reads 1.x)"},
        {"nul-byte.skn",
         "line 3: the file holds a control character (code 0); a skin file is plain text"},
        {"not-utf8.skn", "the skin file is not UTF-8 text"},
        {"no-name.skn", "the skin has no name: [skin] name is missing"},
        {"setting-outside-section.skn", "line 2: a setting comes before any [section]"},
        {"bad-section-header.skn", "line 4: a section header is written [name] or [image NAME]"},
        {"duplicate-key.skn", "line 6: the setting 'height' is given twice in its section"},
        {"duplicate-section.skn", "line 6: the section [title] appears twice"},
        {"colour-name.skn", "line 5: [frame] border-color must be a colour #rrggbb or #rrggbbaa"},
        {"colour-short.skn", "line 5: [frame] border-color must be a colour #rrggbb or #rrggbbaa"},
        {"height-out-of-range.skn", "line 5: [title] height must be a whole number from 16 to 48"},
        {"negative-number.skn", "line 5: [frame] border-width must be a whole number from 0 to 8"},
        {"too-many-stops.skn", "line 5: [client] background has more than 8 colours"},
        {"stops-backwards.skn", "line 5: [client] background has positions that go backwards"},
        {"stops-partly-placed.skn",
         "line 5: [client] background gives positions for some colours but not all"},
        {"stop-beyond-one.skn", "line 5: [client] background has a position beyond 1"},
        {"font-without-size.skn", "line 5: [label] font must be 'family, size' with a size from 5 "
                                  "to 24 points, then optionally bold and italic"},
        {"font-too-large.skn", "line 5: [label] font must be 'family, size' with a size from 5 to "
                               "24 points, then optionally bold and italic"},
        {"bad-alignment.skn", "line 5: [title] align must be left, center or right"},
        {"button-taller-than-title.skn",
         "[close-button] size 40 does not fit the title bar's height 20"},
        {"undefined-image.skn",
         "line 5: [client] image names the image 'nothere', which the file does not define"},
        {"image-not-base64.skn", "line 6: [image pic] data is not base64"},
        {"image-not-png.skn", "line 7: [image pic] data is not a PNG image"},
        {"image-too-large.skn",
         "line 7: [image pic] is 4096 x 4096 pixels; the window needs at most 1024 x 512"},
        {"image-absurd-size.skn",
         "line 7: [image pic] is 2147483647 x 2147483647 pixels; the window needs at most 1024 x "
         "512"},
        {"image-truncated.skn",
         "line 7: [image pic] data is a damaged PNG image: a chunk runs past the end of the data"},
        {"image-text-bomb.skn", "line 8: [image pic] carries a chunk of type zTXt; a skin image "
                                "may hold only IHDR, PLTE, tRNS, IDAT, IEND, gAMA, cHRM, sRGB, "
                                "sBIT and cICP chunks"},
        {"image-icc-profile.skn", "line 8: [image pic] carries a chunk of type iCCP; a skin image "
                                  "may hold only IHDR, PLTE, tRNS, IDAT, IEND, gAMA, cHRM, sRGB, "
                                  "sBIT and cICP chunks"},
        {"image-data-after-end.skn",
         "line 8: [image pic] data is a damaged PNG image: data follows its IEND chunk"},
        {"image-without-data.skn", "line 6: [image pic] has no data"},
        {"image-bad-density.skn", "line 8: [image pic] density must be 1 or 2"},
        {"too-many-images.skn", "line 20: a skin holds at most 8 images"},
        {"indent-without-setting.skn", "line 5: an indented line continues no setting"},
        {"not-a-setting.skn", "line 5: expected a setting written 'key = value'"},
        {"bad-image-mode.skn", "line 5: [client] image-mode must be stretch or tile"},
        {"name-too-long.skn", "line 3: [skin] name is longer than 64 characters"},
    };
    const std::filesystem::path folder = sourceFolder("tests/data/broken-skins");
    std::size_t files = 0;
    for (const auto &entry : std::filesystem::directory_iterator(folder)) {
        ++files;
        const std::string name = entry.path().filename().string();
        SCOPED_TRACE(name);
        const auto it = expected.find(name);
        ASSERT_NE(it, expected.end()) << "every broken file has its expected reason here";
        EXPECT_EQ(refusal(skintest::readFile(entry.path())), it->second);
        // Through the file reader the reason also names the file.
        try {
            readSkinFile(entry.path());
            ADD_FAILURE() << "accepted";
        } catch (const SkinError &error) {
            EXPECT_EQ(error.what(), entry.path().string() + " is not a usable skin: " + it->second);
        }
    }
    EXPECT_EQ(files, expected.size());
}

TEST(SkinFile, SizeLimitIsCheckedBeforeParsing)
{
    std::string big = minimal("# ");
    big.append(Limits::kMaxFileBytes - big.size(), 'x');
    EXPECT_EQ(refusal(big), "") << "exactly the limit is fine";
    EXPECT_EQ(refusal(big + "x"), "the skin file is larger than 1 MiB");

    const skintest::TemporaryFolder folder;
    const std::filesystem::path path = folder.path() / "big.skn";
    skintest::writeFile(path, big + big);
    EXPECT_EQ(readingRefusal(path),
              path.string() + " is not a usable skin: the skin file is larger than 1 MiB");
    const std::filesystem::path missing = folder.path() / "missing.skn";
    EXPECT_EQ(readingRefusal(missing), "the skin file " + missing.string() + " does not exist");
}

// FIFOs, devices, sockets and folders are refused at once, without a byte read: a FIFO with no
// writer would otherwise hold the reader (the UI thread) for good.
TEST(SkinFile, OnlyRegularFilesAreRead)
{
    const skintest::TemporaryFolder folder;
    const auto notRegular = [](const std::filesystem::path &path) {
        return "the skin file " + path.string() + " is not a regular file";
    };
    std::map<std::filesystem::path, std::string> expected{
        {folder.path(), notRegular(folder.path())}};
    for (const std::filesystem::path &unusual : skintest::makeUnusualFiles(folder.path()))
        expected[unusual] = notRegular(unusual);
    // A link is followed to what it names. Wine cannot make links; Linux can.
    const std::filesystem::path link = folder.path() / "link.skn";
    const std::filesystem::path dangling = folder.path() / "dangling.skn";
    std::error_code linkError;
    std::filesystem::create_symlink(sourceFolder("skins/FlatSage.skn"), link, linkError);
    if (!linkError)
        std::filesystem::create_symlink(folder.path() / "nothing-here", dangling, linkError);
    if (!linkError) {
        expected[link] = "";
        expected[dangling] = "the skin file " + dangling.string() + " does not exist";
    }

    for (const auto &[path, reason] : expected) {
        SCOPED_TRACE(path);
        EXPECT_EQ(readingRefusal(path), reason);
    }
}

// A runtime passes its own reader (one that opens without blocking); what the reader reports
// becomes the same refusals the standard reader's findings do.
TEST(SkinFile, AReaderOfTheRuntimesOwnIsAskedForOneBytePastTheLimit)
{
    using State = FileContents::State;
    std::size_t asked = 0;
    const auto reader = [&asked](State state, std::string bytes, std::string error = {}) {
        return [&asked, state, bytes, error](const std::filesystem::path &, std::size_t maxBytes) {
            asked = maxBytes;
            return FileContents{state, bytes, error};
        };
    };
    const std::filesystem::path path = "SKN/Some.skn";
    EXPECT_EQ(readSkinFile(path, reader(State::Read, minimal())).name, "Test");
    EXPECT_EQ(asked, Limits::kMaxFileBytes + 1);

    const auto refused = [&path](const FileReader &read) {
        try {
            readSkinFile(path, read);
        } catch (const SkinError &error) {
            return std::string(error.what());
        }
        return std::string();
    };
    EXPECT_EQ(refused(reader(State::Missing, {})), "the skin file SKN/Some.skn does not exist");
    EXPECT_EQ(refused(reader(State::NotRegular, {})),
              "the skin file SKN/Some.skn is not a regular file");
    EXPECT_EQ(refused(reader(State::Unreadable, {}, "Permission denied")),
              "the skin file SKN/Some.skn cannot be read: Permission denied");
    EXPECT_EQ(refused(reader(State::Read, "")),
              "SKN/Some.skn is not a usable skin: the skin file is empty");
    EXPECT_EQ(refused([](const std::filesystem::path &, std::size_t) -> FileContents {
                  throw std::bad_alloc();
              }),
              "there is not enough memory to read the skin file SKN/Some.skn");
}

TEST(SkinFile, NewerFilesLoadAndDefaultsFillTheRest)
{
    // A newer minor version with settings and sections this engine does not know.
    const Skin skin = parseSkin("\xEF\xBB\xBFrefitor-skin 1.7\r\n"
                                "; comment\r\n"
                                "[skin]\r\nname = Future\r\nsparkle = yes\r\n"
                                "[glow]\r\nradius = 99\r\ncolour = whatever it means\r\n"
                                "[title extra]\r\nheight = 999\r\n"
                                "[title]\r\nHeight = 30\r\nshadow = #000000\r\n"
                                "[client]\r\nbackground = #000000, #808080, #ffffff\r\n");
    EXPECT_EQ(skin.name, "Future");
    EXPECT_EQ(skin.title.height, 30) << "keys are case-insensitive; [title extra] is unknown";
    ASSERT_EQ(skin.client.stops.size(), 3U);
    EXPECT_DOUBLE_EQ(skin.client.stops[1].position, 0.5) << "stops without positions are spaced";
    EXPECT_DOUBLE_EQ(skin.client.stops[2].position, 1.0);

    Skin expected;
    expected.name = "Future";
    expected.title.height = 30;
    expected.client = skin.client;
    EXPECT_EQ(skin, expected) << "everything not given keeps its default";
    EXPECT_EQ(expected.closeButton.hoverGlyphColor, expected.closeButton.glyphColor);
}

// The text rules as the Qt-based reader had them: Unicode white space is trimmed, lengths are
// counted in UTF-16 code units, and a file must be UTF-8 to its last byte.
TEST(SkinFile, TextIsReadAsUnicode)
{
    const std::string nbsp = "\xC2\xA0";
    const std::string ideographicSpace = "\xE3\x80\x80";
    const Skin spaced =
        parseSkin("refitor-skin 1.0\n[skin]\nname =" + nbsp + "Name" + ideographicSpace + "\n" +
                  "description = first\n" + ideographicSpace + "second\n");
    EXPECT_EQ(spaced.name, "Name");
    EXPECT_EQ(spaced.description, "firstsecond") << "a line indented by any space continues";

    std::string emoji;
    for (int i = 0; i < 32; ++i)
        emoji += "\xF0\x9F\x8E\xA8"; // two UTF-16 code units each
    EXPECT_EQ(parseSkin("refitor-skin 1.0\n[skin]\nname = " + emoji + "\n").name, emoji);
    EXPECT_EQ(refusal("refitor-skin 1.0\n[skin]\nname = " + emoji + "x\n"),
              "line 3: [skin] name is longer than 64 characters");

    EXPECT_EQ(refusal(minimal("author = caf\xC3")), "the skin file is not UTF-8 text")
        << "a character cut off at the end";
    EXPECT_EQ(refusal(minimal("author = \xED\xA0\x80")), "the skin file is not UTF-8 text")
        << "a surrogate";
    EXPECT_EQ(refusal(minimal("author = \xC0\xAF")), "the skin file is not UTF-8 text")
        << "an overlong form";
    EXPECT_EQ(refusal(minimal("\n\nauthor = a\x1b[0m")),
              "line 6: the file holds a control character (code 27); a skin file is plain text");
}

TEST(SkinFile, ValuesAreCheckedAgainstWhatTheyMayHold)
{
    const Skin skin = parseSkin(minimal("[frame]\nborder-width = 000008\n"
                                        "[title]\nbackground = #FFFFFF80 0, #000000 1, #123456 1\n"
                                        "font = Some Family , 24 , italic, bold\n"
                                        "[close-button]\nsize = 20\n"
                                        "[panel]\nbackground = none\nborder-color = none\n"
                                        "[progress]\nfill = #000000 0.000001, #ffffff 1.000000\n"));
    EXPECT_EQ(skin.frame.borderWidth, 8);
    EXPECT_EQ(skin.title.background.stops,
              (std::vector<GradientStop>{
                  {0.0, {255, 255, 255, 128}}, {1.0, {0, 0, 0}}, {1.0, {0x12, 0x34, 0x56}}}));
    EXPECT_EQ(skin.title.font, (Font{"Some Family", 24.0, true, true}));
    EXPECT_EQ(skin.closeButton.size, 20);
    ASSERT_TRUE(skin.panel.background);
    EXPECT_TRUE(skin.panel.background->isEmpty()) << "none paints nothing";
    EXPECT_FALSE(skin.panel.borderColor);
    EXPECT_DOUBLE_EQ(skin.bar.fill.stops[0].position, 0.000001);

    const std::vector<std::pair<std::string, std::string>> refused{
        {"[frame]\nborder-width = 0000001\n",
         "line 5: [frame] border-width must be a whole number from 0 to 8"},
        {"[frame]\nborder-width = +1\n",
         "line 5: [frame] border-width must be a whole number from 0 to 8"},
        {"[frame]\nborder-color = none\n",
         "line 5: [frame] border-color must be a colour #rrggbb or #rrggbbaa"},
        {"[frame]\ninner-border-color = #12345\n",
         "line 5: [frame] inner-border-color must be a colour #rrggbb or #rrggbbaa, or none"},
        {"[label]\ntext-color = none\n",
         "line 5: [label] text-color must be a colour #rrggbb or #rrggbbaa"},
        {"[client]\nbackground = #000000 0.1234567, #ffffff 1\n",
         "line 5: [client] background must be colours #rrggbb or #rrggbbaa, each with an "
         "optional position from 0 to 1, separated by commas"},
        {"[client]\nbackground = #000000 0, , #ffffff 1\n",
         "line 5: [client] background must be colours #rrggbb or #rrggbbaa, each with an "
         "optional position from 0 to 1, separated by commas"},
        {"[client]\nbackground = #000000,#ffffff 1\n",
         "line 5: [client] background gives positions for some colours but not all"},
        {"[client]\nbackground = #000000, #808080, #ffffff 0.2\n",
         "line 5: [client] background has positions that go backwards"},
        {"[progress]\ngroove = " + std::string(1'000, ',') + "\n",
         "line 5: [progress] groove has more than 8 colours"},
        {"[title]\nfont = Sans, 24.01\n", "line 5: [title] font must be 'family, size' with a "
                                          "size from 5 to 24 points, then optionally bold and "
                                          "italic"},
        {"[title]\nfont = , 8\n", "line 5: [title] font must be 'family, size' with a size from "
                                  "5 to 24 points, then optionally bold and italic"},
        {"[title]\nheight = 16\n[close-button]\nsize = 17\n",
         "[close-button] size 17 does not fit the title bar's height 16"},
    };
    for (const auto &[rest, reason] : refused) {
        SCOPED_TRACE(rest);
        EXPECT_EQ(refusal(minimal(rest)), reason);
    }
}
