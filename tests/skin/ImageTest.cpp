#include "SkinTestUtil.h"
#include "skin/Encoding.h"
#include "skin/Png.h"
#include "skin/SkinFile.h"

#include <gtest/gtest.h>
#include <optional>
#include <utility>
#include <vector>

using namespace skin;
using skintest::minimal;
using skintest::refusal;

namespace {

// 2 x 2, palette with transparency, and every colour-space chunk a skin may use.
const std::string kColourChunksPng =
    *decodeBase64("iVBORw0KGgoAAAANSUhEUgAAAAIAAAACCAMAAABFaP0WAAAABGdBTUEAALGPC/xhBQAAACBjSFJNAAB6"
                  "JgAAgIQAAPoAAACA6AAAdTAAAOpgAAA6mAAAF3CculE8AAAAAXNSR0IArs4c6QAAAANzQklUCAgI2+"
                  "FP4AAAAARjSUNQAQ0AAZxpOzIAAAAGUExURf8AAAAA/2yh/Y4AAAABdFJOU4CtXltGAAAADElEQVR4"
                  "nGNgYARCAAAMAAMrY8tQAAAAAElFTkSuQmCC");

// 1024 x 512, one bit a pixel: the largest image a skin may hold.
const std::string kLargestPng = *decodeBase64(
    "iVBORw0KGgoAAAANSUhEUgAABAAAAAIAAQMAAAAmA4z6AAAABlBMVEUoWjz///+GeIj1AAABPUlEQVR42u3QMQEAAAgD"
    "oJW0pCmNsUOIQLYsUxYDBgwYMGDAgAEDBgwYMGDAgAEDBgwYMGDAgAEDBgwYMGDAgAEDBgwYMGDAgAEDBgwYMGDAgAED"
    "BgwYMGDAgAEDBgwYMGDAgAEDBgwYMGDAgAEDBgwYMGDAgAEDBgwYMGDAgAEDBgwYMGDAgAEDBgwYMGDAgAEDBgwYMGDA"
    "gAEDBgwYMGDAgAEDBgwYMGDAgAEDBgwYMGDAgAEDBgwYMGDAgAEDBgwYMGDAgAEDBgwYMGDAgAEDBgwYMGDAgAEDBgwY"
    "MGDAgAEDBgwYMGDAgAEDBgwYMGDAgAEDBgwYMGDAgAEDBgwYMGDAgAEDBgwYMGDAgAEDBgwYMGDAgAEDBgwYMGDAgAED"
    "BgwYMGDAgAEDBgwYMGDAgAEDBgwYMGDg/cAB06aHcvPeMAwAAAAASUVORK5CYII=");

std::string base64(std::string_view bytes)
{
    static constexpr char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (std::size_t at = 0; at < bytes.size(); at += 3) {
        unsigned int group = 0;
        for (std::size_t i = 0; i < 3; ++i)
            group = group << 8 |
                    (at + i < bytes.size() ? static_cast<unsigned char>(bytes[at + i]) : 0U);
        const std::size_t digits = std::min<std::size_t>(bytes.size() - at, 3) + 1;
        for (std::size_t i = 0; i < 4; ++i)
            text += i < digits ? kDigits[(group >> (18 - 6 * i)) & 0x3fU] : '=';
    }
    return text;
}

std::string withClientImage(std::string_view png)
{
    return minimal("[client]\nimage = a\n[image a]\ndata = " + base64(png) + "\n");
}

std::uint32_t bigEndianAt(std::string_view data, std::size_t at)
{
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i)
        value = value << 8 | static_cast<unsigned char>(data[at + i]);
    return value;
}

void putBigEndian(std::string &data, std::size_t at, std::uint32_t value)
{
    for (std::size_t i = 0; i < 4; ++i)
        data[at + i] = static_cast<char>((value >> (24 - 8 * i)) & 0xffU);
}

// Where the first chunk of that type starts (at its length).
std::size_t chunkAt(std::string_view png, std::string_view type)
{
    return png.find(type) - 4;
}

// The whole chunk (length, type, data and CRC) of the first chunk of that type.
std::string chunkOf(std::string_view png, std::string_view type)
{
    const std::size_t at = chunkAt(png, type);
    return std::string(png.substr(at, bigEndianAt(png, at) + 12));
}

// png with its header claiming another size, its checksum made right again.
std::string claimingSize(std::string png, std::uint32_t width, std::uint32_t height)
{
    const std::size_t header = chunkAt(png, "IHDR");
    putBigEndian(png, header + 8, width);
    putBigEndian(png, header + 12, height);
    putBigEndian(png, header + 8 + 13, pngCrc(std::string_view(png).substr(header + 4, 4 + 13)));
    return png;
}

} // namespace

// The image stays as embedded, bytes for bytes, for the painter to decode; its size is read
// from the header. Long data continues on indented lines.
TEST(SkinImage, IsKeptAsEmbeddedWithTheSizeItsHeaderGives)
{
    const std::string encoded = base64(kColourChunksPng);
    const Skin skin = parseSkin(minimal("[title]\nimage = a\nimage-mode = tile\n"
                                        "[progress]\nfill-image = b\nfill = none\n"
                                        "[image a]\ndata = " +
                                        encoded.substr(0, 40) + "\n  # a comment between\n\t" +
                                        encoded.substr(40, 40) + "\n    " + encoded.substr(80) +
                                        "\n[image b]\ndensity = 2\ndata = " + base64(kLargestPng)));
    ASSERT_TRUE(skin.title.background.image);
    EXPECT_EQ(skin.title.background.image->png, kColourChunksPng);
    EXPECT_EQ(skin.title.background.image->width, 2);
    EXPECT_EQ(skin.title.background.image->height, 2);
    EXPECT_EQ(skin.title.background.image->hue, 0);
    EXPECT_EQ(skin.title.background.density, 1);
    EXPECT_EQ(skin.title.background.imageMode, Fill::ImageMode::Tile);
    EXPECT_EQ(skin.title.background.stops, Skin{}.title.background.stops)
        << "the image is drawn over the default background";

    ASSERT_TRUE(skin.bar.fill.image);
    EXPECT_EQ(skin.bar.fill.image->width, Limits::kMaxImageWidth);
    EXPECT_EQ(skin.bar.fill.image->height, Limits::kMaxImageHeight);
    EXPECT_EQ(skin.bar.fill.density, 2);
    EXPECT_TRUE(skin.bar.fill.stops.empty()) << "fill = none, the image alone";
    EXPECT_FALSE(skin.bar.fill.isEmpty());
}

// The size is refused from the header alone, so a small file claiming a huge image costs
// nothing: these images hold only the pixels of a 1024 x 512 one.
TEST(SkinImage, OneBeyondTheLimitIsRefusedFromItsHeader)
{
    EXPECT_EQ(refusal(withClientImage(claimingSize(kLargestPng, 1025, 512))),
              "line 6: [image a] is 1025 x 512 pixels; the window needs at most 1024 x 512");
    EXPECT_EQ(refusal(withClientImage(claimingSize(kLargestPng, 1024, 513))),
              "line 6: [image a] is 1024 x 513 pixels; the window needs at most 1024 x 512");
    EXPECT_EQ(refusal(withClientImage(claimingSize(kLargestPng, 0xffffffffU, 1))),
              "line 6: [image a] is 4294967295 x 1 pixels; the window needs at most 1024 x 512");
    EXPECT_EQ(refusal(withClientImage(claimingSize(kLargestPng, 0, 512))),
              "line 6: [image a] data is a damaged PNG image: its header gives no size");
}

// An image may carry only the chunks that draw it, in a sound order with sound checksums; all
// of this is settled before anything decodes a byte.
TEST(SkinImage, CarriesOnlyTheChunksNeededToDrawIt)
{
    const std::string &png = kColourChunksPng;
    ASSERT_EQ(refusal(withClientImage(png)), "");
    const std::string header = chunkOf(png, "IHDR");
    const std::string gamma = chunkOf(png, "gAMA");
    const std::string end = chunkOf(png, "IEND");
    const auto inserted = [&](std::size_t at, std::string_view chunk) {
        return std::string(png).insert(at, chunk);
    };
    const auto afterHeader = [&](const char(&chunk)[13]) {
        return inserted(8 + header.size(), std::string_view(chunk, 12));
    };
    std::string badChecksum = png;
    badChecksum[png.size() - end.size() - 1] ^= 1;
    std::string hugeLength = png;
    putBigEndian(hugeLength, chunkAt(png, "IDAT"), 0xffffffffU);
    std::string longHeader = png;
    putBigEndian(longHeader, 8, 14);
    putBigEndian(longHeader, 8 + 8 + 14, pngCrc(std::string_view(longHeader).substr(12, 4 + 14)));
    std::string fullEnd = png + "x";
    putBigEndian(fullEnd, png.size() - end.size(), 1);
    fullEnd.replace(png.size() - 4, 4, std::string(4, '\0'));
    putBigEndian(fullEnd, fullEnd.size() - 4,
                 pngCrc(std::string_view(fullEnd).substr(png.size() - end.size() + 4, 5)));

    const std::vector<std::pair<std::string, std::string>> refused{
        {afterHeader("\0\0\0\0tEXt\0\0\0\0"),
         "carries a chunk of type tEXt; a skin image may hold only IHDR, PLTE, tRNS, IDAT, IEND, "
         "gAMA, cHRM, sRGB, sBIT and cICP chunks"},
        {afterHeader("\0\0\0\0iTXt\0\0\0\0"), "carries a chunk of type iTXt"},
        {afterHeader("\0\0\0\0pHYs\0\0\0\0"), "carries a chunk of type pHYs"},
        {afterHeader("\0\0\0\0t3XT\0\0\0\0"),
         "data is a damaged PNG image: a chunk's type is not four letters"},
        {badChecksum, "data is a damaged PNG image: its IDAT chunk fails its checksum"},
        {inserted(8, gamma), "data is a damaged PNG image: it does not begin with an IHDR chunk"},
        {inserted(8, header), "data is a damaged PNG image: it has a second IHDR chunk"},
        {longHeader, "data is a damaged PNG image: its IHDR chunk is not 13 bytes long"},
        {fullEnd, "data is a damaged PNG image: its IEND chunk is not empty"},
        {png.substr(0, png.size() - end.size()),
         "data is a damaged PNG image: it ends without an IEND chunk"},
        {png.substr(0, png.size() - 2),
         "data is a damaged PNG image: a chunk runs past the end of the data"},
        {png.substr(0, 8 + header.size() + 5),
         "data is a damaged PNG image: a chunk runs past the end of the data"},
        {hugeLength, "data is a damaged PNG image: a chunk runs past the end of the data"},
        {png.substr(0, 8), "data is a damaged PNG image: it ends without an IEND chunk"},
        {png.substr(0, 7), "data is not a PNG image"},
    };
    for (std::size_t i = 0; i < refused.size(); ++i) {
        SCOPED_TRACE(refused[i].second);
        const std::string reason = refusal(withClientImage(refused[i].first));
        EXPECT_EQ(reason.rfind("line 6: [image a] ", 0), 0U) << reason;
        EXPECT_NE(reason.find(refused[i].second), std::string::npos) << reason;
    }
}

// Base64 as the Qt-based reader took it: padding optional, but only at the very end of whole
// groups of four.
TEST(SkinImage, DataIsBase64)
{
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases{
        {"QUJD", "ABC"},
        {"QUI", "AB"},
        {"QUI=", "AB"},
        {"QQ==", "A"},
        {"QQ", "A"},
        {"Q", ""},
        {"", ""},
        {"QQ=", std::nullopt},
        {"Q===", std::nullopt},
        {"QQ==QUJD", std::nullopt},
        {"QU JD", std::nullopt},
        {"QUJD-_", std::nullopt},
    };
    for (const auto &[text, bytes] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(decodeBase64(text), bytes);
    }
    EXPECT_EQ(refusal(minimal("[client]\nimage = a\n[image a]\ndata =\n")),
              "line 6: [image a] data is not base64");
    EXPECT_EQ(
        refusal(minimal("[client]\nimage = a\n[image a]\ndata = " + base64(kLargestPng) + "!\n")),
        "line 6: [image a] data is not base64");
}
