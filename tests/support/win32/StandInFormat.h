#pragma once

#include <cstddef>

// How a stand-in program finds its instructions: appended to its own file after the PE image,
// where Windows ignores them. The file ends with
//
//   INSTRUCTIONS FOOTER
//   INSTRUCTIONS: the marker's path (UTF-8), "\n", the word, "\n", the ending's digit, "\n"
//   FOOTER:       kTag, " ", the length of INSTRUCTIONS in kLengthDigits decimal digits
//
// and a stand-in without a footer has no instructions. Padding, when asked for, goes between the
// image and the instructions.
namespace standin {

inline constexpr char kTag[] = "refitor-stand-in";
inline constexpr std::size_t kTagBytes = sizeof(kTag) - 1;
inline constexpr std::size_t kLengthDigits = 10;
inline constexpr std::size_t kFooterBytes = kTagBytes + 1 + kLengthDigits;

/// How a stand-in ends, in the order of support::Ending, as the digit written for it.
enum class Ending : char
{
    Exit0 = '0',
    Exit3 = '1',
    KilledAtOnce = '2',
    CrashesAtOnce = '3',
    TakesItsBackupAlong = '4',
    ListsItsHandles = '5',
};

/// The exit code of a stand-in or test child that ends itself as a killed process would: a
/// fail-fast exit, which no handler of the process can intercept.
inline constexpr unsigned long kKilledExitCode = 0xC0000409UL;

} // namespace standin
