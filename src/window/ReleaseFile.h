#pragma once

#include "runtime/Crypto.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

/// A signed release file: what the vendor says of one Korvane.exe (its product, size, SHA-256
/// and serial), signed as a whole with ECDSA P-256. The format and the rules of trust are
/// docs/releases.md's. A plain value; any thread.
class ReleaseFile
{
public:
    /// The largest release file there may be, in bytes.
    static constexpr std::size_t kMaxBytes = 64 * 1024;

    /// Any thread. Reads a release file's text. Throws RuntimeError (Refused, "the release file
    /// is malformed: ...") for anything but a well-formed file of a version this build knows;
    /// the signature is not looked at.
    static ReleaseFile parse(std::string_view text);

    /// Any thread. Throws RuntimeError (Refused), with one sentence for people, unless the file
    /// is signed by one of trusted with a signature that verifies, names product, has not
    /// expired at now, and offers a serial no lower than installed's (when there is one).
    void verify(std::span<const runtime::P256PublicKey> trusted, std::string_view product,
                std::chrono::system_clock::time_point now,
                const std::optional<ReleaseFile> &installed) const;

    /// Any thread. The keys to trust once this release is installed: its signer and its
    /// successor, if it names one. Never throws beyond std::bad_alloc.
    std::vector<runtime::P256PublicKey> keysTrustedAfter() const;

    /// Any thread. The whole file, byte for byte, as it is kept beside the installed program.
    const std::string &text() const { return m_text; }
    const std::string &product() const { return m_product; }
    /// The signed size in bytes, 1 or more.
    std::int64_t size() const { return m_size; }
    const runtime::Sha256Digest &sha256() const { return m_sha256; }
    std::int64_t serial() const { return m_serial; }
    const std::optional<std::chrono::sys_seconds> &expires() const { return m_expires; }
    const runtime::P256PublicKey &key() const { return m_key; }

private:
    std::string m_text;
    std::size_t m_signedLength = 0;
    std::string m_product;
    std::int64_t m_size = 0;
    runtime::Sha256Digest m_sha256{};
    std::int64_t m_serial = 0;
    std::optional<std::chrono::sys_seconds> m_expires;
    std::optional<runtime::P256PublicKey> m_successor;
    std::optional<std::string> m_retire;
    runtime::P256PublicKey m_key{};
    std::string m_signature;
};

/// Any thread. A key's id: the first 16 hexadecimal digits of the SHA-256 of its point. Throws
/// RuntimeError (Unavailable) only when the platform's cryptography cannot start.
std::string keyIdOf(const runtime::P256PublicKey &key);

/// Any thread. Lower-case hexadecimal text of bytes. Never throws beyond std::bad_alloc.
std::string hexOf(std::span<const std::uint8_t> bytes);
