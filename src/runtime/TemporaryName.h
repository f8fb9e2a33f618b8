#pragma once

#include <cstddef>
#include <string_view>

// How every runtime names the temporary file of a transfer, ".refitor-XXXXXX.part" beside its
// destination, so that isTemporaryFileName (AsyncRead.h) knows the leftovers of a killed run
// whichever runtime made them. For the runtimes; the system asks isTemporaryFileName.
namespace runtime::temporary {

inline constexpr std::string_view kPrefix = ".refitor-";
inline constexpr std::string_view kSuffix = ".part";
inline constexpr std::size_t kRandomLength = 6;
/// What the random part is made of: the letters and digits mkstemp fills in, all of which
/// Windows' names take.
inline constexpr std::string_view kAlphabet =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";

} // namespace runtime::temporary
