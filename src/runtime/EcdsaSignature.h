#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace runtime {

/// An ECDSA P-256 signature as its two integers, r then s, 32 bytes each, big-endian: the form
/// CNG verifies.
using P256RawSignature = std::array<std::uint8_t, 64>;

/// Any thread. r and s of derSignature when it is a DER ECDSA-Sig-Value (a SEQUENCE of two
/// INTEGERs) in the one form DER allows, with nothing after it, and each integer lies from 1 to
/// P-256's group order less one; nothing otherwise. This reads the structure only: whether the
/// signature holds is the platform's cryptography's to say. Never throws.
std::optional<P256RawSignature> p256SignatureFromDer(std::string_view derSignature) noexcept;

} // namespace runtime
