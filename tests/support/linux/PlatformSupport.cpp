#include "support/PlatformSupport.h"

#include "support/SystemSupport.h"

#include <QLocale>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <linux/fs.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>

namespace {

std::atomic<bool> g_failFolderSyncs{false};

std::string shellQuoted(const std::filesystem::path &path)
{
    return "'" + path.string() + "'";
}

} // namespace

// The test binaries define fsync, so that every call of it in them, the runtime's included,
// comes here: a folder's fsync can then fail on purpose, everything else goes to the kernel.
extern "C" int fsync(int fd)
{
    struct stat info
    {};
    if (g_failFolderSyncs && ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        errno = EIO;
        return -1;
    }
    return static_cast<int>(::syscall(SYS_fsync, fd));
}

namespace support {

std::string markerProgram(const std::filesystem::path &marker, const std::string &word,
                          Ending ending, std::size_t padding)
{
    std::string script = "#!/bin/sh\necho " + word + " \"$@\" >>" + shellQuoted(marker) +
                         "\npwd -P >" + shellQuoted(marker.string() + ".cwd") + "\n";
    switch (ending) {
    case Ending::Exit0:
        script += "exit 0\n";
        break;
    case Ending::Exit3:
        script += "exit 3\n";
        break;
    case Ending::KilledAtOnce:
        script += "kill -KILL $$\n";
        break;
    case Ending::CrashesAtOnce:
        script += "kill -SEGV $$\n";
        break;
    case Ending::TakesItsBackupAlong:
        script +=
            "rm Korvane.exe.refitor-backup\nmkdir Korvane.exe.refitor-backup\nkill -KILL $$\n";
        break;
    case Ending::ListsItsDescriptors:
        script += "ls -l /proc/$$/fd >" + shellQuoted(marker.string() + ".fds") + "\nexit 0\n";
        break;
    }
    if (padding > 0)
        script += std::string(padding, '#') + "\n";
    return script;
}

std::string unstartableProgram()
{
    return "#!/nonexistent/sh\n";
}

std::vector<std::string> inheritedDescriptors(const std::filesystem::path &marker)
{
    // Lines of ls -l: "lrwx------ 1 root root 64 Dec  7 15:00 3 -> socket:[1234]". Beyond what was
    // inherited they show the script the shell reads and the folder ls lists.
    std::vector<std::string> found;
    std::string listing = readFile(marker.string() + ".fds");
    std::size_t start = 0;
    while (start < listing.size()) {
        const std::size_t end = listing.find('\n', start);
        const std::string line = listing.substr(start, end - start);
        start = end == std::string::npos ? listing.size() : end + 1;
        const std::size_t arrow = line.find(" -> ");
        if (arrow == std::string::npos)
            continue;
        const std::size_t number = line.rfind(' ', arrow - 1);
        const int fd = std::stoi(line.substr(number + 1, arrow - number - 1));
        const std::string target = line.substr(arrow + 4);
        if (fd > 2)
            found.push_back(target);
    }
    return found;
}

void setMode(const std::filesystem::path &path, unsigned mode)
{
    if (::chmod(path.c_str(), static_cast<mode_t>(mode)) != 0)
        throw std::runtime_error("cannot chmod " + path.string());
}

std::optional<unsigned> modeOf(const std::filesystem::path &path)
{
    struct stat info
    {};
    if (::lstat(path.c_str(), &info) != 0)
        return std::nullopt;
    return info.st_mode & 07777;
}

bool makeFolderReadOnly(const std::filesystem::path &folder, bool readOnly)
{
    // Root ignores permission bits; the immutable attribute holds for root too.
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = readOnly ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    ok = ok && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    ::close(fd);
    return ok;
}

bool failFolderSyncs(bool fail)
{
    g_failFolderSyncs = fail;
    return true;
}

bool limitFileSize(std::uint64_t bytes)
{
    // Past the limit a write fails instead of ending the process, as the updater arranges.
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    if (::getrlimit(RLIMIT_FSIZE, &limit) != 0)
        return false;
    limit.rlim_cur = bytes == 0 ? limit.rlim_max : static_cast<rlim_t>(bytes);
    return ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

std::unique_ptr<HeldFile> holdWithoutSharing(const std::filesystem::path &)
{
    return nullptr;
}

void killThisProcess()
{
    ::raise(SIGKILL);
    ::_exit(137);
}

std::vector<std::pair<std::string, std::function<void()>>> terminationRequests()
{
    return {{"SIGTERM", [] { ::raise(SIGTERM); }}, {"SIGQUIT", [] { ::raise(SIGQUIT); }}};
}

std::string howItEnds(Ending ending)
{
    return ending == Ending::KilledAtOnce ? "SIGKILL" : "SIGSEGV";
}

double processorSeconds()
{
    timespec used{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used);
    return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
}

void disableCrashDumps()
{
    const rlimit none{0, 0};
    ::setrlimit(RLIMIT_CORE, &none);
}

namespace {

class UnixLink final : public SymbolicLink
{
public:
    explicit UnixLink(std::filesystem::path link) : m_link(std::move(link)) {}
    ~UnixLink() override { ::unlink(m_link.c_str()); }

private:
    const std::filesystem::path m_link;
};

} // namespace

std::unique_ptr<SymbolicLink> makeSymbolicLink(const std::filesystem::path &target,
                                               const std::filesystem::path &link)
{
    if (::symlink(target.c_str(), link.c_str()) != 0)
        return nullptr;
    return std::make_unique<UnixLink>(link);
}

bool runHostScript(const std::string &hostScript, const std::vector<HostArgument> &arguments,
                   const std::filesystem::path &produced)
{
    std::vector<std::string> words{"bash", hostScript};
    for (const HostArgument &argument : arguments)
        words.push_back(std::holds_alternative<std::string>(argument)
                            ? std::get<std::string>(argument)
                            : std::get<std::filesystem::path>(argument).string());
    ChildProcess script("/bin/bash", words);
    script.closeInput();
    return script.wait(30000) && script.exitCode() == 0 && std::filesystem::exists(produced);
}

namespace {

class LinuxTlsServer final : public TlsServer
{
public:
    LinuxTlsServer()
        : m_child(REFITOR_TEST_PYTHON,
                  {"python3", REFITOR_TLS_SERVER_SCRIPT, m_folder.path().string()})
    {
        // It makes its keys first, which takes a moment.
        const std::string line = m_child.readLine(30000);
        port = line.empty() ? 0 : std::stoi(line);
        authorityFile = m_folder.file("ca.pem");
    }

private:
    // The folder goes after the server, which the child's destructor ends by its process id.
    support::TemporaryFolder m_folder;
    support::ChildProcess m_child;
};

} // namespace

std::unique_ptr<TlsServer> startTlsServer(std::string &whyNone)
{
    auto server = std::make_unique<LinuxTlsServer>();
    if (server->port == 0) {
        whyNone = "the TLS server did not start";
        return nullptr;
    }
    return server;
}

namespace {

// The Qt runtime takes the decimal separator from QLocale's default, which stands for the
// user's locale; setting the default is what a German user's session amounts to.
class QtDecimalComma final : public DecimalComma
{
public:
    QtDecimalComma() { QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany)); }
    ~QtDecimalComma() override { QLocale::setDefault(m_saved); }

private:
    const QLocale m_saved;
};

} // namespace

std::unique_ptr<DecimalComma> useDecimalComma()
{
    return std::make_unique<QtDecimalComma>();
}

std::size_t longestFolderToStartProgramsIn()
{
    // Linux limits a whole path to PATH_MAX; a folder only leaves room for the file's name.
    return PATH_MAX - 1 - NAME_MAX;
}

ChildProcess::ChildProcess(const std::string &program, std::vector<std::string> arguments)
{
    int input[2];
    int output[2];
    if (::pipe2(input, O_CLOEXEC) != 0)
        throw std::runtime_error("cannot make a pipe");
    if (::pipe2(output, O_CLOEXEC) != 0) {
        ::close(input[0]);
        ::close(input[1]);
        throw std::runtime_error("cannot make a pipe");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    std::vector<char *> argv;
    for (std::string &argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(input[0]);
    ::close(output[1]);
    m_input = input[1];
    m_output = output[0];
    if (error != 0) {
        ::close(m_input);
        ::close(m_output);
        throw std::runtime_error("cannot start " + program);
    }
    m_pid = pid;
}

ChildProcess::~ChildProcess()
{
    if (!m_ended && m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    closeInput();
    ::close(m_output);
}

std::string ChildProcess::readLine(int timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string line;
    for (;;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd readable{m_output, POLLIN, 0};
        if (left <= 0 || ::poll(&readable, 1, static_cast<int>(left)) <= 0)
            return {};
        char c = 0;
        if (::read(m_output, &c, 1) != 1 || c == '\n')
            return line;
        line += c;
    }
}

void ChildProcess::closeInput()
{
    if (m_input >= 0)
        ::close(m_input);
    m_input = -1;
}

bool ChildProcess::wait(int timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!m_ended) {
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_ended = true;
            m_killed = WIFSIGNALED(status);
            m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        } else if (Clock::now() >= deadline) {
            break;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    return m_ended;
}

} // namespace support
