#pragma once

#include <optional>
#include <windows.h>

// How the runtime's message loops (the main loop, doEvents, waitForEvents, a program's watch)
// hand on what they take from the queue, so that all of them treat a message alike.
namespace runtime::win32 {

/// UI thread. Gives message to the message filter; unless the filter handled it, translates
/// and dispatches it. Never throws.
void dispatchMessage(MSG &message);

/// UI thread. The exit code of a WM_QUIT that a nested loop took from the queue, once: the
/// main loop then ends with it. Never throws.
std::optional<int> takeQuitRequest();

} // namespace runtime::win32
