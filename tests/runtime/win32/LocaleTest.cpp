#include "runtime/Text.h"

#include <gtest/gtest.h>
#include <windows.h>

namespace {

// The user's own decimal symbol, as set in the regional settings; each test puts it back. The
// setting reaches every program of the user (of the Wine prefix), so these tests run alone.
class DecimalSymbolGuard
{
public:
    explicit DecimalSymbolGuard(const wchar_t *symbol)
    {
        ::GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SDECIMAL, m_saved, 8);
        m_set = ::SetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, symbol) != FALSE;
    }
    ~DecimalSymbolGuard() { ::SetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, m_saved); }
    DecimalSymbolGuard(const DecimalSymbolGuard &) = delete;
    DecimalSymbolGuard &operator=(const DecimalSymbolGuard &) = delete;

    bool set() const { return m_set; }

private:
    wchar_t m_saved[8] = {};
    bool m_set = false;
};

} // namespace

TEST(Win32RegionalSettings, DecimalSeparatorFollowsTheUsersSettings)
{
    {
        const DecimalSymbolGuard comma(L",");
        ASSERT_TRUE(comma.set());
        EXPECT_EQ(runtime::decimalSeparator(), ",");
        EXPECT_EQ(runtime::textOfSingle(12.5F), "12,5");
        // Reading back is locale-independent, so a wait of 2.5 written this way lasts 2 seconds.
        EXPECT_DOUBLE_EQ(runtime::valueOfText(runtime::textOfValue(2.5)), 2.0);
    }
    {
        const DecimalSymbolGuard arabic(L"\u066B");
        ASSERT_TRUE(arabic.set());
        EXPECT_EQ(runtime::textOfSingle(0.5F), "0\xD9\xAB"
                                               "5");
    }
    EXPECT_EQ(runtime::decimalSeparator(), ".") << "put back";
}
