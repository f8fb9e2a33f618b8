#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// What every runtime tells of a downloaded file before it is made a program: the checks and
// sentences that do not depend on the platform's own program format. Each runtime's
// prepareExecutable reads the head and judges its own format (ELF, PE) itself.
namespace runtime::programcheck {

/// How much of a file's start tells a program from a web page.
inline constexpr std::size_t kSniffBytes = 1024;

/// Any thread. The reason given for an empty file. Throws only std::bad_alloc.
std::string emptyFile();

/// Any thread. The reason given for a program that ends before what its headers describe (both
/// in bytes). Throws only std::bad_alloc.
std::string incompleteProgram(std::uint64_t described, std::uint64_t size);

/// Any thread. Why a file starting with head is no program here, for a head that is not of this
/// platform's own format: another platform's program, a web page, or anything else. Throws only
/// std::bad_alloc.
std::string foreignFile(std::string_view head);

} // namespace runtime::programcheck
