#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

// A small log for the support desk, written by every run of the updater, so that a user who
// calls can send the file. It never sways the run: nothing here throws, and a log that
// cannot be created, written or trimmed is simply not written.
//
// The file holds runs, oldest first. Each run starts with a marker line that carries the
// caller's first line, and ends with an end line:
//
//   2026-12-08T15:04:05.123Z ==== run <first line>
//   2026-12-08T15:04:05.200Z <detail line>
//   2026-12-08T15:04:09.871Z ==== end <last line>
//
// Times are UTC with milliseconds. The file stays within kLimit bytes: the oldest runs are
// dropped whole from its front, through a temporary file renamed over it, so the file always
// starts at a marker line and a crash never leaves half a file. A run that alone would pass the
// limit leaves its further detail lines out, says so once, and still gets its end line.
//
// The runtime knows nothing of the product, so the caller names the file: its folder and name
// come from the caller's product and updater names (supportLogDefaultPath).
namespace runtime::supportlog {

/// The most bytes the file holds.
inline constexpr std::size_t kLimit = 65536;

/// Any thread. The platform's place for the log of productName's updaterName. Linux:
/// $XDG_STATE_HOME/<product>/<updater>.log in lower case, or under $HOME/.local/state when
/// XDG_STATE_HOME is unset, empty or not absolute. Windows: %LOCALAPPDATA%\<Product>\<Updater>.log
/// as the names are given, or under %USERPROFILE%\AppData\Local. Empty when no such folder is
/// known (the caller then logs nothing). Never throws.
std::filesystem::path supportLogDefaultPath(std::string_view productName,
                                            std::string_view updaterName) noexcept;

/// Any thread, once at the start of a run. Starts a run in logFile (or in the file
/// setLogFileForTesting gave): creates its folders, drops the oldest runs whole until the new
/// run fits, and writes the marker line with firstLine (may be empty). An empty logFile, or one
/// the marker cannot be written to, logs nothing until the next beginRun. Never throws.
void beginRun(const std::filesystem::path &logFile, std::string_view firstLine) noexcept;

/// Any thread. One detail line of the current run; newlines and other control characters in
/// text become spaces, and text is cut at 1 KiB (as are the first and the end line). Left out
/// outside a run, and once the run has filled its share of the file. Never throws.
void line(std::string_view text) noexcept;

/// Any thread, once at the end of a run. The run's end line (e.g. its exit code and why), which
/// room is always kept for; text may be empty. Nothing is logged after it until the next
/// beginRun. Never throws.
void endRun(std::string_view text) noexcept;

/// Any thread. url without the user name and password of its authority ("https://u:p@host/x"
/// gives "https://host/x"); everything else, query included, is kept as it is. Empty only for
/// an empty url or when memory runs out. Never throws.
std::string withoutCredentials(std::string_view url) noexcept;

/// For tests only. Any thread. Makes the following beginRun calls log to file instead of the
/// path they are given; an empty path restores the given one. Never throws.
void setLogFileForTesting(std::filesystem::path file) noexcept;

} // namespace runtime::supportlog
