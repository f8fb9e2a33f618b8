#include "platform/SkinFile.h"

#include "platform/PlatformError.h"
#include "support/TestUtil.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QTemporaryDir>
#include <chrono>
#include <fcntl.h>
#include <future>
#include <gtest/gtest.h>
#include <limits>
#include <map>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

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

QByteArray withClientImage(const QByteArray &png)
{
    return minimal("[client]\nimage = a\n[image a]\ndata = " + png.toBase64() + "\n");
}

// The whole chunk (length, type, data and CRC) of the first chunk of that type.
QByteArray chunkOf(const QByteArray &png, const char *type)
{
    const qsizetype at = png.indexOf(type) - 4;
    const auto length = static_cast<qsizetype>(
        static_cast<unsigned char>(png[at]) << 24 | static_cast<unsigned char>(png[at + 1]) << 16 |
        static_cast<unsigned char>(png[at + 2]) << 8 | static_cast<unsigned char>(png[at + 3]));
    return png.mid(at, length + 12);
}

// readSkinFile on a thread of its own, given a few seconds: a read that blocks fails the test
// instead of hanging it.
QString readingRefusal(const QString &path)
{
    auto reading = std::async(std::launch::async, [path] {
        try {
            readSkinFile(path);
        } catch (const PlatformError &error) {
            return error.reason();
        }
        return QString();
    });
    if (reading.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        ADD_FAILURE() << "reading " << path.toStdString() << " blocked";
        // A writer that comes and goes ends a reader blocked on a FIFO, so the future can be
        // joined.
        const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0)
            ::close(fd);
    }
    return reading.get();
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
        {"image-truncated.skn", "[image pic] data is a damaged PNG image: a chunk runs past"},
        {"image-text-bomb.skn", "line 8: [image pic] carries a chunk of type zTXt; a skin image "
                                "may hold only IHDR, PLTE, tRNS, IDAT, IEND, gAMA, cHRM, sRGB, "
                                "sBIT and cICP chunks"},
        {"image-icc-profile.skn", "[image pic] carries a chunk of type iCCP"},
        {"image-data-after-end.skn", "[image pic] data is a damaged PNG image: data follows its "
                                     "IEND chunk"},
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

// FIFOs, devices, sockets and folders are refused at once, without a byte read: a FIFO with no
// writer would otherwise hold the reader (the UI thread) for good.
TEST(SkinFile, OnlyRegularFilesAreRead)
{
    QTemporaryDir dir;
    const QString fifo = dir.filePath(QStringLiteral("fifo.skn"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString socketPath = dir.filePath(QStringLiteral("socket.skn"));
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray socketName = QFile::encodeName(socketPath);
    ASSERT_LT(static_cast<std::size_t>(socketName.size()), sizeof address.sun_path);
    std::copy(socketName.begin(), socketName.end(), address.sun_path);
    ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
    const QString link = dir.filePath(QStringLiteral("link.skn"));
    ASSERT_TRUE(QFile::link(sourceFolder("skins/FlatSage.skn"), link));

    const std::map<QString, QString> expected{
        {fifo, QStringLiteral("the skin file %1 is not a regular file").arg(fifo)},
        {dir.path(), QStringLiteral("the skin file %1 is not a regular file").arg(dir.path())},
        {QStringLiteral("/dev/zero"), QStringLiteral("is not a regular file")},
        {socketPath, QStringLiteral("the skin file %1 cannot be read").arg(socketPath)},
        {link, QString()},
    };
    for (const auto &[path, reason] : expected) {
        SCOPED_TRACE(path.toStdString());
        const QString refused = readingRefusal(path);
        if (reason.isEmpty())
            EXPECT_TRUE(refused.isEmpty()) << refused.toStdString();
        else
            EXPECT_TRUE(refused.contains(reason)) << refused.toStdString();
    }
    ::close(listener);
}

// An image may carry only the chunks that draw it, in a sound order with sound checksums; all
// of this is settled before the decoder sees a byte.
TEST(SkinFile, ImagesCarryOnlyTheChunksNeededToDrawThem)
{
    // 2 x 2, palette with transparency, and every colour-space chunk a skin may use.
    const QByteArray png = QByteArray::fromBase64(
        "iVBORw0KGgoAAAANSUhEUgAAAAIAAAACCAMAAABFaP0WAAAABGdBTUEAALGPC/xhBQAAACBjSFJNAAB6JgAA"
        "gIQAAPoAAACA6AAAdTAAAOpgAAA6mAAAF3CculE8AAAAAXNSR0IArs4c6QAAAANzQklUCAgI2+FP4AAAAARj"
        "SUNQAQ0AAZxpOzIAAAAGUExURf8AAAAA/2yh/Y4AAAABdFJOU4CtXltGAAAADElEQVR4nGNgYARCAAAMAAMr"
        "Y8tQAAAAAElFTkSuQmCC");
    const Skin skin = parseSkin(withClientImage(png));
    ASSERT_EQ(skin.client.image.size(), QSize(2, 2));
    EXPECT_EQ(skin.client.image.pixelColor(1, 0), QColor(0, 0, 255));
    EXPECT_NEAR(skin.client.image.pixelColor(0, 0).alpha(), 0x80, 1) << "tRNS was applied";

    const QByteArray header = chunkOf(png, "IHDR");
    const QByteArray gamma = chunkOf(png, "gAMA");
    const QByteArray end = chunkOf(png, "IEND");
    const qsizetype pixels = png.indexOf("IDAT") - 4;
    const auto inserted = [&](const char *chunk) {
        return QByteArray(png).insert(8 + header.size(), QByteArray(chunk, 12));
    };
    QByteArray badChecksum = png;
    badChecksum[png.size() - end.size() - 1] =
        static_cast<char>(badChecksum[png.size() - end.size() - 1] ^ 1);
    QByteArray hugeLength = png;
    hugeLength.replace(pixels, 4, "\xff\xff\xff\xff");

    const std::vector<std::pair<QByteArray, QString>> refused{
        {inserted("\0\0\0\0tEXt\0\0\0\0"), "carries a chunk of type tEXt; a skin image may"},
        {inserted("\0\0\0\0iTXt\0\0\0\0"), "carries a chunk of type iTXt"},
        {inserted("\0\0\0\0pHYs\0\0\0\0"), "carries a chunk of type pHYs"},
        {inserted("\0\0\0\0t3XT\0\0\0\0"), "a chunk's type is not four letters"},
        {badChecksum, "its IDAT chunk fails its checksum"},
        {QByteArray(png).insert(8, gamma), "it does not begin with an IHDR chunk"},
        {QByteArray(png).insert(8, header), "it has a second IHDR chunk"},
        {png.left(png.size() - end.size()), "it ends without an IEND chunk"},
        {png.left(png.size() - 2), "a chunk runs past the end of the data"},
        {png.left(8 + header.size() + 5), "a chunk runs past the end of the data"},
        {hugeLength, "a chunk runs past the end of the data"},
        {png.left(8), "it ends without an IEND chunk"},
    };
    for (std::size_t i = 0; i < refused.size(); ++i) {
        SCOPED_TRACE(i);
        const QString reason = refusal(withClientImage(refused[i].first));
        EXPECT_TRUE(reason.startsWith(QStringLiteral("line 6: [image a] ")) &&
                    reason.contains(refused[i].second))
            << reason.toStdString();
    }
}

// The largest image a skin may hold loads; when the decoder cannot get the memory for it, the
// skin is refused rather than drawn with a null image.
TEST(SkinFile, AnImageTheDecoderCannotAllocateIsRefused)
{
    QImage picture(SkinFileLimits::kMaxImageWidth, SkinFileLimits::kMaxImageHeight,
                   QImage::Format_RGB32);
    picture.fill(QColor(40, 90, 60));
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    ASSERT_TRUE(picture.save(&buffer, "PNG"));
    png.replace(chunkOf(png, "pHYs"), ""); // Qt always writes the physical size
    const QByteArray skin = withClientImage(png);
    EXPECT_EQ(parseSkin(skin).client.image.size(), picture.size()) << refusal(skin).toStdString();

    const int limit = QImageReader::allocationLimit();
    QImageReader::setAllocationLimit(1); // MiB; the pixels need 2
    const QString reason = refusal(skin);
    QImageReader::setAllocationLimit(limit);
    EXPECT_TRUE(reason.contains(QStringLiteral("[image a] data cannot be decoded")))
        << reason.toStdString();
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
