#pragma once

#include "runtime/RuntimeError.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// Test support for the system's tests, in standard C++ over the runtime's interface, so that
// the same tests run on every runtime.
namespace support {

/// A new empty folder under the system's temporary folder, removed with everything in it when
/// the object goes.
class TemporaryFolder
{
public:
    TemporaryFolder();
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder &) = delete;
    TemporaryFolder &operator=(const TemporaryFolder &) = delete;

    const std::filesystem::path &path() const { return m_path; }
    /// The path of name in the folder.
    std::filesystem::path file(const std::string &name) const { return m_path / name; }
    /// The folder as UTF-8 text.
    std::string text() const;

private:
    std::filesystem::path m_path;
};

/// The bytes of a file; throws std::runtime_error when it cannot be read.
std::string readFile(const std::filesystem::path &path);
/// Replaces a file's bytes (creating it); throws std::runtime_error when it cannot be written.
void writeFile(const std::filesystem::path &path, const std::string &bytes);
/// Names of the entries of a folder, hidden ones included, sorted.
std::vector<std::string> entriesOf(const std::filesystem::path &folder);

/// UI thread. Dispatches events until predicate holds or timeoutMs pass; returns predicate's
/// last value.
bool waitUntil(const std::function<bool()> &predicate, int timeoutMs = 10000);

/// The kind of RuntimeError that statement throws; none when it returns.
template <typename Statement> std::optional<runtime::ErrorKind> failureOf(Statement statement)
{
    try {
        statement();
    } catch (const runtime::RuntimeError &error) {
        return error.kind();
    }
    return std::nullopt;
}

/// The lines started stand-in programs wrote to marker (support::markerProgram), once they read
/// expected or five seconds have passed, dispatching events meanwhile: a started program creates
/// the file before it writes its line, and a second one may follow. "" while there is no file.
std::string markerWhenItReads(const std::filesystem::path &marker, const std::string &expected);
/// UI thread. Dispatches events for ms milliseconds: for checking that something does not
/// happen, where there is no condition to wait on.
void settle(int ms);

/// Deterministic pseudo-random bytes, so a corrupted or shifted byte is noticed.
std::string randomBytes(std::size_t size, unsigned seed = 1);

} // namespace support
