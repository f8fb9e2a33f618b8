#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace runtime {

/// What the status line and headers of one HTTP response say about its body, read a header at a
/// time by a transfer as its network library hands them over. Allocates nothing, so that it can
/// be used from callbacks that must not throw.
struct ResponseHead
{
    int status = 0;
    bool framedByProtocol = false; // HTTP/2 and later mark the end of a body themselves
    bool ended = false;            // the blank line after the headers was seen
    bool chunked = false;
    bool lengthKnown = false;
    bool lengthInvalid = false;    // not a number, or two lengths that differ
    std::int64_t length = 0;       // a length past the 64-bit range reads as its maximum
    std::array<char, 32> coding{}; // the first content or transfer coding not asked for
    std::size_t codingLength = 0;

    /// The transfer's thread. Takes one header; only Content-Encoding, Transfer-Encoding and
    /// Content-Length matter, and "identity" is no coding. Never throws.
    void readHeader(std::string_view field, std::string_view value) noexcept;
    /// Any thread. The first coding not asked for, printable characters only ("?" when it had
    /// none), "" when there was none. Never throws.
    std::string_view unrequestedCoding() const noexcept { return {coding.data(), codingLength}; }
    /// Any thread. Whether the length header tells where the body ends. Never throws.
    bool lengthTells() const noexcept { return lengthKnown && !lengthInvalid && !chunked; }

private:
    void noteCoding(std::string_view name) noexcept;
};

/// Any thread. ASCII letters compared without regard to case, as header names and codings are.
/// Never throws.
bool equalsIgnoringCase(std::string_view a, std::string_view b) noexcept;

/// Any thread. text without the blanks (space, tab, CR, LF) around it. Never throws.
std::string_view trimmed(std::string_view text) noexcept;

} // namespace runtime
