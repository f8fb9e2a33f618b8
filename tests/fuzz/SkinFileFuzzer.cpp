// Feeds arbitrary bytes to the skin file parser: it must refuse or accept them without crashing,
// hanging or allocating beyond its limits.
#include "platform/PlatformError.h"
#include "platform/SkinFile.h"

#include <QByteArray>
#include <QImage>
#include <QtEndian>
#include <QtGlobal>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The image decoder reports damaged images as warnings; they are expected here by the
    // thousand and would only slow the run down.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    return 0;
}

namespace {

std::uint32_t crc32(const char *data, std::size_t size)
{
    std::uint32_t crc = 0xffffffffU;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= static_cast<unsigned char>(data[i]);
        for (int k = 0; k < 8; ++k)
            crc = (crc & 1U) != 0 ? 0xedb88320U ^ (crc >> 1) : crc >> 1;
    }
    return crc ^ 0xffffffffU;
}

// Rewrites the CRC of every whole chunk, so a mutated chunk gets past its checksum to the
// checks of chunk order and type, the size limit and the decoder.
void fixChecksums(QByteArray &png)
{
    qsizetype at = 8;
    while (png.size() - at >= 12) {
        const auto length = qFromBigEndian<quint32>(png.constData() + at);
        if (length > static_cast<quint64>(png.size() - at - 12))
            return;
        const qsizetype end = at + 8 + static_cast<qsizetype>(length);
        qToBigEndian(static_cast<quint32>(crc32(png.constData() + at + 4, length + 4)),
                     png.data() + end);
        at = end + 4;
    }
}

bool withinLimits(const QImage &image)
{
    return image.width() <= platform::SkinFileLimits::kMaxImageWidth &&
           image.height() <= platform::SkinFileLimits::kMaxImageHeight;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    // Raw PNG bytes (tests/fuzz/png-seeds) become a skin's client image, so mutations reach the
    // chunk checks and the decoder directly instead of through base64.
    static const QByteArray pngSignature("\x89PNG\r\n\x1a\n", 8);
    if (bytes.startsWith(pngSignature)) {
        fixChecksums(bytes);
        bytes = "refitor-skin 1.0\n[skin]\nname = Fuzz\n[client]\nimage = a\n[image a]\ndata = " +
                bytes.toBase64() + '\n';
    }
    try {
        const platform::Skin skin = platform::parseSkin(bytes);
        // Whatever is accepted lies within the limits the engine relies on.
        if (skin.name.isEmpty() || skin.closeButton.size > skin.title.height ||
            !withinLimits(skin.title.background.image) || !withinLimits(skin.client.image) ||
            !withinLimits(skin.bar.fill.image))
            __builtin_trap();
    } catch (const platform::PlatformError &error) {
        if (error.reason().isEmpty())
            __builtin_trap();
    }
    return 0;
}
