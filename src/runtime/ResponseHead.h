#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace runtime {

/// What tells where an HTTP/1.x body ends, as the response's headers say. Both runtimes speak
/// HTTP/1.x only, so nothing else can: a status line's version is text the server chose.
enum class BodyEnd
{
    Length,          // one valid Content-Length, no chunks
    Chunks,          // chunked, no Content-Length
    LengthAndChunks, // both: a network library takes one or the other, nobody can say which
    Closing          // neither, or lengths that disagree: a cut looks just like the end
};

/// What the status line and headers of one HTTP response say about its body, read a header at a
/// time by a transfer as its network library hands them over. Allocates nothing, so that it can
/// be used from callbacks that must not throw.
struct ResponseHead
{
    int status = 0;
    bool ended = false; // the blank line after the headers was seen
    bool chunked = false;
    bool lengthKnown = false;
    bool lengthInvalid = false;    // not a number, or two lengths that differ
    std::int64_t length = 0;       // a length past the 64-bit range reads as its maximum
    bool locationInsecure = false; // Location names a plain http address
    std::array<char, 32> coding{}; // the first content or transfer coding not asked for
    std::size_t codingLength = 0;
    // What names this version of the file, for a later If-Range: a strong ETag as sent (quotes
    // included), and the Last-Modified date. Empty when absent, weak, or too long to keep.
    std::array<char, 192> etag{};
    std::size_t etagLength = 0;
    std::array<char, 64> lastModified{};
    std::size_t lastModifiedLength = 0;
    // Content-Range "bytes first-last/complete"; complete is -1 for "*".
    bool rangeKnown = false;
    bool rangeInvalid = false;
    std::int64_t rangeFirst = 0;
    std::int64_t rangeLast = 0;
    std::int64_t rangeComplete = -1;
    // Retry-After in seconds from now (a date already past reads as 0); -1 when absent or
    // unreadable.
    std::int64_t retryAfter = -1;

    /// The transfer's thread. Takes one header; only Content-Encoding, Transfer-Encoding,
    /// Content-Length, Location, ETag, Last-Modified, Content-Range and Retry-After matter, and
    /// "identity" is no coding. now is what a Retry-After date counts from. Never throws.
    void readHeader(
        std::string_view field, std::string_view value,
        std::chrono::system_clock::time_point now = std::chrono::system_clock::now()) noexcept;
    /// Any thread. The first coding not asked for, printable characters only ("?" when it had
    /// none), "" when there was none. Never throws.
    std::string_view unrequestedCoding() const noexcept { return {coding.data(), codingLength}; }
    /// Any thread. The validator an If-Range can carry: the strong ETag, else the Last-Modified
    /// date, else "". Never throws.
    std::string_view validator() const noexcept;
    /// Any thread. Whether the length header tells where the body ends. Never throws.
    bool lengthTells() const noexcept { return lengthKnown && !lengthInvalid && !chunked; }
    /// Any thread. What tells where the body ends. Never throws.
    BodyEnd bodyEnd() const noexcept;
    /// Any thread. Whether this is a redirect a network library follows (301, 302, 303, 307,
    /// 308) to a plain http address. Never throws.
    bool redirectsToPlainHttp() const noexcept;

private:
    void noteCoding(std::string_view name) noexcept;
};

/// Any thread. An HTTP date ("Sun, 06 Nov 1994 08:49:37 GMT"; the two older forms are not
/// taken) as a time; none when it is not one. Never throws.
std::optional<std::chrono::system_clock::time_point> parseHttpDate(std::string_view text) noexcept;

/// Any thread. The scheme of a URL or a redirect's target as written ("HTTP" in
/// "HTTP://host/"), "" for a relative one, which keeps the scheme it is resolved against.
/// Never throws.
std::string_view schemeOf(std::string_view address) noexcept;

/// Any thread. ASCII letters compared without regard to case, as header names and codings are.
/// Never throws.
bool equalsIgnoringCase(std::string_view a, std::string_view b) noexcept;

/// Any thread. text without the blanks (space, tab, CR, LF) around it. Never throws.
std::string_view trimmed(std::string_view text) noexcept;

} // namespace runtime
