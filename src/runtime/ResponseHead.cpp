#include "ResponseHead.h"

#include "Text.h"

#include <algorithm>
#include <limits>

namespace runtime {

namespace {

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

/// A run of decimal digits as a number, none for anything else; past the 64-bit range reads as
/// its maximum.
std::optional<std::int64_t> decimal(std::string_view text) noexcept
{
    if (text.empty())
        return std::nullopt;
    std::int64_t read = 0;
    for (const char digit : text) {
        if (digit < '0' || digit > '9')
            return std::nullopt;
        read = read > (std::numeric_limits<std::int64_t>::max() - 9) / 10
                   ? std::numeric_limits<std::int64_t>::max()
                   : read * 10 + (digit - '0');
    }
    return read;
}

template <std::size_t N>
void keep(std::array<char, N> &into, std::size_t &length, std::string_view text) noexcept
{
    length = 0;
    if (text.size() > N)
        return;
    for (const char c : text) {
        // Only what can go back into a header line unchanged.
        if (c < ' ' || c > '~') {
            length = 0;
            return;
        }
        into[length++] = c;
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

void ResponseHead::readHeader(std::string_view field, std::string_view value,
                              std::chrono::system_clock::time_point now) noexcept
{
    if (equalsIgnoringCase(field, "ETag")) {
        // A weak tag may not guard a range, so it is no validator.
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            keep(etag, etagLength, value);
        else
            etagLength = 0;
        return;
    }
    if (equalsIgnoringCase(field, "Last-Modified")) {
        if (parseHttpDate(value))
            keep(lastModified, lastModifiedLength, value);
        return;
    }
    if (equalsIgnoringCase(field, "Retry-After")) {
        if (const auto seconds = decimal(value))
            retryAfter = *seconds;
        else if (const auto date = parseHttpDate(value))
            retryAfter = std::max<std::int64_t>(
                0, std::chrono::ceil<std::chrono::seconds>(*date - now).count());
        return;
    }
    if (equalsIgnoringCase(field, "Content-Range")) {
        rangeInvalid = rangeKnown; // two of them cannot both be right
        rangeKnown = true;
        const std::size_t space = value.find(' ');
        const std::size_t dash = value.find('-');
        const std::size_t slash = value.find('/');
        if (space == std::string_view::npos ||
            !equalsIgnoringCase(value.substr(0, space), "bytes") ||
            dash == std::string_view::npos || slash == std::string_view::npos || dash > slash) {
            rangeInvalid = true;
            return;
        }
        const auto first = decimal(trimmed(value.substr(space + 1, dash - space - 1)));
        const auto last = decimal(value.substr(dash + 1, slash - dash - 1));
        const std::string_view complete = value.substr(slash + 1);
        const auto whole = complete == "*" ? std::optional<std::int64_t>(-1) : decimal(complete);
        if (!first || !last || !whole || *last < *first || (*whole >= 0 && *last >= *whole)) {
            rangeInvalid = true;
            return;
        }
        rangeFirst = *first;
        rangeLast = *last;
        rangeComplete = *whole;
        return;
    }
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
        // A length past the 64-bit range is simply too long.
        const std::optional<std::int64_t> read = decimal(value);
        if (!read || (lengthKnown && length != *read))
            lengthInvalid = true;
        lengthKnown = true;
        length = read.value_or(0);
    }
}

std::string_view ResponseHead::validator() const noexcept
{
    if (etagLength > 0)
        return {etag.data(), etagLength};
    return {lastModified.data(), lastModifiedLength};
}

std::optional<std::chrono::system_clock::time_point> parseHttpDate(std::string_view text) noexcept
{
    // IMF-fixdate: "Sun, 06 Nov 1994 08:49:37 GMT", 29 characters.
    text = trimmed(text);
    if (text.size() != 29 || text[3] != ',' || text[4] != ' ' || text[7] != ' ' ||
        text[11] != ' ' || text[16] != ' ' || text[19] != ':' || text[22] != ':' ||
        text.substr(25) != " GMT")
        return std::nullopt;
    constexpr std::string_view months = "JanFebMarAprMayJunJulAugSepOctNovDec";
    const std::size_t month = months.find(text.substr(8, 3));
    const auto day = decimal(text.substr(5, 2));
    const auto year = decimal(text.substr(12, 4));
    const auto hour = decimal(text.substr(17, 2));
    const auto minute = decimal(text.substr(20, 2));
    const auto second = decimal(text.substr(23, 2));
    if (month == std::string_view::npos || month % 3 != 0 || !day || !year || !hour || !minute ||
        !second || *hour > 23 || *minute > 59 || *second > 60)
        return std::nullopt;
    const std::chrono::year_month_day date{std::chrono::year(static_cast<int>(*year)),
                                           std::chrono::month(static_cast<unsigned>(month / 3 + 1)),
                                           std::chrono::day(static_cast<unsigned>(*day))};
    if (!date.ok())
        return std::nullopt;
    return std::chrono::sys_days(date) + std::chrono::hours(*hour) + std::chrono::minutes(*minute) +
           std::chrono::seconds(*second);
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
