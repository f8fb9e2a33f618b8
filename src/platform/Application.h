#pragma once

#include <QString>
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

/// UI thread. Starts the program at path detached, without arguments and without a shell: the
/// path is one argument even with blanks in it. The window state is honoured on Windows; on
/// Linux there is no portable way to ask a new program to start minimised, so it starts normally.
/// The working folder is the program's own folder. Throws PlatformError when it cannot start.
void startProgram(const QString &path, WindowState state);

/// UI thread. Ends the program at once with exitCode: no further handler runs and no destructor.
/// Returns only where a host replaced the ending with setEndProgramHandler (the tests).
void endProgram(int exitCode);

/// UI thread. Replaces what endProgram does, for hosts that must survive it (the tests); an
/// empty function restores the real ending.
void setEndProgramHandler(std::function<void(int)> handler);

} // namespace platform
