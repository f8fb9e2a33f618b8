#pragma once

#include <QString>
#include <chrono>
#include <functional>

namespace platform {

/// The separator of path literals on this platform: "/" on Linux, "\" on Windows.
QString separator();

/// UI thread. The folder of the running executable, without a trailing separator, asked anew at
/// each call. Needs a QCoreApplication. Throws PlatformError when it cannot be determined.
QString applicationFolder();

/// UI thread. Makes applicationFolder() answer folder instead, for hosts that run the window
/// from elsewhere than its install folder (the tests). An empty folder restores the default.
void setApplicationFolder(const QString &folder);

/// The title the message box carries: the program's own title, not the window's caption.
QString applicationTitle();

/// UI thread. Sets the Qt application's identity (name, version, organisation) from the
/// program's version data. Never throws.
void setApplicationIdentity();

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
        Exited,        // ended of its own accord, with any status
        EndedBySignal, // killed or crashed
    };

    StartedProgram(StartedProgram &&other) noexcept;
    StartedProgram &operator=(StartedProgram &&other) = delete;
    StartedProgram(const StartedProgram &) = delete;
    StartedProgram &operator=(const StartedProgram &) = delete;
    /// Any thread. Lets go of the program, which runs on. Never throws.
    ~StartedProgram();

    /// UI thread. Waits until the program ends or within has passed, dispatching events
    /// meanwhile without keeping a processor busy, and tells how it stands then. Never throws.
    State watch(std::chrono::milliseconds within);
    /// Any thread. The signal that ended the program once watch() said EndedBySignal, else 0.
    int endingSignal() const { return m_signal; }

private:
    friend StartedProgram startProgram(const QString &path, WindowState state);
    explicit StartedProgram(int pid);
    bool reap();

    int m_pid = -1;
    int m_pidFd = -1;
    State m_state = State::Running;
    int m_signal = 0;
};

/// UI thread. Starts the program at path without arguments and without a shell (the path is
/// one argument even with blanks in it), in its own folder and a session of its own, with the
/// default handling of every signal and no descriptor of this process but the standard three.
/// The window state is honoured on Windows; X11 and Wayland have no portable way to ask a new
/// program to start minimised, so on Linux it starts normally. Throws PlatformError when the
/// program cannot be started (missing, not executable, not a program, a missing interpreter).
StartedProgram startProgram(const QString &path, WindowState state);

/// Any thread. A signal's name for people ("SIGSEGV"), or "signal N" for one without a name.
/// Never throws beyond std::bad_alloc.
QString signalName(int signalNumber);

/// UI thread, before any other thread starts. Makes a write to a closed connection or past the
/// file size limit the process inherited fail as a write error instead of ending the program
/// (SIGPIPE and SIGXFSZ are ignored; a started program gets their default handling back).
/// Never throws.
void ignoreWriteSignals();

/// UI thread. Ends the program at once with exitCode: no further handler runs and no destructor.
/// Returns only where a host replaced the ending with setEndProgramHandler (the tests).
void endProgram(int exitCode);

/// UI thread. Replaces what endProgram does, for hosts that must survive it (the tests); an
/// empty function restores the real ending.
void setEndProgramHandler(std::function<void(int)> handler);

} // namespace platform
