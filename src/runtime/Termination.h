#pragma once

#include <functional>
#include <memory>

namespace runtime {

/// While it exists, a request from outside to end the program (on Linux SIGTERM, SIGHUP,
/// SIGINT, SIGQUIT: a logout, a shutdown, Ctrl+C; on Windows the end of the session) calls its
/// handler on the UI thread, so the program can end tidily instead of being cut off.
class TerminationWatcher
{
public:
    /// UI thread. Puts the default handling back. Never throws.
    virtual ~TerminationWatcher() = default;
};

/// UI thread. Starts watching; handler runs on the UI thread for each request. One at a time
/// per program. Throws RuntimeError (Busy) when another watcher exists, Failed when the
/// platform refuses.
std::unique_ptr<TerminationWatcher> watchTermination(std::function<void()> handler);

} // namespace runtime
