#pragma once

#include <cstdint>

namespace runtime {

/// A colour with straight (not premultiplied) alpha; a = 255 is opaque.
struct Color
{
    std::uint8_t r = 0;
    std::uint8_t g = 0;
    std::uint8_t b = 0;
    std::uint8_t a = 255;

    friend bool operator==(const Color &, const Color &) = default;
};

} // namespace runtime
