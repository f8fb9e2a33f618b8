// Feeds arbitrary bytes to the skin file parser: it must refuse or accept them without crashing,
// hanging or allocating beyond its limits.
#include "platform/PlatformError.h"
#include "platform/SkinFile.h"

#include <QByteArray>
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

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    try {
        const platform::Skin skin = platform::parseSkin(bytes);
        // Whatever is accepted lies within the limits the engine relies on.
        if (skin.name.isEmpty() || skin.closeButton.size > skin.title.height ||
            skin.client.image.width() > platform::SkinFileLimits::kMaxImageWidth ||
            skin.client.image.height() > platform::SkinFileLimits::kMaxImageHeight)
            __builtin_trap();
    } catch (const platform::PlatformError &error) {
        if (error.reason().isEmpty())
            __builtin_trap();
    }
    return 0;
}
