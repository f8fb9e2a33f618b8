#pragma once

namespace platform {

/// Window layouts are designed in twips, 1/1440 inch: 15 twips to a pixel at 96 dots per inch.
/// Qt scales pixels for high-density screens, so converting at 96 dpi is right everywhere.
constexpr int kTwipsPerPixel = 15;

/// Any thread. Twips to device-independent pixels. Never throws.
constexpr int twipsToPixels(int twips)
{
    return twips / kTwipsPerPixel;
}

} // namespace platform
