#include "SystemError.h"

#include "Unicode.h"

namespace runtime::win32 {

std::string systemErrorText(DWORD error, HMODULE module)
{
    DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                  FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK;
    if (module != nullptr)
        flags |= FORMAT_MESSAGE_FROM_HMODULE;
    wchar_t *buffer = nullptr;
    // The language of the user's Windows: these sentences are shown to the user.
    const DWORD length =
        ::FormatMessageW(flags, module, error, 0, reinterpret_cast<wchar_t *>(&buffer), 0, nullptr);
    std::wstring text(buffer != nullptr ? buffer : L"", length);
    if (buffer != nullptr)
        ::LocalFree(buffer);
    // Some sentences name their subject "%1", meant to be filled in; the caller has named it.
    for (std::size_t at = 0; (at = text.find(L"%1", at)) != std::wstring::npos;)
        text.replace(at, 2, L"it");
    while (!text.empty() && (text.back() == L' ' || text.back() == L'\r' || text.back() == L'\n' ||
                             text.back() == L'.'))
        text.pop_back();
    if (text.empty())
        return "error " + std::to_string(error);
    return utf8FromUtf16(text);
}

std::string lastErrorText()
{
    return systemErrorText(::GetLastError());
}

} // namespace runtime::win32
