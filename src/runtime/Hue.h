#pragma once

#include "runtime/Color.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

// Turning a colour's hue, shared by the skin format (the colours a skin declares) and by painters
// that turn decoded pixels themselves: both must give the same colours for the same skin.
namespace runtime {

namespace hue {

// The colour math below is QColor's (Qt 6): 16-bit channels, single-precision floats, and hue,
// saturation and value rounded to whole degrees and bytes in between. A skin turned here must
// paint exactly as it did when Qt turned it, so none of the roundings may be "improved".
inline constexpr float kMax16 = 65535.0f;

inline int round16(float value)
{
    return static_cast<int>(value + std::copysign(0.5f, value));
}

// A 16-bit channel to 8 bits, rounded to nearest as QColor's getters and its painting do.
inline int div257(int value)
{
    return (value + 0x80 - ((value + 0x80) >> 8)) >> 8;
}

inline bool fuzzyIsNull(float value)
{
    return std::fabs(value) <= 0.00001f;
}

inline bool fuzzyCompare(float a, float b)
{
    return std::fabs(a - b) * 100000.0f <= std::min(std::fabs(a), std::fabs(b));
}

struct Hsv
{
    int hue = -1; // whole degrees, -1 for a grey
    int saturation = 0;
    int value = 0;
};

inline Hsv toHsv(Color color)
{
    const float r = static_cast<float>(color.r * 0x101) / kMax16;
    const float g = static_cast<float>(color.g * 0x101) / kMax16;
    const float b = static_cast<float>(color.b * 0x101) / kMax16;
    const float max = std::max({r, g, b});
    const float min = std::min({r, g, b});
    const float delta = max - min;
    Hsv hsv;
    hsv.value = div257(round16(max * kMax16));
    if (fuzzyIsNull(delta))
        return hsv;
    hsv.saturation = div257(round16((delta / max) * kMax16));
    float hue = 0.0f;
    if (fuzzyCompare(r, max))
        hue = (g - b) / delta;
    else if (fuzzyCompare(g, max))
        hue = 2.0f + (b - r) / delta;
    else
        hue = 4.0f + (r - g) / delta;
    hue *= 60.0f;
    if (hue < 0.0f)
        hue += 360.0f;
    hsv.hue = round16(hue * 100.0f) / 100;
    return hsv;
}

inline Color fromHsv(int hue, int saturation, int value, std::uint8_t alpha)
{
    const int value16 = value * 0x101;
    const auto channel = [](float fraction) {
        return static_cast<std::uint8_t>(div257(round16(fraction * kMax16)));
    };
    if (saturation == 0) {
        const auto grey = static_cast<std::uint8_t>(div257(value16));
        return {grey, grey, grey, alpha};
    }
    const float h = static_cast<float>(hue * 100) / 6000.0f;
    const float s = static_cast<float>(saturation * 0x101) / kMax16;
    const float v = static_cast<float>(value16) / kMax16;
    const int sector = static_cast<int>(h);
    const float f = h - static_cast<float>(sector);
    const float p = v * (1.0f - s);
    const float q = v * (1.0f - s * f);
    const float t = v * (1.0f - s * (1.0f - f));
    switch (sector) {
    case 0:
        return {channel(v), channel(t), channel(p), alpha};
    case 1:
        return {channel(q), channel(v), channel(p), alpha};
    case 2:
        return {channel(p), channel(v), channel(t), alpha};
    case 3:
        return {channel(p), channel(q), channel(v), alpha};
    case 4:
        return {channel(t), channel(p), channel(v), alpha};
    default:
        return {channel(v), channel(p), channel(q), alpha};
    }
}

} // namespace hue

/// Any thread. The colour with its hue turned by degrees (any integer, taken modulo 360) in the
/// HSV model at QColor's 16-bit precision; alpha is kept and greys stay as they are. Never
/// throws.
inline Color rotateHue(Color color, int degrees)
{
    degrees = (degrees % 360 + 360) % 360;
    if (degrees == 0)
        return color;
    const hue::Hsv hsv = hue::toHsv(color);
    if (hsv.hue < 0)
        return color;
    return hue::fromHsv((hsv.hue + degrees) % 360, hsv.saturation, hsv.value, color.a);
}

} // namespace runtime
