#include "Unicode.h"

#include <algorithm>
#include <climits>
#include <windows.h>

namespace runtime::win32 {

namespace {

// The conversion functions count in int; longer text goes in pieces that never split a
// character.
constexpr std::size_t kPiece = INT_MAX / 4;

bool isContinuationByte(char byte)
{
    return (static_cast<unsigned char>(byte) & 0xC0U) == 0x80U;
}

bool isHighSurrogate(wchar_t unit)
{
    return unit >= 0xD800 && unit <= 0xDBFF;
}

} // namespace

std::wstring utf16FromUtf8(std::string_view text)
{
    std::wstring wide;
    while (!text.empty()) {
        std::size_t length = std::min(text.size(), kPiece);
        while (length < text.size() && length > 1 && isContinuationByte(text[length]))
            --length;
        const int count = static_cast<int>(length);
        const int needed = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), count, nullptr, 0);
        const std::size_t at = wide.size();
        wide.resize(at + static_cast<std::size_t>(needed));
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), count, wide.data() + at, needed);
        text.remove_prefix(length);
    }
    return wide;
}

std::string utf8FromUtf16(std::wstring_view text)
{
    std::string narrow;
    while (!text.empty()) {
        std::size_t length = std::min(text.size(), kPiece);
        if (length < text.size() && isHighSurrogate(text[length - 1]))
            --length;
        const int count = static_cast<int>(length);
        const int needed =
            ::WideCharToMultiByte(CP_UTF8, 0, text.data(), count, nullptr, 0, nullptr, nullptr);
        const std::size_t at = narrow.size();
        narrow.resize(at + static_cast<std::size_t>(needed));
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), count, narrow.data() + at, needed, nullptr,
                              nullptr);
        text.remove_prefix(length);
    }
    return narrow;
}

} // namespace runtime::win32
