#include "Png.h"

#include <algorithm>
#include <array>

namespace skin {

namespace {

constexpr std::string_view kSignature("\x89PNG\r\n\x1a\n", 8);

// Built at compile time, which keeps the library off a zlib dependency for one checksum.
constexpr std::array<std::uint32_t, 256> kCrcTable = [] {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1U) != 0 ? 0xedb88320U ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}();

// The chunks a skin image may carry: the pixels and how their colours are meant. A decoder
// inflates compressed text (zTXt, iTXt) and ICC profiles in full before the first pixel, so a
// 1 MiB skin could cost seconds and gigabytes; anything not needed to draw is refused unread.
constexpr std::array<std::string_view, 10> kAllowedChunks{"IHDR", "PLTE", "tRNS", "IDAT", "IEND",
                                                          "gAMA", "cHRM", "sRGB", "sBIT", "cICP"};

std::uint32_t bigEndian32(std::string_view data, std::size_t at)
{
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i)
        value = (value << 8) | static_cast<unsigned char>(data[at + i]);
    return value;
}

bool isLetter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

PngLayout damaged(std::string_view what)
{
    return PngLayout{"data is a damaged PNG image: " + std::string(what)};
}

} // namespace

bool hasPngSignature(std::string_view data)
{
    return data.substr(0, kSignature.size()) == kSignature;
}

std::uint32_t pngCrc(std::string_view data)
{
    std::uint32_t crc = 0xffffffffU;
    for (const char c : data)
        crc = kCrcTable[(crc ^ static_cast<unsigned char>(c)) & 0xffU] ^ (crc >> 8);
    return crc ^ 0xffffffffU;
}

PngLayout checkPngChunks(std::string_view png)
{
    constexpr std::size_t kChunkOverhead = 12; // length, type and CRC around the chunk's data
    if (!hasPngSignature(png))
        return {"data is not a PNG image"};
    PngLayout layout;
    std::size_t at = kSignature.size();
    for (bool first = true;; first = false) {
        const std::size_t left = png.size() - at;
        if (left == 0)
            return damaged("it ends without an IEND chunk");
        // Compared with what is left rather than added to at, so a length near 2^32 cannot wrap.
        if (left < kChunkOverhead || bigEndian32(png, at) > left - kChunkOverhead)
            return damaged("a chunk runs past the end of the data");
        const std::uint32_t length = bigEndian32(png, at);
        const std::string_view type = png.substr(at + 4, 4);
        if (!std::all_of(type.begin(), type.end(), isLetter))
            return damaged("a chunk's type is not four letters");
        const bool header = type == "IHDR";
        if (first && !header)
            return damaged("it does not begin with an IHDR chunk");
        if (!first && header)
            return damaged("it has a second IHDR chunk");
        if (std::find(kAllowedChunks.begin(), kAllowedChunks.end(), type) == kAllowedChunks.end())
            return {"carries a chunk of type " + std::string(type) +
                    "; a skin image may hold only IHDR, PLTE, tRNS, IDAT, IEND, gAMA, cHRM, sRGB, "
                    "sBIT and cICP chunks"};
        const std::size_t data = at + 8;
        if (pngCrc(png.substr(at + 4, 4 + std::size_t{length})) != bigEndian32(png, data + length))
            return damaged("its " + std::string(type) + " chunk fails its checksum");
        at += kChunkOverhead + length;
        if (header) {
            if (length != 13)
                return damaged("its IHDR chunk is not 13 bytes long");
            layout.width = bigEndian32(png, data);
            layout.height = bigEndian32(png, data + 4);
            if (layout.width == 0 || layout.height == 0)
                return damaged("its header gives no size");
        } else if (type == "IEND") {
            if (length != 0)
                return damaged("its IEND chunk is not empty");
            if (at != png.size())
                return damaged("data follows its IEND chunk");
            return layout;
        }
    }
}

} // namespace skin
