#pragma once

namespace runtime {

/// Window layouts are designed in twips, 1/1440 inch: 15 twips to a pixel at 96 dots per inch.
/// A runtime scales these logical pixels for high-density screens itself.
constexpr int kTwipsPerPixel = 15;

/// Any thread. Twips to logical pixels. Never throws.
constexpr int twipsToPixels(int twips)
{
    return twips / kTwipsPerPixel;
}

} // namespace runtime
