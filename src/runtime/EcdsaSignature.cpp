#include "EcdsaSignature.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace runtime {

namespace {

constexpr std::uint8_t kSequenceTag = 0x30;
constexpr std::uint8_t kIntegerTag = 0x02;
constexpr std::size_t kFieldSize = 32;

// The order n of P-256's group (SEC 2, secp256r1), big-endian. An r or s of n or more is no
// signature any signer makes; refused here, the answer does not hang on a library's leniency.
constexpr std::array<std::uint8_t, kFieldSize> kGroupOrder = {
    0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xBC, 0xE6, 0xFA, 0xAD, 0xA7, 0x17, 0x9E, 0x84, 0xF3, 0xB9, 0xCA, 0xC2, 0xFC, 0x63, 0x25, 0x51};

std::uint8_t byteAt(std::string_view bytes, std::size_t at) noexcept
{
    return static_cast<std::uint8_t>(bytes[at]);
}

/// Reads the INTEGER at the front of rest into field (32 bytes, big-endian, zeros in front) and
/// moves rest past it. False for anything but a minimal, non-negative integer from 1 to n - 1.
bool readInteger(std::string_view &rest, std::uint8_t *field) noexcept
{
    if (rest.size() < 2 || byteAt(rest, 0) != kIntegerTag)
        return false;
    // DER writes a length below 128 in one byte; 33 is the most a value below n can take.
    const std::size_t length = byteAt(rest, 1);
    if (length == 0 || length > kFieldSize + 1 || rest.size() - 2 < length)
        return false;
    std::string_view value = rest.substr(2, length);
    rest.remove_prefix(2 + length);
    if ((byteAt(value, 0) & 0x80) != 0)
        return false;
    // A leading zero is there only to keep a high first bit from reading as a sign.
    if (value.size() > 1 && byteAt(value, 0) == 0 && (byteAt(value, 1) & 0x80) == 0)
        return false;
    if (byteAt(value, 0) == 0)
        value.remove_prefix(1);
    if (value.size() > kFieldSize)
        return false;
    std::fill(field, field + kFieldSize, std::uint8_t{0});
    std::memcpy(field + (kFieldSize - value.size()), value.data(), value.size());
    const bool zero = std::all_of(field, field + kFieldSize, [](std::uint8_t b) { return b == 0; });
    const bool belowOrder = std::lexicographical_compare(field, field + kFieldSize,
                                                         kGroupOrder.begin(), kGroupOrder.end());
    return !zero && belowOrder;
}

} // namespace

std::optional<P256RawSignature> p256SignatureFromDer(std::string_view derSignature) noexcept
{
    // The whole of it is one SEQUENCE, its length in one byte (at most 70 here) and exact.
    if (derSignature.size() < 2 || byteAt(derSignature, 0) != kSequenceTag ||
        byteAt(derSignature, 1) >= 0x80 || byteAt(derSignature, 1) != derSignature.size() - 2)
        return std::nullopt;
    std::string_view rest = derSignature.substr(2);
    P256RawSignature raw{};
    if (!readInteger(rest, raw.data()) || !readInteger(rest, raw.data() + kFieldSize) ||
        !rest.empty())
        return std::nullopt;
    return raw;
}

} // namespace runtime
