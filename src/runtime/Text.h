#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace runtime {

/// A value of any of the types a caller may hand to an operation that takes "any value".
/// Strings are UTF-8.
using Value =
    std::variant<std::monostate, bool, std::int32_t, std::int64_t, float, double, std::string>;

/// Any thread. The number a text begins with: blanks anywhere are ignored, "." is the decimal
/// point whatever the locale, "&H"/"&O" prefixes read hexadecimal/octal, an exponent (E or D)
/// is honoured; 0 when the text does not begin with a number. Never throws.
double valueOfText(const std::string &text);

/// Any thread. Plain decimal text of an integer: a minus sign when negative, no blanks,
/// no group separators. Never throws beyond std::bad_alloc.
std::string textOfInt(std::int32_t value);
std::string textOfInt(std::int64_t value);

/// Any thread. Shortest text with at most 7 significant digits, no trailing zeros, no decimal
/// point for whole values, exponent form (1E+07) where fixed form would need more digits; the
/// decimal separator is the user's (decimalSeparator()). Never throws beyond std::bad_alloc.
std::string textOfSingle(float value);

/// Any thread. The same for double precision with at most 15 significant digits.
std::string textOfDouble(double value);

/// Any thread. The text form of any value: numbers as above, strings as they are, booleans as
/// "True"/"False". Throws RuntimeError (Refused) for a value with no text form (the empty one).
std::string textOfValue(const Value &value);

/// Any thread. An integer count with English group separators ("12,345"), for sentences shown
/// to the user. Never throws beyond std::bad_alloc.
std::string groupedCount(std::int64_t value);

/// Any thread. A count with its unit, grouped as groupedCount does: "1 second", "2,000 bytes".
/// Throws std::bad_alloc only.
std::string countOf(std::int64_t value, std::string_view one, std::string_view many);

/// Any thread. c lower-cased when it is an ASCII capital, else as it is: protocol text and the
/// names made from it are ASCII by rule, where the C library's functions follow the locale.
/// Never throws.
constexpr char asciiLower(char c) noexcept
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

/// Any thread. text with its ASCII capitals lower-cased, every other byte as it is. Throws
/// std::bad_alloc only.
inline std::string asciiLower(std::string_view text)
{
    std::string lower(text);
    for (char &c : lower)
        c = asciiLower(c);
    return lower;
}

/// Any thread. The decimal separator of the user's regional settings, UTF-8 ("." or ","). Each
/// runtime provides it. Never throws beyond std::bad_alloc.
std::string decimalSeparator();

} // namespace runtime
