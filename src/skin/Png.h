#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// What a skin may embed as an image, settled from the PNG's chunk list alone: no pixel is
// decoded here, and nothing of a compression library is needed.
namespace skin {

/// The shape of an embedded PNG, or what is wrong with it.
struct PngLayout
{
    std::string problem; // empty when the chunk list is sound and allowed; else a reason
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

/// Any thread. Whether data begins with the eight bytes of the PNG signature. Never throws.
bool hasPngSignature(std::string_view data);

/// Any thread. Walks the chunk list of png after its signature, decoding nothing:
/// every chunk lies within the data and passes its CRC, IHDR comes first and once with a size,
/// IEND last and empty, and only IHDR, PLTE, tRNS, IDAT, IEND, gAMA, cHRM, sRGB, sBIT and cICP
/// appear. Throws only std::bad_alloc (for the problem's text).
PngLayout checkPngChunks(std::string_view png);

/// Any thread. The CRC-32 of data as PNG computes it (zlib's polynomial). Never throws.
std::uint32_t pngCrc(std::string_view data);

} // namespace skin
