#pragma once

#include <filesystem>

// Temporary files that nobody outside the transfer facility has taken yet, process-wide, removed
// should the program end through exit() first: Qt ends a program that way when its display
// connection breaks, and then no reader is destroyed. For the runtimes' temporary files.
namespace runtime::temporary {

/// Any thread. path is removed at exit unless forgotten first. Throws std::bad_alloc only.
void removeAtExit(const std::filesystem::path &path);

/// Any thread. path is no longer removed at exit. Never throws.
void forgetAtExit(const std::filesystem::path &path) noexcept;

} // namespace runtime::temporary
