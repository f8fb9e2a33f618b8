#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

namespace runtime {

/// The window state asked for when starting a program, as the Windows show-state values.
enum class WindowState
{
    Hidden = 0,
    Normal = 1,
    MinimizedFocus = 2,
    MaximizedFocus = 3
};

/// A program started by startProgram. It runs on its own whatever becomes of this object or of
/// this process; the object only lets the starter see how it fares in its first moments.
class StartedProgram
{
public:
    /// How a started program stands.
    enum class State
    {
        Running,
        Exited,  // ended of its own accord, with any status
        Crashed, // ended by a signal or an unhandled exception
    };

    /// Any thread. Lets go of the program, which runs on. Never throws.
    virtual ~StartedProgram() = default;

    /// UI thread. Waits until the program ends or within has passed, dispatching events
    /// meanwhile without keeping a processor busy, and tells how it stands then. Never throws.
    virtual State watch(std::chrono::milliseconds within) = 0;
    /// Any thread. What ended a Crashed program, for people ("SIGSEGV"); "" otherwise. Never
    /// throws beyond std::bad_alloc.
    virtual std::string crash() const = 0;
};

/// UI thread. Starts the program at path without arguments and without a shell, in its own
/// folder, detached from this process: its own session, the default handling of every signal,
/// no descriptor or handle of this process but the standard ones. The window state is honoured
/// where the platform can ask a new program for one (Windows); X11 and Wayland cannot, so on
/// Linux it starts normally. Throws RuntimeError (NotFound or Failed) when the program cannot
/// be started: missing, not executable, not a program, a missing interpreter.
std::unique_ptr<StartedProgram> startProgram(const std::filesystem::path &path, WindowState state);

/// UI thread, before any other thread starts. Makes a write to a closed connection or past the
/// file size limit the process inherited fail as a write error instead of ending the program,
/// where the platform ends programs for that (SIGPIPE, SIGXFSZ). Never throws.
void ignoreWriteSignals();

} // namespace runtime
