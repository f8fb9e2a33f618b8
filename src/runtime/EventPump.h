#pragma once

namespace runtime {

/// UI thread. Dispatches the events that are pending now, once, and returns. Never throws.
void doEvents();

/// UI thread. Dispatches pending events; when there are none, sleeps until one arrives or
/// timeoutMs have passed (0 or less: does not sleep). Costs no processor time while idle.
/// Never throws.
void waitForEvents(int timeoutMs);

} // namespace runtime
