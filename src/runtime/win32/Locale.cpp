#include "Unicode.h"
#include "runtime/Text.h"

#include <windows.h>

namespace runtime {

std::string decimalSeparator()
{
    // LOCALE_SDECIMAL is at most four characters with its terminator; the user may have
    // changed it in the regional settings, which this call honours.
    wchar_t separator[8] = {};
    const int length = ::GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SDECIMAL, separator,
                                         static_cast<int>(std::size(separator)));
    if (length <= 1)
        return ".";
    return win32::utf8FromUtf16(std::wstring_view(separator, static_cast<std::size_t>(length - 1)));
}

} // namespace runtime
