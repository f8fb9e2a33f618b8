#include "ReleaseFile.h"

#include "runtime/RuntimeError.h"
#include "runtime/Text.h"

#include <algorithm>
#include <array>
#include <limits>
#include <map>

using runtime::ErrorKind;
using runtime::RuntimeError;

namespace {

constexpr std::string_view kFormat = "refitor-release";
constexpr std::string_view kVersion = "1";
// Larger than any body the transfer takes, so that a signed size can never be out of its reach.
constexpr std::int64_t kLargestSize = std::int64_t{4} * 1024 * 1024 * 1024;

[[noreturn]] void malformed(const std::string &what)
{
    throw RuntimeError(ErrorKind::Refused, "the release file is malformed: " + what);
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isLowerHex(char c)
{
    return isDigit(c) || (c >= 'a' && c <= 'f');
}

// A decimal count without sign, blanks or leading zeros, up to largest; nothing when it is not.
std::optional<std::int64_t> decimal(std::string_view text, std::int64_t largest)
{
    if (text.empty() || text.size() > 19 || (text.size() > 1 && text[0] == '0') ||
        !std::all_of(text.begin(), text.end(), isDigit))
        return std::nullopt;
    std::uint64_t value = 0;
    for (const char digit : text)
        value = value * 10 + static_cast<std::uint64_t>(digit - '0');
    if (value > static_cast<std::uint64_t>(largest))
        return std::nullopt;
    return static_cast<std::int64_t>(value);
}

// Strict base64 of the standard alphabet, padded; nothing when it is not.
std::optional<std::string> base64(std::string_view text)
{
    static constexpr std::string_view kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (text.empty() || text.size() % 4 != 0)
        return std::nullopt;
    const std::size_t padding = text.ends_with("==") ? 2 : text.ends_with('=') ? 1 : 0;
    std::string bytes;
    std::uint32_t bits = 0;
    int held = 0;
    for (std::size_t at = 0; at < text.size() - padding; ++at) {
        const std::size_t value = kAlphabet.find(text[at]);
        if (value == std::string_view::npos)
            return std::nullopt;
        bits = (bits << 6U) | static_cast<std::uint32_t>(value);
        held += 6;
        if (held >= 8) {
            held -= 8;
            bytes.push_back(static_cast<char>((bits >> static_cast<unsigned>(held)) & 0xFFU));
        }
    }
    return bytes;
}

std::optional<runtime::P256PublicKey> pointOf(std::string_view text)
{
    const auto bytes = base64(text);
    runtime::P256PublicKey key{};
    if (!bytes || bytes->size() != key.size() || (*bytes)[0] != '\x04')
        return std::nullopt;
    std::copy(bytes->begin(), bytes->end(), key.begin());
    return key;
}

// "2027-06-30T00:00:00Z", a real date and time of day in UTC; nothing when it is not.
std::optional<std::chrono::sys_seconds> utcTime(std::string_view text)
{
    using namespace std::chrono;
    constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != kShape.size())
        return std::nullopt;
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (kShape[at] == 'd' ? !isDigit(text[at]) : text[at] != kShape[at])
            return std::nullopt;
    }
    const auto number = [&](std::size_t at, std::size_t length) {
        int value = 0;
        for (std::size_t i = at; i < at + length; ++i)
            value = value * 10 + (text[i] - '0');
        return value;
    };
    const year_month_day date{year(number(0, 4)), month(static_cast<unsigned>(number(5, 2))),
                              day(static_cast<unsigned>(number(8, 2)))};
    const int hours = number(11, 2);
    const int minutes = number(14, 2);
    const int seconds = number(17, 2);
    if (!date.ok() || hours > 23 || minutes > 59 || seconds > 59)
        return std::nullopt;
    return sys_days(date) + std::chrono::hours(hours) + std::chrono::minutes(minutes) +
           std::chrono::seconds(seconds);
}

std::string textOfTime(std::chrono::sys_seconds time)
{
    using namespace std::chrono;
    const sys_days days = floor<std::chrono::days>(time);
    const year_month_day date(days);
    const hh_mm_ss clock(time - days);
    const auto two = [](long long value) {
        return std::string(value < 10 ? "0" : "") + std::to_string(value);
    };
    return std::to_string(static_cast<int>(date.year())) + '-' +
           two(static_cast<unsigned>(date.month())) + '-' + two(static_cast<unsigned>(date.day())) +
           ' ' + two(clock.hours().count()) + ':' + two(clock.minutes().count()) + ':' +
           two(clock.seconds().count()) + " UTC";
}

// Whether text is UTF-8 without control characters but the line feeds that end its lines.
bool isPlainUtf8(std::string_view text)
{
    for (std::size_t at = 0; at < text.size();) {
        const auto lead = static_cast<unsigned char>(text[at]);
        if (lead < 0x80) {
            if ((lead < 0x20 && lead != '\n') || lead == 0x7F)
                return false;
            ++at;
            continue;
        }
        const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
        if (length == 0 || lead > 0xF4 || at + length > text.size())
            return false;
        for (std::size_t i = 1; i < length; ++i) {
            if ((static_cast<unsigned char>(text[at + i]) & 0xC0U) != 0x80U)
                return false;
        }
        at += length;
    }
    return true;
}

} // namespace

std::string hexOf(std::span<const std::uint8_t> bytes)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const std::uint8_t byte : bytes) {
        text.push_back(kDigits[byte >> 4U]);
        text.push_back(kDigits[byte & 0x0FU]);
    }
    return text;
}

std::string keyIdOf(const runtime::P256PublicKey &key)
{
    const runtime::Sha256Digest digest =
        runtime::sha256(std::string_view(reinterpret_cast<const char *>(key.data()), key.size()));
    return hexOf(std::span(digest).first(8));
}

ReleaseFile ReleaseFile::parse(std::string_view text)
{
    if (text.empty())
        malformed("it is empty");
    if (text.size() > kMaxBytes)
        malformed("it is larger than " + runtime::groupedCount(kMaxBytes) + " bytes");
    if (!isPlainUtf8(text))
        malformed("it is not plain UTF-8 text in lines");
    if (!text.ends_with('\n'))
        malformed("its last line has no end");

    ReleaseFile release;
    release.m_text = std::string(text);
    std::map<std::string, std::string, std::less<>> fields;
    bool first = true;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = text.find('\n', at);
        const std::string_view line = text.substr(at, end - at);
        const std::size_t space = line.find(' ');
        const std::string_view name = line.substr(0, space);
        const std::string_view value =
            space == std::string_view::npos ? std::string_view{} : line.substr(space + 1);
        if (first) {
            if (name != kFormat)
                malformed("it does not begin with \"refitor-release\"");
            if (value != kVersion)
                throw RuntimeError(ErrorKind::Refused, "the release file is of version \"" +
                                                           std::string(value) +
                                                           "\", which this Refitor does not know");
            first = false;
            at = end + 1;
            continue;
        }
        if (fields.contains("signature"))
            malformed("the signature is not its last line");
        if (name.empty() || value.empty() || value.front() == ' ' || value.back() == ' ')
            malformed("a line is not a name, one space and a value");
        static constexpr std::array<std::string_view, 9> kNames{"product", "size",    "sha256",
                                                                "serial",  "expires", "successor",
                                                                "retire",  "key",     "signature"};
        if (std::find(kNames.begin(), kNames.end(), name) == kNames.end())
            malformed("it has an unknown field \"" + std::string(name.substr(0, 40)) + "\"");
        if (!fields.emplace(std::string(name), std::string(value)).second)
            malformed("it has the field \"" + std::string(name) + "\" twice");
        if (name == "signature")
            release.m_signedLength = at;
        at = end + 1;
    }
    for (const char *required : {"product", "size", "sha256", "serial", "key", "signature"}) {
        if (!fields.contains(required))
            malformed("it has no field \"" + std::string(required) + "\"");
    }

    release.m_product = fields["product"];
    const auto size = decimal(fields["size"], kLargestSize);
    if (!size || *size == 0)
        malformed("its size is not a count of 1 to " + runtime::groupedCount(kLargestSize) +
                  " bytes");
    release.m_size = *size;
    const std::string &hash = fields["sha256"];
    if (hash.size() != 64 || !std::all_of(hash.begin(), hash.end(), isLowerHex))
        malformed("its sha256 is not 64 lower-case hexadecimal digits");
    for (std::size_t i = 0; i < release.m_sha256.size(); ++i)
        release.m_sha256[i] =
            static_cast<std::uint8_t>(std::stoi(hash.substr(i * 2, 2), nullptr, 16));
    const auto serial = decimal(fields["serial"], std::numeric_limits<std::int64_t>::max());
    if (!serial || *serial == 0)
        malformed("its serial is not a whole number of 1 or more");
    release.m_serial = *serial;
    if (const auto it = fields.find("expires"); it != fields.end()) {
        release.m_expires = utcTime(it->second);
        if (!release.m_expires)
            malformed("its expiry is not a UTC time of the form 2027-06-30T00:00:00Z");
    }
    const auto key = pointOf(fields["key"]);
    if (!key)
        malformed("its key is not the base64 of a 65-byte P-256 point");
    release.m_key = *key;
    if (const auto it = fields.find("successor"); it != fields.end()) {
        release.m_successor = pointOf(it->second);
        if (!release.m_successor)
            malformed("its successor is not the base64 of a 65-byte P-256 point");
    }
    if (const auto it = fields.find("retire"); it != fields.end()) {
        const std::string &id = it->second;
        if (id.size() != 16 || !std::all_of(id.begin(), id.end(), isLowerHex))
            malformed("its retire is not a key id of 16 lower-case hexadecimal digits");
        if (id == keyIdOf(release.m_key) ||
            (release.m_successor && id == keyIdOf(*release.m_successor)))
            malformed("it retires a key it trusts");
        release.m_retire = id;
    }
    const auto signature = base64(fields["signature"]);
    if (!signature || signature->size() > 80)
        malformed("its signature is not the base64 of an ECDSA signature");
    release.m_signature = *signature;
    return release;
}

void ReleaseFile::verify(std::span<const runtime::P256PublicKey> trusted, std::string_view product,
                         std::chrono::system_clock::time_point now,
                         const std::optional<ReleaseFile> &installed) const
{
    const bool signedByTrusted = std::find(trusted.begin(), trusted.end(), m_key) != trusted.end();
    if (!signedByTrusted ||
        !runtime::verifyP256Signature(m_key, std::string_view(m_text).substr(0, m_signedLength),
                                      m_signature))
        throw RuntimeError(ErrorKind::Refused,
                           "the release file's signature does not match any trusted key");
    if (m_product != product)
        throw RuntimeError(ErrorKind::Refused, "the release file is for " + m_product + ", not " +
                                                   std::string(product));
    if (m_expires && now >= *m_expires)
        throw RuntimeError(ErrorKind::Refused,
                           "the release file expired on " + textOfTime(*m_expires));
    if (installed && m_serial < installed->m_serial)
        throw RuntimeError(ErrorKind::Refused, "the server offered release " +
                                                   std::to_string(m_serial) +
                                                   ", older than the installed release " +
                                                   std::to_string(installed->m_serial));
}

std::vector<runtime::P256PublicKey> ReleaseFile::keysTrustedAfter() const
{
    std::vector<runtime::P256PublicKey> keys{m_key};
    if (m_successor && *m_successor != m_key)
        keys.push_back(*m_successor);
    return keys;
}
