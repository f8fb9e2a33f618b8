#pragma once

#include <functional>
#include <string>

namespace runtime {

/// Any thread. The separator of path literals on this platform: "/" on Linux, "\" on Windows.
/// Never throws beyond std::bad_alloc.
std::string separator();

/// UI thread. The folder of the running executable, UTF-8, without a trailing separator, asked
/// anew at each call. Throws RuntimeError (Unavailable) before the runtime has started or when
/// it cannot be determined.
std::string applicationFolder();

/// UI thread. Makes applicationFolder() answer folder instead, for hosts that run the window
/// from elsewhere than its install folder (the tests). An empty folder restores the default.
/// Never throws beyond std::bad_alloc.
void setApplicationFolder(const std::string &folder);

/// UI thread. The program's own title, which message boxes carry ("" until set). Never throws
/// beyond std::bad_alloc.
std::string applicationTitle();
void setApplicationTitle(const std::string &title);

/// UI thread. The program's own short name, which the lines it writes to the standard error
/// start with ("" until set). Never throws beyond std::bad_alloc.
std::string applicationName();
void setApplicationName(const std::string &name);

/// UI thread. Ends the program at once with exitCode: no further handler runs and no
/// destructor. Returns only where a host replaced the ending with setEndProgramHandler (the
/// tests).
void endProgram(int exitCode);

/// UI thread. Replaces what endProgram does, for hosts that must survive it (the tests); an
/// empty function restores the real ending. Never throws beyond std::bad_alloc.
void setEndProgramHandler(std::function<void(int)> handler);

} // namespace runtime
