#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string_view>

// The cryptography a signed release needs, from the platform's own library: SHA-256, and the
// verification of an ECDSA P-256 signature. Nothing here signs, and nothing keeps a secret.
namespace runtime {

/// A SHA-256 digest, as the hash gives it.
using Sha256Digest = std::array<std::uint8_t, 32>;

/// A P-256 public key as an uncompressed point: 0x04, then X and Y, 32 bytes each, big-endian.
using P256PublicKey = std::array<std::uint8_t, 65>;

/// A SHA-256 over bytes fed to it in pieces. One thread at a time, any thread; made by
/// createSha256.
class Sha256
{
public:
    /// Any thread. Never throws.
    virtual ~Sha256() = default;

    /// The owning thread, before finish. Takes the next bytes (any number, none too). Never
    /// throws, so that a transfer's worker can feed it from a callback: a failure is kept and
    /// finish tells it.
    virtual void update(std::string_view bytes) noexcept = 0;

    /// The owning thread, once. The digest of every byte given to update. Throws RuntimeError
    /// (Failed) when an update failed or finish was called before, std::bad_alloc at most
    /// besides.
    virtual Sha256Digest finish() = 0;
};

/// Any thread. A new, empty SHA-256. Throws RuntimeError (Unavailable) when the platform's
/// cryptography cannot start.
std::unique_ptr<Sha256> createSha256();

/// Any thread. The SHA-256 of bytes. Throws RuntimeError (Unavailable) when the platform's
/// cryptography cannot start, (Failed) when it fails to hash.
Sha256Digest sha256(std::string_view bytes);

/// Any thread. The SHA-256 of a regular file, read in pieces through one descriptor, never
/// whole. Throws RuntimeError: NotFound when it is missing, Refused when it is not a regular
/// file (a link is not followed), Failed when it cannot be read, Unavailable when the
/// platform's cryptography cannot start.
Sha256Digest sha256OfFile(const std::filesystem::path &path);

/// Any thread. Whether derSignature, the DER ECDSA-Sig-Value that `openssl dgst -sha256 -sign`
/// writes, is a valid ECDSA P-256 signature by key over SHA-256(message). Strict: a key that is
/// no uncompressed point on the curve, a signature in anything but the one DER form (trailing
/// bytes, lengths that disagree, a negative, padded or oversized integer), or an r or s outside
/// 1 to the group's order less one, is false, never a throw. Throws RuntimeError (Unavailable)
/// only when the platform's cryptography cannot start.
bool verifyP256Signature(const P256PublicKey &key, std::string_view message,
                         std::string_view derSignature);

} // namespace runtime
