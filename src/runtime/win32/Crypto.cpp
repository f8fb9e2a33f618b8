#include "runtime/Crypto.h"

#include "FileErrors.h"
#include "KernelHandle.h"
#include "runtime/EcdsaSignature.h"
#include "runtime/Files.h"
#include "runtime/RuntimeError.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>
#include <windows.h>
// bcrypt.h needs windows.h's types before it.
#include <bcrypt.h>

namespace runtime {

namespace {

// CNG reads its inputs through non-const pointers; it never writes to them.
PUCHAR input(const void *bytes) noexcept
{
    return static_cast<PUCHAR>(const_cast<void *>(bytes));
}

/// The provider of algorithm, opened at its first use and kept for the process's life: one
/// handle serves any number of threads at once, and Windows frees it at exit. Throws
/// RuntimeError (Unavailable) when CNG cannot open it; a later call tries again.
BCRYPT_ALG_HANDLE openProvider(BCRYPT_ALG_HANDLE &slot, LPCWSTR algorithm, const char *what)
{
    if (slot == nullptr) {
        BCRYPT_ALG_HANDLE opened = nullptr;
        if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&opened, algorithm, nullptr, 0)))
            throw RuntimeError(ErrorKind::Unavailable,
                               std::string("Windows' ") + what + " (CNG) cannot start");
        slot = opened;
    }
    return slot;
}

// Held while a provider is looked up or opened, never while it is used.
std::mutex g_providersMutex;
BCRYPT_ALG_HANDLE g_sha256Provider = nullptr; // guarded by g_providersMutex
BCRYPT_ALG_HANDLE g_ecdsaProvider = nullptr;  // guarded by g_providersMutex

BCRYPT_ALG_HANDLE sha256Provider()
{
    const std::lock_guard lock(g_providersMutex);
    return openProvider(g_sha256Provider, BCRYPT_SHA256_ALGORITHM, "SHA-256");
}

BCRYPT_ALG_HANDLE ecdsaProvider()
{
    const std::lock_guard lock(g_providersMutex);
    return openProvider(g_ecdsaProvider, BCRYPT_ECDSA_P256_ALGORITHM, "ECDSA P-256");
}

class CngSha256 final : public Sha256
{
public:
    /// Any thread. Throws RuntimeError (Unavailable) when CNG's SHA-256 cannot start.
    CngSha256()
    {
        // With no buffer given, CNG keeps the hash object's memory itself.
        if (!BCRYPT_SUCCESS(
                ::BCryptCreateHash(sha256Provider(), &m_hash, nullptr, 0, nullptr, 0, 0)))
            throw RuntimeError(ErrorKind::Unavailable, "Windows' SHA-256 (CNG) cannot start");
    }
    ~CngSha256() override { ::BCryptDestroyHash(m_hash); }
    CngSha256(const CngSha256 &) = delete;
    CngSha256 &operator=(const CngSha256 &) = delete;

    void update(std::string_view bytes) noexcept override
    {
        // CNG counts in 32 bits.
        while (!m_failed && !m_finished && !bytes.empty()) {
            const auto piece = static_cast<ULONG>(std::min<std::size_t>(bytes.size(), 1U << 30));
            if (!BCRYPT_SUCCESS(::BCryptHashData(m_hash, input(bytes.data()), piece, 0)))
                m_failed = true;
            bytes.remove_prefix(piece);
        }
    }

    Sha256Digest finish() override
    {
        if (m_finished)
            throw RuntimeError("the SHA-256 was already finished");
        m_finished = true;
        Sha256Digest digest{};
        if (m_failed || !BCRYPT_SUCCESS(::BCryptFinishHash(m_hash, digest.data(),
                                                           static_cast<ULONG>(digest.size()), 0)))
            throw RuntimeError("Windows could not compute the SHA-256");
        return digest;
    }

private:
    BCRYPT_HASH_HANDLE m_hash = nullptr;
    bool m_failed = false;
    bool m_finished = false;
};

struct KeyDestroy
{
    void operator()(void *key) const noexcept { ::BCryptDestroyKey(key); }
};
using Key = std::unique_ptr<void, KeyDestroy>;

/// The P-256 key at point (0x04, X, Y); null when CNG refuses it, as it does a point that is not
/// on the curve. Throws RuntimeError (Unavailable) when CNG's ECDSA cannot start.
Key keyAt(const P256PublicKey &point)
{
    constexpr ULONG kCoordinate = 32;
    unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + 2 * kCoordinate];
    const BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, kCoordinate};
    std::memcpy(blob, &header, sizeof header);
    std::memcpy(blob + sizeof header, point.data() + 1, 2 * kCoordinate);
    BCRYPT_KEY_HANDLE key = nullptr;
    if (!BCRYPT_SUCCESS(::BCryptImportKeyPair(ecdsaProvider(), nullptr, BCRYPT_ECCPUBLIC_BLOB, &key,
                                              blob, sizeof blob, 0)))
        return nullptr;
    return Key(key);
}

} // namespace

std::unique_ptr<Sha256> createSha256()
{
    return std::make_unique<CngSha256>();
}

Sha256Digest sha256(std::string_view bytes)
{
    CngSha256 hash;
    hash.update(bytes);
    return hash.finish();
}

bool verifyP256Signature(const P256PublicKey &key, std::string_view message,
                         std::string_view derSignature)
{
    // CNG takes r and s side by side, not the DER that signers write.
    const std::optional<P256RawSignature> raw = p256SignatureFromDer(derSignature);
    if (key[0] != 0x04 || !raw)
        return false;
    const Key publicKey = keyAt(key);
    if (!publicKey)
        return false;
    Sha256Digest digest{};
    try {
        digest = sha256(message);
    } catch (const RuntimeError &error) {
        if (error.kind() == ErrorKind::Unavailable)
            throw;
        return false;
    }
    return BCRYPT_SUCCESS(::BCryptVerifySignature(
        publicKey.get(), nullptr, digest.data(), static_cast<ULONG>(digest.size()),
        input(raw->data()), static_cast<ULONG>(raw->size()), 0));
}

Sha256Digest sha256OfFile(const std::filesystem::path &path)
{
    const std::string shown = utf8FromPath(path);
    if (fileKind(path) != FileKind::Regular)
        throw RuntimeError(ErrorKind::Refused, shown + " is not a regular file");
    const win32::KernelHandle file(::CreateFileW(
        path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.valid())
        win32::failWith(::GetLastError(), "cannot open " + shown);
    const std::unique_ptr<Sha256> hash = createSha256();
    std::vector<char> piece(1024 * 1024);
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(file.get(), piece.data(), static_cast<DWORD>(piece.size()), &got, nullptr))
            win32::failWith(::GetLastError(), "cannot read " + shown);
        if (got == 0)
            break;
        hash->update(std::string_view(piece.data(), got));
    }
    return hash->finish();
}

} // namespace runtime
