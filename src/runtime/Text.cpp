#include "Text.h"

#include "RuntimeError.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>
#include <system_error>

namespace runtime {

namespace {

constexpr std::string_view kIdeographicSpace = "\xE3\x80\x80";

std::string withoutBlanks(std::string_view text)
{
    std::string compact;
    compact.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r')
            continue;
        if (text.substr(i, kIdeographicSpace.size()) == kIdeographicSpace) {
            i += kIdeographicSpace.size() - 1;
            continue;
        }
        compact.push_back(c);
    }
    return compact;
}

int digitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return 99;
}

// Reads digits of a radix ("&H1F", "&O17") after the prefix; anything beyond the radix ends it.
double radixValue(std::string_view digits, int radix)
{
    double value = 0.0;
    for (const char c : digits) {
        const int digit = digitValue(c);
        if (digit >= radix)
            break;
        value = value * radix + digit;
    }
    return value;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

std::string shortestText(double value, int significantDigits)
{
    if (std::isnan(value))
        return "NaN";
    if (std::isinf(value))
        return value > 0 ? "Infinity" : "-Infinity";
    if (value == 0.0)
        return "0";
    // The general format drops trailing zeros and turns to exponent form once fixed form needs
    // more digits; to_chars, unlike printf, ignores the C library's locale.
    char buffer[64];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, value,
                                       std::chars_format::general, significantDigits);
    std::string text(buffer, written.ptr);
    // Exponents read E+07, not e+07 or E+007.
    const std::size_t e = text.find('e');
    if (e != std::string::npos) {
        std::string exponent = text.substr(e + 2);
        while (exponent.size() > 2 && exponent.front() == '0')
            exponent.erase(0, 1);
        text = text.substr(0, e) + 'E' + text[e + 1] + exponent;
    }
    const std::string point = decimalSeparator();
    if (point != ".") {
        const std::size_t dot = text.find('.');
        if (dot != std::string::npos)
            text.replace(dot, 1, point);
    }
    return text;
}

} // namespace

double valueOfText(const std::string &text)
{
    const std::string compact = withoutBlanks(text);
    if (compact.size() > 1 && compact[0] == '&') {
        const char prefix = compact[1];
        if (prefix == 'H' || prefix == 'h')
            return radixValue(std::string_view(compact).substr(2), 16);
        if (prefix == 'O' || prefix == 'o')
            return radixValue(std::string_view(compact).substr(2), 8);
        return radixValue(std::string_view(compact).substr(1), 8);
    }

    // The longest prefix of the form [sign] digits [. digits] [(E|D) [sign] digits].
    std::size_t i = 0;
    const std::size_t n = compact.size();
    bool negative = false;
    if (i < n && (compact[i] == '+' || compact[i] == '-'))
        negative = compact[i++] == '-';
    std::string number;
    bool anyDigit = false;
    while (i < n && isDigit(compact[i])) {
        number.push_back(compact[i++]);
        anyDigit = true;
    }
    if (i < n && compact[i] == '.') {
        number.push_back(compact[i++]);
        while (i < n && isDigit(compact[i])) {
            number.push_back(compact[i++]);
            anyDigit = true;
        }
    }
    if (!anyDigit)
        return 0.0;
    bool tinyExponent = false;
    if (i < n &&
        (compact[i] == 'E' || compact[i] == 'e' || compact[i] == 'D' || compact[i] == 'd')) {
        std::size_t j = i + 1;
        std::string exponent = "e";
        if (j < n && (compact[j] == '+' || compact[j] == '-'))
            exponent.push_back(compact[j++]);
        bool exponentDigit = false;
        while (j < n && isDigit(compact[j])) {
            exponent.push_back(compact[j++]);
            exponentDigit = true;
        }
        if (exponentDigit) {
            number += exponent;
            tinyExponent = exponent.size() > 1 && exponent[1] == '-';
        }
    }
    double value = 0.0;
    const auto parsed = std::from_chars(number.data(), number.data() + number.size(), value);
    if (parsed.ec == std::errc::result_out_of_range)
        value = tinyExponent ? 0.0 : std::numeric_limits<double>::infinity();
    return negative ? -value : value;
}

std::string textOfInt(std::int32_t value)
{
    return std::to_string(value);
}

std::string textOfInt(std::int64_t value)
{
    return std::to_string(value);
}

std::string textOfSingle(float value)
{
    return shortestText(static_cast<double>(value), 7);
}

std::string textOfDouble(double value)
{
    return shortestText(value, 15);
}

std::string textOfValue(const Value &value)
{
    struct Visitor
    {
        std::string operator()(std::monostate) const
        {
            throw RuntimeError(ErrorKind::Refused, "the value has no text form");
        }
        std::string operator()(bool b) const { return b ? "True" : "False"; }
        std::string operator()(std::int32_t i) const { return std::to_string(i); }
        std::string operator()(std::int64_t i) const { return std::to_string(i); }
        std::string operator()(float f) const { return textOfSingle(f); }
        std::string operator()(double d) const { return textOfDouble(d); }
        std::string operator()(const std::string &s) const { return s; }
    };
    return std::visit(Visitor{}, value);
}

std::string groupedCount(std::int64_t value)
{
    const bool negative = value < 0;
    // The magnitude as unsigned, so the smallest 64-bit value has one too.
    std::uint64_t magnitude =
        negative ? static_cast<std::uint64_t>(-(value + 1)) + 1 : static_cast<std::uint64_t>(value);
    std::string digits = std::to_string(magnitude);
    std::string grouped;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            grouped.push_back(',');
        grouped.push_back(digits[i]);
    }
    return negative ? "-" + grouped : grouped;
}

std::string countOf(std::int64_t value, std::string_view one, std::string_view many)
{
    return groupedCount(value) + ' ' + std::string(value == 1 ? one : many);
}

} // namespace runtime
