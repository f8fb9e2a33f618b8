// Feeds arbitrary bytes to the skin file parser: it must refuse or accept them without crashing,
// hanging or allocating beyond its limits, and what it accepts must hold to those limits.
#include "skin/Png.h"
#include "skin/SkinFile.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

std::uint32_t bigEndianAt(const std::string &data, std::size_t at)
{
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i)
        value = value << 8 | static_cast<unsigned char>(data[at + i]);
    return value;
}

// Rewrites the CRC of every whole chunk, so a mutated chunk gets past its checksum to the
// checks of chunk order and type and the size limit.
__attribute__((no_sanitize("coverage"))) void fixChecksums(std::string &png)
{
    std::size_t at = 8;
    while (png.size() - at >= 12) {
        const std::uint32_t length = bigEndianAt(png, at);
        if (length > png.size() - at - 12)
            return;
        const std::size_t end = at + 8 + length;
        const std::uint32_t crc = skin::pngCrc(std::string_view(png).substr(at + 4, length + 4));
        for (std::size_t i = 0; i < 4; ++i)
            png[end + i] = static_cast<char>((crc >> (24 - 8 * i)) & 0xffU);
        at = end + 4;
    }
}

// Outside the coverage the fuzzer steers by: it is the harness's own work, and with every
// comparison in it traced it took most of the time on large images.
__attribute__((no_sanitize("coverage"))) std::string base64(std::string_view bytes)
{
    static constexpr char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text((bytes.size() + 2) / 3 * 4, '=');
    const auto *in = reinterpret_cast<const unsigned char *>(bytes.data());
    std::size_t at = 0;
    std::size_t out = 0;
    for (; at + 3 <= bytes.size(); at += 3, out += 4) {
        const unsigned int group = in[at] << 16 | in[at + 1] << 8 | in[at + 2];
        text[out] = kDigits[group >> 18];
        text[out + 1] = kDigits[(group >> 12) & 0x3fU];
        text[out + 2] = kDigits[(group >> 6) & 0x3fU];
        text[out + 3] = kDigits[group & 0x3fU];
    }
    if (at < bytes.size()) {
        const bool two = at + 1 < bytes.size();
        const unsigned int group = in[at] << 16 | (two ? in[at + 1] << 8 : 0U);
        text[out] = kDigits[group >> 18];
        text[out + 1] = kDigits[(group >> 12) & 0x3fU];
        if (two)
            text[out + 2] = kDigits[(group >> 6) & 0x3fU];
    }
    return text;
}

bool withinLimits(const skin::Fill &fill)
{
    if (!fill.image)
        return true;
    const skin::Image &image = *fill.image;
    return image.width >= 1 && image.width <= skin::Limits::kMaxImageWidth && image.height >= 1 &&
           image.height <= skin::Limits::kMaxImageHeight && skin::hasPngSignature(image.png) &&
           (fill.density == 1 || fill.density == 2);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::string bytes(reinterpret_cast<const char *>(data), size);
    // Raw PNG bytes (tests/fuzz/png-seeds) become a skin's client image, so mutations reach the
    // chunk checks directly instead of through base64.
    if (skin::hasPngSignature(bytes)) {
        fixChecksums(bytes);
        bytes = "refitor-skin 1.0\n[skin]\nname = Fuzz\n[client]\nimage = a\n[image a]\ndata = " +
                base64(bytes) + '\n';
    }
    try {
        const skin::Skin skin = skin::parseSkin(bytes);
        // Whatever is accepted lies within the limits the engine relies on.
        if (skin.name.empty() || skin.closeButton.size > skin.title.height ||
            !withinLimits(skin.title.background) || !withinLimits(skin.client) ||
            !withinLimits(skin.bar.fill))
            __builtin_trap();
        // The colour math runs on every accepted skin, at an angle the input chooses.
        const skin::Skin turned = skin::rotateHue(skin, static_cast<int>(size * 37) - 1000);
        if (turned.name != skin.name)
            __builtin_trap();
    } catch (const skin::SkinError &error) {
        if (std::string_view(error.what()).empty())
            __builtin_trap();
    }
    return 0;
}
