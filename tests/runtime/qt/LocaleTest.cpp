#include "runtime/Text.h"

#include <QLocale>
#include <gtest/gtest.h>

namespace {

// The Qt runtime reads the decimal separator from QLocale's default; each test puts it back.
class LocaleGuard
{
public:
    explicit LocaleGuard(const QLocale &locale) { QLocale::setDefault(locale); }
    ~LocaleGuard() { QLocale::setDefault(QLocale::c()); }
};

} // namespace

TEST(QtLocale, DecimalSeparatorFollowsTheUsersLocale)
{
    LocaleGuard german(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(runtime::decimalSeparator(), ",");
    EXPECT_EQ(runtime::textOfSingle(12.5F), "12,5");
    EXPECT_EQ(runtime::textOfValue(2.5), "2,5");
    // Reading back is locale-independent, so a wait of 2.5 written in German lasts 2 seconds.
    EXPECT_DOUBLE_EQ(runtime::valueOfText(runtime::textOfValue(2.5)), 2.0);
}
