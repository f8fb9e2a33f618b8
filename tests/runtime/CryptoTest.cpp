// The platform's cryptography through the runtime's interface alone, so that every runtime runs
// the same rows and must give the same answers: SHA-256 of known vectors, and ECDSA P-256
// signatures that the openssl command line made at build time (support/make-signatures.sh), as
// they are and spoilt in the ways a forger or a broken download would spoil them.

#include "runtime/Crypto.h"

#include "runtime/RuntimeError.h"
#include "support/SystemSupport.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace {

using runtime::P256PublicKey;
using runtime::Sha256Digest;
using Field = std::array<std::uint8_t, 32>;

// The order n of P-256's group (SEC 2).
constexpr Field kGroupOrder = {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF,
                               0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xBC, 0xE6, 0xFA, 0xAD, 0xA7, 0x17,
                               0x9E, 0x84, 0xF3, 0xB9, 0xCA, 0xC2, 0xFC, 0x63, 0x25, 0x51};

std::string hexOf(const Sha256Digest &digest)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (const std::uint8_t byte : digest) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0xF];
    }
    return hex;
}

std::string madeAtBuild(const char *name)
{
    return support::readFile(std::filesystem::path(REFITOR_SIGNATURES) / name);
}

P256PublicKey pointOf(const std::string &bytes)
{
    P256PublicKey point{};
    EXPECT_EQ(bytes.size(), point.size());
    std::copy_n(bytes.begin(), std::min(bytes.size(), point.size()), point.begin());
    return point;
}

/// r and s of a DER signature openssl wrote (trusted to be well formed), as 32-byte fields.
std::pair<Field, Field> integersOf(const std::string &der)
{
    const auto field = [&](std::size_t at) {
        const std::size_t length = static_cast<std::uint8_t>(der.at(at + 1));
        std::string value = der.substr(at + 2, length);
        value.erase(0, value.find_first_not_of('\0'));
        Field bytes{};
        std::copy(value.begin(), value.end(),
                  bytes.end() - static_cast<std::ptrdiff_t>(value.size()));
        return std::pair{bytes, at + 2 + length};
    };
    const auto [r, next] = field(2);
    return {r, field(next).first};
}

/// The minimal DER INTEGER content of a non-negative field.
std::string integerContent(const Field &value)
{
    std::string bytes(value.begin(), value.end());
    bytes.erase(0, std::min(bytes.find_first_not_of('\0'), bytes.size() - 1));
    if ((static_cast<std::uint8_t>(bytes.front()) & 0x80) != 0)
        bytes.insert(bytes.begin(), '\0');
    return bytes;
}

/// A signature of the two INTEGER contents given, as they are: a right one when both are minimal.
std::string derOf(const std::string &r, const std::string &s)
{
    const std::string body = std::string{'\x02', static_cast<char>(r.size())} + r +
                             std::string{'\x02', static_cast<char>(s.size())} + s;
    return std::string{'\x30', static_cast<char>(body.size())} + body;
}

Field minus(const Field &a, const Field &b)
{
    Field difference{};
    int borrow = 0;
    for (std::size_t i = a.size(); i-- > 0;) {
        const int value = a[i] - b[i] - borrow;
        borrow = value < 0 ? 1 : 0;
        difference[i] = static_cast<std::uint8_t>(value + 256 * borrow);
    }
    return difference;
}

std::string flipped(std::string bytes, std::size_t at, std::uint8_t mask)
{
    bytes.at(at) = static_cast<char>(bytes.at(at) ^ mask);
    return bytes;
}

TEST(Sha256, KnownVectorsComeOutTheSameWholeAndInUnevenPieces)
{
    struct Row
    {
        const char *name;
        std::string input;
        const char *digest;
    };
    const std::vector<Row> rows = {
        {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"448 bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"a million a", std::string(1'000'000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    // Pieces that end inside, at and across the hash's 64-byte blocks, and empty ones.
    const std::size_t pieces[] = {0, 1, 63, 64, 65, 0, 127, 4093, 100'003};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(hexOf(runtime::sha256(row.input)), row.digest);

        const auto hash = runtime::createSha256();
        std::size_t at = 0;
        for (std::size_t i = 0; at < row.input.size(); ++i) {
            const std::size_t size = std::min(pieces[i % std::size(pieces)], row.input.size() - at);
            hash->update(std::string_view(row.input).substr(at, size));
            at += size;
        }
        EXPECT_EQ(hexOf(hash->finish()), row.digest);
        try {
            static_cast<void>(hash->finish());
            ADD_FAILURE() << "a finished hash finished again";
        } catch (const runtime::RuntimeError &error) {
            EXPECT_EQ(error.kind(), runtime::ErrorKind::Failed);
        }
    }
}

TEST(P256Signature, OnlyTheSignersSignatureOverTheMessageInStrictDerHolds)
{
    const P256PublicKey signer = pointOf(madeAtBuild("signer.point"));
    const P256PublicKey other = pointOf(madeAtBuild("other.point"));
    const std::string message = madeAtBuild("message.bin");
    const std::string signature = madeAtBuild("message.sig");
    const auto [r, s] = integersOf(signature);
    const std::string rContent = integerContent(r);
    const std::string sContent = integerContent(s);
    ASSERT_EQ(derOf(rContent, sContent), signature);

    P256PublicKey offCurve = signer;
    offCurve[64] ^= 0x01;
    // The same point in the hybrid form (0x06 or 0x07 by Y's parity), which only some libraries
    // read.
    P256PublicKey hybrid = signer;
    hybrid[0] = static_cast<std::uint8_t>(0x06 | (signer[64] & 1));
    P256PublicKey compressedPrefix = signer;
    compressedPrefix[0] = 0x02;
    std::string longerClaim = signature + '\0';
    longerClaim[1] = static_cast<char>(longerClaim[1] + 1);
    // r's 32 bytes with the sign bit set and no zero in front.
    std::string negative(r.begin(), r.end());
    negative[0] = static_cast<char>(negative[0] | 0x80);

    struct Row
    {
        const char *name;
        P256PublicKey key;
        std::string message;
        std::string signature;
        bool valid;
    };
    const std::vector<Row> rows = {
        {"the signer's signature", signer, message, signature, true},
        // CNG's form pads such an integer in front; openssl writes one in about 128 signatures.
        {"an integer shorter than 32 bytes", signer, madeAtBuild("short.msg"),
         madeAtBuild("short.sig"), true},
        // ECDSA's twin of every signature; neither library insists on the lower s.
        {"s replaced by n - s", signer, message,
         derOf(rContent, integerContent(minus(kGroupOrder, s))), true},
        {"a bit of the message flipped", signer, flipped(message, 500, 0x10), signature, false},
        {"the message one byte short", signer, message.substr(1), signature, false},
        {"a byte of s flipped", signer, message, flipped(signature, signature.size() - 1, 0xFF),
         false},
        {"r and s swapped", signer, message, derOf(sContent, rContent), false},
        {"the signature truncated", signer, message, signature.substr(0, signature.size() - 1),
         false},
        {"a byte after the signature", signer, message, signature + '\0', false},
        {"the sequence claims a byte more", signer, message, longerClaim, false},
        {"the sequence's length in the long form", signer, message,
         "\x30\x81" + signature.substr(1), false},
        {"r padded with a needless zero", signer, message,
         derOf(std::string(1, '\0') + rContent, sContent), false},
        {"r negative", signer, message, derOf(negative, sContent), false},
        {"r of 33 bytes", signer, message,
         derOf(std::string(1, '\x01') + std::string(r.begin(), r.end()), sContent), false},
        {"r equal to the group's order", signer, message,
         derOf(integerContent(kGroupOrder), sContent), false},
        {"r zero", signer, message, derOf(std::string(1, '\0'), sContent), false},
        {"an empty signature", signer, message, "", false},
        {"another key", other, message, signature, false},
        {"a key off the curve", offCurve, message, signature, false},
        {"the key in the hybrid form", hybrid, message, signature, false},
        {"the key with a compressed point's prefix", compressedPrefix, message, signature, false},
        {"a key of zeros", P256PublicKey{}, message, signature, false},
    };
    for (const Row &row : rows)
        EXPECT_EQ(runtime::verifyP256Signature(row.key, row.message, row.signature), row.valid)
            << row.name;

    // The same answers from several threads at once, through the providers they share.
    constexpr int kThreads = 4;
    std::vector<std::vector<int>> answers(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t]() noexcept {
            for (int round = 0; round < 5; ++round) {
                for (const Row &row : rows) {
                    try {
                        answers[t].push_back(
                            runtime::verifyP256Signature(row.key, row.message, row.signature));
                    } catch (...) {
                        answers[t].push_back(-1);
                    }
                }
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    std::vector<int> expected;
    for (int round = 0; round < 5; ++round) {
        for (const Row &row : rows)
            expected.push_back(row.valid);
    }
    for (const auto &answer : answers)
        EXPECT_EQ(answer, expected);
}

} // namespace
