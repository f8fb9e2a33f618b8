#include "runtime/Crypto.h"

#include "Descriptor.h"
#include "SystemError.h"
#include "runtime/EcdsaSignature.h"
#include "runtime/Files.h"
#include "runtime/RuntimeError.h"

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace runtime {

namespace {

struct DigestContextFree
{
    void operator()(EVP_MD_CTX *context) const noexcept { EVP_MD_CTX_free(context); }
};
struct KeyFree
{
    void operator()(EVP_PKEY *key) const noexcept { EVP_PKEY_free(key); }
};
struct KeyContextFree
{
    void operator()(EVP_PKEY_CTX *context) const noexcept { EVP_PKEY_CTX_free(context); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextFree>;
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using KeyContext = std::unique_ptr<EVP_PKEY_CTX, KeyContextFree>;

[[noreturn]] void throwUnavailable(const char *what)
{
    // OpenSSL's error queue is per thread and read by whatever runs next there, libcurl too.
    ERR_clear_error();
    throw RuntimeError(ErrorKind::Unavailable, std::string("OpenSSL's ") + what + " cannot start");
}

DigestContext newDigestContext()
{
    DigestContext context(EVP_MD_CTX_new());
    if (!context)
        throwUnavailable("SHA-256");
    return context;
}

class OpenSslSha256 final : public Sha256
{
public:
    /// Any thread. Throws RuntimeError (Unavailable) when OpenSSL's SHA-256 cannot start.
    OpenSslSha256() : m_context(newDigestContext())
    {
        if (EVP_DigestInit_ex(m_context.get(), EVP_sha256(), nullptr) != 1)
            throwUnavailable("SHA-256");
    }

    void update(std::string_view bytes) noexcept override
    {
        if (m_failed || m_finished)
            return;
        if (EVP_DigestUpdate(m_context.get(), bytes.data(), bytes.size()) != 1) {
            m_failed = true;
            ERR_clear_error();
        }
    }

    Sha256Digest finish() override
    {
        if (m_finished)
            throw RuntimeError("the SHA-256 was already finished");
        m_finished = true;
        Sha256Digest digest{};
        unsigned int size = 0;
        if (m_failed || EVP_DigestFinal_ex(m_context.get(), digest.data(), &size) != 1 ||
            size != digest.size()) {
            ERR_clear_error();
            throw RuntimeError("OpenSSL could not compute the SHA-256");
        }
        return digest;
    }

private:
    DigestContext m_context;
    bool m_failed = false;
    bool m_finished = false;
};

/// The P-256 key at point; null when OpenSSL takes it for no point of the curve. Throws
/// RuntimeError (Unavailable) when OpenSSL cannot make EC keys at all.
Key keyAt(const P256PublicKey &point)
{
    const KeyContext context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    if (!context || EVP_PKEY_fromdata_init(context.get()) != 1)
        throwUnavailable("EC keys");
    // OSSL_PARAM takes writable buffers, though an import only reads them.
    char group[] = "prime256v1";
    P256PublicKey bytes = point;
    OSSL_PARAM parameters[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, bytes.data(), bytes.size()),
        OSSL_PARAM_construct_end()};
    EVP_PKEY *key = nullptr;
    // The import decodes the point, which fails for one that is not on the curve.
    if (EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_PUBLIC_KEY, parameters) != 1) {
        ERR_clear_error();
        return nullptr;
    }
    return Key(key);
}

} // namespace

std::unique_ptr<Sha256> createSha256()
{
    return std::make_unique<OpenSslSha256>();
}

Sha256Digest sha256(std::string_view bytes)
{
    OpenSslSha256 hash;
    hash.update(bytes);
    return hash.finish();
}

bool verifyP256Signature(const P256PublicKey &key, std::string_view message,
                         std::string_view derSignature)
{
    // OpenSSL would take a hybrid point (0x06, 0x07) as well, and its own DER reading is as
    // strict; the shared reading keeps every runtime's answer the same.
    if (key[0] != 0x04 || !p256SignatureFromDer(derSignature))
        return false;
    const Key publicKey = keyAt(key);
    if (!publicKey)
        return false;
    const DigestContext context = newDigestContext();
    if (EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, publicKey.get()) != 1)
        throwUnavailable("ECDSA verification");
    const int verdict = EVP_DigestVerify(
        context.get(), reinterpret_cast<const unsigned char *>(derSignature.data()),
        derSignature.size(), reinterpret_cast<const unsigned char *>(message.data()),
        message.size());
    ERR_clear_error();
    return verdict == 1;
}

Sha256Digest sha256OfFile(const std::filesystem::path &path)
{
    const std::string shown = utf8FromPath(path);
    const qt::Descriptor file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0) {
        const int error = errno;
        throw RuntimeError(error == ENOENT  ? ErrorKind::NotFound
                           : error == ELOOP ? ErrorKind::Refused
                                            : ErrorKind::Failed,
                           "cannot open " + shown + ": " + qt::systemErrorText(error));
    }
    struct stat info
    {};
    if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode))
        throw RuntimeError(ErrorKind::Refused, shown + " is not a regular file");
    const std::unique_ptr<Sha256> hash = createSha256();
    std::vector<char> piece(1024 * 1024);
    for (;;) {
        const ssize_t got = ::read(file.get(), piece.data(), piece.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            throw RuntimeError("cannot read " + shown + ": " + qt::systemErrorText(errno));
        if (got == 0)
            break;
        hash->update(std::string_view(piece.data(), static_cast<std::size_t>(got)));
    }
    return hash->finish();
}

} // namespace runtime
