#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// What the system's tests need of the platform beyond the runtime: programs to stand in for the
// product, file modes, faults to inject, other processes. Each platform's test support provides
// it (linux/PlatformSupport.cpp).
namespace support {

/// How a stand-in program ends once it has written its word.
enum class Ending
{
    Exit0,
    Exit3,
    KilledAtOnce,        // a signal that cannot be caught ends it
    CrashesAtOnce,       // it crashes
    TakesItsBackupAlong, // it puts a folder in place of the updater's backup, then is killed
    ListsItsDescriptors, // it writes what it inherited to MARKER.fds, then exits 0
};

/// The bytes of a program of this platform that, started, appends word and a line end to the
/// file marker, writes its working folder to MARKER.cwd, and ends as ending says; padding
/// bytes of inert content make it longer.
std::string markerProgram(const std::filesystem::path &marker, const std::string &word,
                          Ending ending = Ending::Exit0, std::size_t padding = 0);

/// The words in which the updater names how a stand-in made with ending (KilledAtOnce or
/// CrashesAtOnce) was ended: a signal's name on Linux, a status code on Windows.
std::string howItEnds(Ending ending);

/// The processor time, user and system, this process has used so far, in seconds.
double processorSeconds();

/// The bytes of a file in this platform's program format that cannot be started.
std::string unstartableProgram();

/// What a program made with Ending::ListsItsDescriptors had open beyond the standard three, one
/// description each ("socket:[1234]", "/path/to/file"), read from MARKER.fds: what it inherited,
/// and what its own interpreter opened.
std::vector<std::string> inheritedDescriptors(const std::filesystem::path &marker);

/// Permission bits where the platform has them: sets them, and reads them (unset elsewhere).
void setMode(const std::filesystem::path &path, unsigned mode);
std::optional<unsigned> modeOf(const std::filesystem::path &path);

/// A symbolic link a test made; removed, itself and never what it leads to, when destroyed.
class SymbolicLink
{
public:
    virtual ~SymbolicLink() = default;
};

/// Makes link a symbolic link to target, of the kind the platform's users meet: a Unix link on
/// Linux, and on Windows a Windows one, or under Wine (which makes none) a Unix one, which Wine
/// shows as the file it leads to (and whose deletion there deletes that file). nullptr when it
/// cannot be made.
std::unique_ptr<SymbolicLink> makeSymbolicLink(const std::filesystem::path &target,
                                               const std::filesystem::path &link);

/// Makes a folder read-only in a way that holds for an administrator too; false where this file
/// system cannot.
bool makeFolderReadOnly(const std::filesystem::path &folder, bool readOnly);

/// While set, flushing a folder's entries to disk fails with an I/O error (a failing disk cannot
/// be had here, so the test binary stands in for the system call, for folders only). False where
/// the platform makes names durable with each move and has no folder flush to fail.
bool failFolderSyncs(bool fail);

/// Limits the size of the files this process writes, as a limit inherited from a shell would;
/// false where the platform has no such limit. A limit of 0 lifts it.
bool limitFileSize(std::uint64_t bytes);

/// A file held open by this process so that no other may move or delete it, as a running
/// program or a virus scanner holds a file on Windows; released when destroyed.
class HeldFile
{
public:
    virtual ~HeldFile() = default;
};

/// Holds path open without sharing; nullptr where the platform lets a held file be moved anyway
/// (POSIX renames an open file).
std::unique_ptr<HeldFile> holdWithoutSharing(const std::filesystem::path &path);

/// Ends this process at once, as a kill from outside would: no handler, no destructor, no
/// flush. Does not return.
[[noreturn]] void killThisProcess();

/// The requests from outside to end this process that the platform has, each named and made
/// once when called on the UI thread: on Linux SIGTERM and SIGQUIT, on Windows the end of the
/// session as Windows tells its top-level windows.
std::vector<std::pair<std::string, std::function<void()>>> terminationRequests();

/// While it exists, the user's regional settings write numbers with a decimal comma, as most of
/// continental Europe does. On Windows the setting reaches every program of the user (of the
/// Wine prefix), so tests that use it run alone.
class DecimalComma
{
public:
    virtual ~DecimalComma() = default;
};
std::unique_ptr<DecimalComma> useDecimalComma();

/// The longest folder path, in characters of the platform's own paths, that a program can be
/// started in.
std::size_t longestFolderToStartProgramsIn();

/// An argument of a host tool: a word as it is, or a path of this platform's, which the tool
/// gets as the host sees it.
using HostArgument = std::variant<std::string, std::filesystem::path>;

/// Runs a script of the host (Linux, where Wine runs the Windows tests) with bash, without a
/// shell, and waits until it has ended and made produced, up to 30 s. Returns whether it did:
/// on Linux its exit status must be 0 too; under Wine, which tells nothing of a Linux
/// program's end, produced must appear (the script makes it in one step, by a rename).
bool runHostScript(const std::string &hostScript, const std::vector<HostArgument> &arguments,
                   const std::filesystem::path &produced);

/// A loopback HTTPS server (support/tls-server.py) with a test authority of its own: GET
/// /file/N sends N bytes, GET /redirect?to=URL redirects there. Reached as https://localhost:port.
struct TlsServer
{
    virtual ~TlsServer() = default;
    int port = 0;
    /// The authority's certificate, to be trusted (runtime::testing::trustCertificateAuthority).
    std::filesystem::path authorityFile;
};

/// A running TLS server, or null with why there is none here. On Linux the test starts one of
/// its own, stopped by its process id when the result goes; under Wine it is the one a CTest
/// fixture started and stops (tests/windows.cmake: the test entry names its folder in
/// REFITOR_TLS_SERVER), since a Linux program that Wine starts has no process handle to stop it
/// by.
std::unique_ptr<TlsServer> startTlsServer(std::string &whyNone);

/// Keeps a program that crashes from leaving a memory dump behind.
void disableCrashDumps();

/// A process of its own, for what a test must see end: started without a shell, its standard
/// input and output pipes to the test. Killed and reaped, if still running, when destroyed.
class ChildProcess
{
public:
    /// Starts program with arguments (the program's name first); throws std::runtime_error when
    /// it cannot be started.
    ChildProcess(const std::string &program, std::vector<std::string> arguments);
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    /// One line of its standard output without the line end, "" when none comes in timeoutMs.
    std::string readLine(int timeoutMs = 10000);
    /// Closes its standard input, which tells the test children to go on.
    void closeInput();
    /// Waits up to timeoutMs for it to end. Returns whether it ended; then exitCode() is its
    /// status, or -1 when it was killed.
    bool wait(int timeoutMs = 10000);
    int exitCode() const { return m_exitCode; }
    bool killed() const { return m_killed; }

private:
    int m_pid = -1;
    int m_input = -1;
    int m_output = -1;
    bool m_ended = false;
    int m_exitCode = -1;
    bool m_killed = false;
};

} // namespace support
