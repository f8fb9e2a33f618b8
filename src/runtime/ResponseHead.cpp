#include "ResponseHead.h"

#include <algorithm>
#include <limits>

namespace runtime {

namespace {

char asciiLower(char c) noexcept
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

/// Calls take(token) for each element of a comma-separated header list, its parameters dropped.
template <typename Take> void forEachToken(std::string_view list, Take take) noexcept
{
    while (!list.empty()) {
        const std::size_t comma = list.find(',');
        std::string_view token = list.substr(0, comma);
        token = trimmed(token.substr(0, token.find(';')));
        if (!token.empty())
            take(token);
        list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
    }
}

} // namespace

bool equalsIgnoringCase(std::string_view a, std::string_view b) noexcept
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return asciiLower(x) == asciiLower(y);
           });
}

std::string_view trimmed(std::string_view text) noexcept
{
    constexpr std::string_view blanks = " \t\r\n";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

void ResponseHead::readHeader(std::string_view field, std::string_view value) noexcept
{
    if (equalsIgnoringCase(field, "Content-Encoding")) {
        forEachToken(value, [this](std::string_view name) {
            if (!equalsIgnoringCase(name, "identity"))
                noteCoding(name);
        });
    } else if (equalsIgnoringCase(field, "Transfer-Encoding")) {
        forEachToken(value, [this](std::string_view name) {
            if (equalsIgnoringCase(name, "chunked"))
                chunked = true;
            else if (!equalsIgnoringCase(name, "identity"))
                noteCoding(name);
        });
    } else if (equalsIgnoringCase(field, "Location")) {
        locationInsecure = equalsIgnoringCase(schemeOf(value), "http");
    } else if (equalsIgnoringCase(field, "Content-Length")) {
        std::int64_t read = 0;
        bool valid = !value.empty();
        for (const char digit : value) {
            if (digit < '0' || digit > '9') {
                valid = false;
                break;
            }
            // A length past the 64-bit range is simply too long.
            read = read > (std::numeric_limits<std::int64_t>::max() - 9) / 10
                       ? std::numeric_limits<std::int64_t>::max()
                       : read * 10 + (digit - '0');
        }
        if (!valid || (lengthKnown && length != read))
            lengthInvalid = true;
        lengthKnown = true;
        length = read;
    }
}

BodyEnd ResponseHead::bodyEnd() const noexcept
{
    if (chunked)
        return lengthKnown ? BodyEnd::LengthAndChunks : BodyEnd::Chunks;
    return lengthKnown && !lengthInvalid ? BodyEnd::Length : BodyEnd::Closing;
}

bool ResponseHead::redirectsToPlainHttp() const noexcept
{
    const bool followed =
        status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
    return followed && locationInsecure;
}

std::string_view schemeOf(std::string_view address) noexcept
{
    address = trimmed(address);
    const std::size_t end = address.find_first_of(":/?#");
    if (end == std::string_view::npos || end == 0 || address[end] != ':')
        return {};
    const std::string_view scheme = address.substr(0, end);
    const bool valid = std::all_of(scheme.begin(), scheme.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '+' || c == '-' || c == '.';
    });
    return valid ? scheme : std::string_view{};
}

void ResponseHead::noteCoding(std::string_view name) noexcept
{
    if (codingLength > 0)
        return;
    // Only printable characters go into the sentence the user reads.
    for (const char c : name.substr(0, coding.size())) {
        if (c > ' ' && c <= '~')
            coding[codingLength++] = c;
    }
    if (codingLength == 0)
        coding[codingLength++] = '?';
}

} // namespace runtime
