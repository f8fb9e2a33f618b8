#include "runtime/Programs.h"

#include "SystemError.h"
#include "runtime/EventPump.h"
#include "runtime/Files.h"
#include "runtime/RuntimeError.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <optional>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace runtime {

namespace {

std::string signalName(int signalNumber)
{
    const char *abbreviation = ::sigabbrev_np(signalNumber);
    if (abbreviation == nullptr)
        return "signal " + std::to_string(signalNumber);
    return std::string("SIG") + abbreviation;
}

class ChildProgram final : public StartedProgram
{
public:
    explicit ChildProgram(pid_t pid)
        : m_pid(pid),
          // A descriptor that becomes readable when the program ends lets watch() sleep in the
          // event loop; kernels without one get a short poll.
          m_pidFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)))
    {}

    ~ChildProgram() override
    {
        if (m_pidFd >= 0)
            ::close(m_pidFd);
    }

    State watch(std::chrono::milliseconds within) override
    {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + within;
        std::optional<QSocketNotifier> wake;
        if (m_pidFd >= 0 && QCoreApplication::instance() != nullptr)
            wake.emplace(m_pidFd, QSocketNotifier::Read);
        while (!reap()) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                break;
            const auto nap = wake ? left : std::min<decltype(left)>(left, 20);
            waitForEvents(static_cast<int>(std::min<decltype(left)>(nap, 60'000)));
        }
        return m_state;
    }

    std::string crash() const override { return m_crash; }

private:
    bool reap()
    {
        if (m_state != State::Running)
            return true;
        int status = 0;
        pid_t ended = 0;
        do {
            ended = ::waitpid(m_pid, &status, WNOHANG);
        } while (ended < 0 && errno == EINTR);
        if (ended == 0)
            return false;
        if (ended > 0 && WIFSIGNALED(status)) {
            m_state = State::Crashed;
            m_crash = signalName(WTERMSIG(status));
        } else {
            // Ended of its own accord, or reaped by someone else: how is then unknown.
            m_state = State::Exited;
        }
        return true;
    }

    pid_t m_pid;
    int m_pidFd;
    State m_state = State::Running;
    std::string m_crash;
};

} // namespace

std::unique_ptr<StartedProgram> startProgram(const std::filesystem::path &path, WindowState state)
{
    // X11 and Wayland have no portable way to ask a new program for its first window state.
    static_cast<void>(state);
    if (path.empty())
        throw RuntimeError(ErrorKind::NotFound, "no program to start");
    const std::filesystem::path program = std::filesystem::absolute(path);
    const std::filesystem::path folder = program.parent_path();

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    // Our lock file, transfers' files and sockets are ours alone.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    // A session of its own: the product outlives the terminal or session that started us.
    posix_spawnattr_setflags(
        &attributes,
        static_cast<short>(POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID));
    std::string name = program.native();
    char *const arguments[] = {name.data(), nullptr};
    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, name.c_str(), &actions, &attributes, arguments, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0)
        throw RuntimeError(error == ENOENT ? ErrorKind::NotFound : ErrorKind::Failed,
                           "cannot start " + utf8FromPath(path) + ": " +
                               qt::systemErrorText(error));
    return std::make_unique<ChildProgram>(pid);
}

void ignoreWriteSignals()
{
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
}

} // namespace runtime
