#include "Unicode.h"
#include "runtime/SupportLog.h"

#include <windows.h>

namespace runtime::supportlog {

namespace {

/// The folder an environment variable names, when it is set to an absolute path; empty
/// otherwise. The variable rather than SHGetKnownFolderPath, which would bring shell32 into the
/// import table.
std::filesystem::path absoluteFolder(const wchar_t *variable)
{
    std::wstring value(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetEnvironmentVariableW(variable, value.data(), static_cast<DWORD>(value.size()));
        if (length == 0)
            return {};
        // Too small a buffer gives the length the value needs, its terminator included.
        const bool fits = length < value.size();
        value.resize(length);
        if (fits)
            break;
    }
    std::filesystem::path folder(value);
    return folder.is_absolute() ? folder : std::filesystem::path();
}

} // namespace

std::filesystem::path supportLogDefaultPath(std::string_view productName,
                                            std::string_view updaterName) noexcept
{
    try {
        if (productName.empty() || updaterName.empty())
            return {};
        std::filesystem::path local = absoluteFolder(L"LOCALAPPDATA");
        if (local.empty()) {
            const std::filesystem::path profile = absoluteFolder(L"USERPROFILE");
            if (profile.empty())
                return {};
            local = profile / L"AppData" / L"Local";
        }
        return local / win32::utf16FromUtf8(productName) /
               (win32::utf16FromUtf8(updaterName) + L".log");
    } catch (...) {
        return {};
    }
}

} // namespace runtime::supportlog
