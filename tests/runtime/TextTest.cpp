#include "runtime/Text.h"

#include "runtime/RuntimeError.h"

#include <gtest/gtest.h>
#include <limits>

using namespace runtime;

TEST(ValueOfText, ReadsTheLeadingNumber)
{
    EXPECT_DOUBLE_EQ(valueOfText("3"), 3.0);
    EXPECT_DOUBLE_EQ(valueOfText("2.5"), 2.5);
    EXPECT_DOUBLE_EQ(valueOfText("  1 2 . 5 seconds"), 12.5);
    EXPECT_DOUBLE_EQ(valueOfText("\xE3\x80\x80"
                                 "4"),
                     4.0)
        << "an ideographic space is a blank";
    EXPECT_DOUBLE_EQ(valueOfText("-4"), -4.0);
    EXPECT_DOUBLE_EQ(valueOfText("+4"), 4.0);
    EXPECT_DOUBLE_EQ(valueOfText(".5"), 0.5);
    EXPECT_DOUBLE_EQ(valueOfText("1.5E2x"), 150.0);
    EXPECT_DOUBLE_EQ(valueOfText("2D1"), 20.0);
    EXPECT_DOUBLE_EQ(valueOfText("7e"), 7.0);
    EXPECT_DOUBLE_EQ(valueOfText("&HFF"), 255.0);
    EXPECT_DOUBLE_EQ(valueOfText("&hff"), 255.0);
    EXPECT_DOUBLE_EQ(valueOfText("&O17"), 15.0);
}

TEST(ValueOfText, CommaIsNotADecimalPointAndNoNumberIsZero)
{
    EXPECT_DOUBLE_EQ(valueOfText("2,5"), 2.0);
    EXPECT_DOUBLE_EQ(valueOfText("abc"), 0.0);
    EXPECT_DOUBLE_EQ(valueOfText(""), 0.0);
    EXPECT_DOUBLE_EQ(valueOfText("-"), 0.0);
    EXPECT_DOUBLE_EQ(valueOfText("."), 0.0);
    EXPECT_EQ(valueOfText("1e999"), std::numeric_limits<double>::infinity());
    EXPECT_EQ(valueOfText("-1e999"), -std::numeric_limits<double>::infinity());
    EXPECT_DOUBLE_EQ(valueOfText("1e-999"), 0.0);
}

TEST(TextOfNumbers, IntegersArePlainDecimal)
{
    EXPECT_EQ(textOfInt(0), "0");
    EXPECT_EQ(textOfInt(50), "50");
    EXPECT_EQ(textOfInt(-12345678), "-12345678");
    EXPECT_EQ(textOfInt(std::numeric_limits<std::int32_t>::min()), "-2147483648");
}

// The runtime's tests run in a locale whose decimal separator is "."; the Qt runtime's own tests
// change it.
TEST(TextOfNumbers, SinglesKeepSevenDigitsWithoutTrailingZeros)
{
    ASSERT_EQ(decimalSeparator(), ".");
    EXPECT_EQ(textOfSingle(50.0F), "50");
    EXPECT_EQ(textOfSingle(100.0F), "100");
    EXPECT_EQ(textOfSingle(12.5F), "12.5");
    EXPECT_EQ(textOfSingle(100.0F / 3.0F), "33.33333");
    EXPECT_EQ(textOfSingle(93.13226F), "93.13226");
    EXPECT_EQ(textOfSingle(0.0F), "0");
    EXPECT_EQ(textOfSingle(-2.5F), "-2.5");
    EXPECT_EQ(textOfSingle(1e7F), "1E+07");
    EXPECT_EQ(textOfSingle(1.5e-5F), "1.5E-05");
    EXPECT_EQ(textOfDouble(1e100), "1E+100");
    EXPECT_EQ(textOfDouble(0.1), "0.1");
    EXPECT_EQ(textOfSingle(std::numeric_limits<float>::infinity()), "Infinity");
}

TEST(TextOfNumbers, ValuesOfAnyKind)
{
    EXPECT_EQ(textOfValue(std::int32_t{3}), "3");
    EXPECT_EQ(textOfValue(std::int64_t{-3}), "-3");
    EXPECT_EQ(textOfValue(2.5), "2.5");
    EXPECT_EQ(textOfValue(2.5F), "2.5");
    EXPECT_EQ(textOfValue(std::string("abc")), "abc");
    EXPECT_EQ(textOfValue(true), "True");
    EXPECT_EQ(textOfValue(false), "False");
    try {
        textOfValue(Value{});
        ADD_FAILURE() << "the empty value has a text form";
    } catch (const RuntimeError &error) {
        EXPECT_EQ(error.kind(), ErrorKind::Refused);
    }
    EXPECT_EQ(groupedCount(12345), "12,345");
    EXPECT_EQ(groupedCount(50000), "50,000");
    EXPECT_EQ(groupedCount(999), "999");
    EXPECT_EQ(groupedCount(1000), "1,000");
    EXPECT_EQ(groupedCount(-1234567), "-1,234,567");
    EXPECT_EQ(groupedCount(std::numeric_limits<std::int64_t>::min()), "-9,223,372,036,854,775,808");
}
