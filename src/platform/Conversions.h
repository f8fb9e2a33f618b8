#pragma once

#include <QString>
#include <QVariant>
#include <cstdint>

namespace platform {

/// Any thread. The number a text begins with: blanks anywhere are ignored, "." is the decimal
/// point whatever the locale, "&H"/"&O" prefixes read hexadecimal/octal, an exponent (E or D)
/// is honoured; 0 when the text does not begin with a number. Never throws.
double valueOfText(const QString &text);

/// Any thread. Plain decimal text of a 32-bit integer: a minus sign when negative, no blanks,
/// no group separators. Never throws.
QString textOfInt(std::int32_t value);

/// Any thread. Shortest text with at most 7 significant digits, no trailing zeros, no decimal
/// point for whole values, exponent form (1E+07) where fixed form would need more digits;
/// the decimal separator is the current QLocale's. Never throws.
QString textOfSingle(float value);

/// Any thread. The same for double precision with at most 15 significant digits.
QString textOfDouble(double value);

/// Any thread. The text form of any value: integers and floating values as above, strings as
/// they are, booleans as "True"/"False". Throws PlatformError for a value with no text form.
QString textOfValue(const QVariant &value);

/// Any thread. An integer count with English group separators ("12,345"), for sentences
/// shown to the user. Never throws.
QString groupedCount(std::int64_t value);

} // namespace platform
