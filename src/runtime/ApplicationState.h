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

} // namespace runtime::state
