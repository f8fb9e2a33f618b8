#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// The text handling a skin file needs, in standard C++: what counts as UTF-8, as white space and
// as base64 is what the Qt-based reader accepted, so a file means the same to every runtime.
namespace skin {

/// Any thread. Whether text is well-formed UTF-8: shortest forms only, no surrogates, nothing
/// beyond U+10FFFF. Never throws.
bool isUtf8(std::string_view text);

/// Any thread. Whether the first character of the UTF-8 text is white space (tab to carriage
/// return, space, U+0085, U+00A0 and Unicode's space, line and paragraph separators); false for
/// empty text. Never throws.
bool startsWithSpace(std::string_view text);

/// Any thread. The UTF-8 text without the white space (as startsWithSpace has it) at either
/// end; a view into text. Never throws.
std::string_view trimmed(std::string_view text);

/// Any thread. How many UTF-16 code units the UTF-8 text takes, which is how its length limits
/// have always been counted. Never throws.
std::size_t utf16Length(std::string_view utf8);

/// Any thread. The first maxUnits UTF-16 code units' worth of the UTF-8 text, never splitting a
/// character. Never throws.
std::string_view leftUtf16(std::string_view utf8, std::size_t maxUnits);

/// Any thread. The bytes the base64 text stands for; nullopt for a character outside the base64
/// alphabet or padding ('=') other than one or two at the end of text whose length is a multiple
/// of 4. Unpadded text of any length decodes, leftover bits ignored. Throws only std::bad_alloc.
std::optional<std::string> decodeBase64(std::string_view text);

} // namespace skin
