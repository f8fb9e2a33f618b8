#include "platform/Conversions.h"

#include "platform/PlatformError.h"

#include <QLocale>
#include <QRect>
#include <gtest/gtest.h>
#include <limits>

using namespace platform;

namespace {

// Locale-dependent conversions read QLocale's default; each test puts back what it changed.
class LocaleGuard
{
public:
    explicit LocaleGuard(const QLocale &locale) { QLocale::setDefault(locale); }
    ~LocaleGuard() { QLocale::setDefault(QLocale::c()); }
};

} // namespace

TEST(ValueOfText, ReadsTheLeadingNumber)
{
    EXPECT_DOUBLE_EQ(valueOfText(QStringLiteral("3")), 3.0);
    EXPECT_DOUBLE_EQ(valueOfText(QStringLiteral("2.5")), 2.5);
    EXPECT_DOUBLE_EQ(valueOfText(QStringLiteral("  1 2 . 5 seconds")), 12.5);
    EXPECT_DOUBLE_EQ(valueOfText(QStringLiteral("-4")), -4.0);
    EXPECT_DOUBLE_EQ(valueOfText(QStringLiteral(".5")), 0.5);
    EXPECT_DOUBLE_EQ(valueOfText(QStringLiteral("1.5E2x")), 150.0);
    EXPECT_DOUBLE_EQ(valueOfText(QStringLiteral("2D1")), 20.0);
    EXPECT_DOUBLE_EQ(valueOfText(QStringLiteral("7e")), 7.0);
    EXPECT_DOUBLE_EQ(valueOfText(QStringLiteral("&HFF")), 255.0);
    EXPECT_DOUBLE_EQ(valueOfText(QStringLiteral("&O17")), 15.0);
}

TEST(ValueOfText, CommaIsNotADecimalPointAndNoNumberIsZero)
{
    EXPECT_DOUBLE_EQ(valueOfText(QStringLiteral("2,5")), 2.0);
    EXPECT_DOUBLE_EQ(valueOfText(QStringLiteral("abc")), 0.0);
    EXPECT_DOUBLE_EQ(valueOfText(QString()), 0.0);
    EXPECT_DOUBLE_EQ(valueOfText(QStringLiteral("-")), 0.0);
    EXPECT_DOUBLE_EQ(valueOfText(QStringLiteral(".")), 0.0);
    EXPECT_EQ(valueOfText(QStringLiteral("1e999")), std::numeric_limits<double>::infinity());
}

TEST(TextOfNumbers, IntegersArePlainDecimal)
{
    EXPECT_EQ(textOfInt(0), QStringLiteral("0"));
    EXPECT_EQ(textOfInt(50), QStringLiteral("50"));
    EXPECT_EQ(textOfInt(-12345678), QStringLiteral("-12345678"));
    EXPECT_EQ(textOfInt(std::numeric_limits<std::int32_t>::min()), QStringLiteral("-2147483648"));
}

TEST(TextOfNumbers, SinglesKeepSevenDigitsWithoutTrailingZeros)
{
    EXPECT_EQ(textOfSingle(50.0F), QStringLiteral("50"));
    EXPECT_EQ(textOfSingle(100.0F), QStringLiteral("100"));
    EXPECT_EQ(textOfSingle(12.5F), QStringLiteral("12.5"));
    EXPECT_EQ(textOfSingle(100.0F / 3.0F), QStringLiteral("33.33333"));
    EXPECT_EQ(textOfSingle(0.0F), QStringLiteral("0"));
    EXPECT_EQ(textOfSingle(1e7F), QStringLiteral("1E+07"));
    EXPECT_EQ(textOfSingle(1.5e-5F), QStringLiteral("1.5E-05"));
}

TEST(TextOfNumbers, DecimalSeparatorFollowsTheLocale)
{
    LocaleGuard german(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(textOfSingle(12.5F), QStringLiteral("12,5"));
    EXPECT_EQ(textOfValue(QVariant(2.5)), QStringLiteral("2,5"));
    // Reading back is locale-independent, so a wait of 2.5 written in German lasts 2 seconds.
    EXPECT_DOUBLE_EQ(valueOfText(textOfValue(QVariant(2.5))), 2.0);
}

TEST(TextOfNumbers, ValuesOfAnyKind)
{
    EXPECT_EQ(textOfValue(QVariant(3)), QStringLiteral("3"));
    EXPECT_EQ(textOfValue(QVariant(2.5)), QStringLiteral("2.5"));
    EXPECT_EQ(textOfValue(QVariant(QStringLiteral("abc"))), QStringLiteral("abc"));
    EXPECT_EQ(textOfValue(QVariant(true)), QStringLiteral("True"));
    EXPECT_THROW(textOfValue(QVariant::fromValue(QRect(1, 2, 3, 4))), PlatformError);
    EXPECT_EQ(groupedCount(12345), QStringLiteral("12,345"));
    EXPECT_EQ(groupedCount(50000), QStringLiteral("50,000"));
    EXPECT_EQ(groupedCount(999), QStringLiteral("999"));
}
