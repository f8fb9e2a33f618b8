#include "Encoding.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace skin {

namespace {

struct CodePoint
{
    char32_t value = 0;
    std::size_t length = 0; // 0: no well-formed character starts here
};

bool isContinuation(unsigned char byte)
{
    return (byte & 0xc0U) == 0x80U;
}

// The well-formed sequences of Unicode's table 3-7: the second byte's range depends on the
// first, which is what shuts out overlong forms, surrogates and code points past U+10FFFF.
CodePoint decodeAt(std::string_view text, std::size_t at)
{
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80U)
        return {lead, 1};
    std::size_t length = 0;
    unsigned char low = 0x80U;
    unsigned char high = 0xbfU;
    char32_t value = 0;
    if (lead >= 0xc2U && lead <= 0xdfU) {
        length = 2;
        value = lead & 0x1fU;
    } else if (lead >= 0xe0U && lead <= 0xefU) {
        length = 3;
        value = lead & 0x0fU;
        if (lead == 0xe0U)
            low = 0xa0U;
        else if (lead == 0xedU)
            high = 0x9fU;
    } else if (lead >= 0xf0U && lead <= 0xf4U) {
        length = 4;
        value = lead & 0x07U;
        if (lead == 0xf0U)
            low = 0x90U;
        else if (lead == 0xf4U)
            high = 0x8fU;
    } else {
        return {};
    }
    if (text.size() - at < length)
        return {};
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if (i == 1 ? (next < low || next > high) : !isContinuation(next))
            return {};
        value = (value << 6) | (next & 0x3fU);
    }
    return {value, length};
}

// QChar::isSpace: the C0 spaces, NEL, no-break space and the Zs, Zl and Zp categories.
bool isSpace(char32_t c)
{
    return c == 0x20 || (c >= 0x09 && c <= 0x0d) || c == 0x85 || c == 0xa0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200a) || c == 0x2028 || c == 0x2029 || c == 0x202f ||
           c == 0x205f || c == 0x3000;
}

// Where the character ending text starts, or text.size() - 1 when the end is not well-formed.
std::size_t lastCharacterAt(std::string_view text)
{
    std::size_t at = text.size() - 1;
    for (int back = 0; back < 3 && at > 0 && isContinuation(static_cast<unsigned char>(text[at]));
         ++back)
        --at;
    const CodePoint last = decodeAt(text, at);
    return last.length != 0 && at + last.length == text.size() ? at : text.size() - 1;
}

// Each byte's value as a base64 digit, or -1: a table, since image data is most of a skin file.
constexpr std::array<std::int8_t, 256> kBase64Digits = [] {
    std::array<std::int8_t, 256> digits{};
    digits.fill(-1);
    constexpr std::string_view kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (std::size_t i = 0; i < kAlphabet.size(); ++i)
        digits[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
    return digits;
}();

} // namespace

bool isUtf8(std::string_view text)
{
    for (std::size_t at = 0; at < text.size();) {
        // Skin files are mostly ASCII, base64 above all: eight such bytes are passed at a time.
        std::uint64_t word = 0;
        if (text.size() - at >= sizeof word) {
            std::memcpy(&word, text.data() + at, sizeof word);
            if ((word & 0x8080808080808080U) == 0) {
                at += sizeof word;
                continue;
            }
        }
        const CodePoint next = decodeAt(text, at);
        if (next.length == 0)
            return false;
        at += next.length;
    }
    return true;
}

bool startsWithSpace(std::string_view text)
{
    if (text.empty())
        return false;
    const CodePoint first = decodeAt(text, 0);
    return first.length != 0 && isSpace(first.value);
}

std::string_view trimmed(std::string_view text)
{
    while (startsWithSpace(text))
        text.remove_prefix(decodeAt(text, 0).length);
    while (!text.empty()) {
        const std::size_t at = lastCharacterAt(text);
        const CodePoint last = decodeAt(text, at);
        if (last.length == 0 || !isSpace(last.value))
            break;
        text.remove_suffix(text.size() - at);
    }
    return text;
}

std::size_t utf16Length(std::string_view utf8)
{
    std::size_t units = 0;
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        if (!isContinuation(byte))
            units += byte >= 0xf0U ? 2 : 1;
    }
    return units;
}

std::string_view leftUtf16(std::string_view utf8, std::size_t maxUnits)
{
    std::size_t units = 0;
    std::size_t at = 0;
    while (at < utf8.size()) {
        const CodePoint next = decodeAt(utf8, at);
        const std::size_t length = next.length == 0 ? 1 : next.length;
        const std::size_t width = next.value >= 0x10000 ? 2 : 1;
        if (units + width > maxUnits)
            break;
        units += width;
        at += length;
    }
    return utf8.substr(0, at);
}

std::optional<std::string> decodeBase64(std::string_view text)
{
    std::string bytes;
    bytes.reserve(text.size() / 4 * 3 + 2);
    unsigned int buffer = 0;
    int bits = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const int digit = kBase64Digits[static_cast<unsigned char>(text[i])];
        if (digit < 0) {
            // Padding only ends text that fills whole groups of four: "xx==" or "xxx=".
            const bool padding =
                text[i] == '=' && text.size() % 4 == 0 &&
                (i == text.size() - 1 || (i == text.size() - 2 && text[i + 1] == '='));
            if (!padding)
                return std::nullopt;
            break;
        }
        buffer = (buffer << 6) | static_cast<unsigned int>(digit);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes.push_back(static_cast<char>((buffer >> bits) & 0xffU));
            buffer &= (1U << bits) - 1U;
        }
    }
    return bytes;
}

} // namespace skin
