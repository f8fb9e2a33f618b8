#pragma once

#include <functional>
#include <string>

// What every runtime's Application functions keep alike, for the runtimes: the folder a test
// sets, and the handler that stands in for ending the program.
namespace runtime::state {

/// UI thread. The folder setApplicationFolder gave, "" when none. Never throws.
std::string &applicationFolderOverride();

/// UI thread. The handler setEndProgramHandler gave, empty when none. Never throws.
std::function<void(int)> &endProgramHandler();

/// UI thread. Runs the system's handler of a control's or window's event, if any. A failure that
/// escapes it is told on the standard error, prefixed with the program's name, since no caller
/// is left to hear of it. Never throws.
void callHandler(const std::function<void()> &handler, const char *what) noexcept;

} // namespace runtime::state
