#include "Application.h"

#include "EventPump.h"
#include "PlatformError.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#endif

namespace platform {

namespace {

QString &folderOverride()
{
    static QString folder;
    return folder;
}

std::function<void(int)> &endHandler()
{
    static std::function<void(int)> handler;
    return handler;
}

} // namespace

QString separator()
{
#ifdef _WIN32
    return QStringLiteral("\\");
#else
    return QStringLiteral("/");
#endif
}

QString applicationFolder()
{
    if (!folderOverride().isEmpty())
        return folderOverride();
    if (QCoreApplication::instance() == nullptr)
        throw PlatformError("the application folder is unknown before the application starts");
    QString folder = QDir::toNativeSeparators(QCoreApplication::applicationDirPath());
    // A root folder keeps its separator; every other folder is given without one.
    while (folder.size() > 1 && folder.endsWith(separator()) && !folder.endsWith(u":\\"))
        folder.chop(1);
    if (folder.isEmpty())
        throw PlatformError("the application folder is unknown");
    return folder;
}

void setApplicationFolder(const QString &folder)
{
    folderOverride() = folder;
}

QString applicationTitle()
{
    return QStringLiteral("Updating Korvane");
}

void setApplicationIdentity()
{
    QCoreApplication::setApplicationName(QStringLiteral("Refitor"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.00"));
    QCoreApplication::setOrganizationName(QStringLiteral("Korvane"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("www.korvane.example"));
    // No application display name: Qt would append it to every window title, and the window's
    // title must be exactly its caption.
}

StartedProgram::StartedProgram(int pid) : m_pid(pid)
{
    // A descriptor that becomes readable when the program ends lets watch() sleep in the event
    // loop instead of polling; kernels without one get a short poll.
    m_pidFd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

StartedProgram::StartedProgram(StartedProgram &&other) noexcept
    : m_pid(std::exchange(other.m_pid, -1)), m_pidFd(std::exchange(other.m_pidFd, -1)),
      m_state(other.m_state), m_signal(other.m_signal)
{}

StartedProgram::~StartedProgram()
{
    if (m_pidFd >= 0)
        ::close(m_pidFd);
}

bool StartedProgram::reap()
{
    if (m_pid < 0 || m_state != State::Running)
        return true;
    int status = 0;
    pid_t ended = 0;
    do {
        ended = ::waitpid(m_pid, &status, WNOHANG);
    } while (ended < 0 && errno == EINTR);
    if (ended == 0)
        return false;
    if (ended < 0) {
        // Someone else reaped it (or it is not ours to wait for): it has ended, how is unknown.
        m_state = State::Exited;
    } else if (WIFSIGNALED(status)) {
        m_state = State::EndedBySignal;
        m_signal = WTERMSIG(status);
    } else {
        m_state = State::Exited;
    }
    return true;
}

StartedProgram::State StartedProgram::watch(std::chrono::milliseconds within)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + within;
    std::unique_ptr<QSocketNotifier> wake;
    if (m_pidFd >= 0 && QCoreApplication::instance() != nullptr)
        wake = std::make_unique<QSocketNotifier>(m_pidFd, QSocketNotifier::Read);
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

StartedProgram startProgram(const QString &path, WindowState state)
{
    // X11 and Wayland have no portable way to ask a new program for its first window state.
    Q_UNUSED(state);
    if (path.isEmpty())
        throw PlatformError("no program to start");
    const QByteArray program = QFile::encodeName(QFileInfo(path).absoluteFilePath());
    const QByteArray folder = QFile::encodeName(QFileInfo(path).absolutePath());

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_addchdir_np(&actions, folder.constData());
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
    char *const arguments[] = {const_cast<char *>(program.constData()), nullptr};
    pid_t pid = -1;
    const int error =
        ::posix_spawn(&pid, program.constData(), &actions, &attributes, arguments, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0)
        throw PlatformError(
            QStringLiteral("cannot start %1: %2").arg(path, systemErrorText(error)));
    return StartedProgram(pid);
}

QString signalName(int signalNumber)
{
    const char *abbreviation = ::sigabbrev_np(signalNumber);
    if (abbreviation == nullptr)
        return QStringLiteral("signal %1").arg(signalNumber);
    return QStringLiteral("SIG") + QString::fromLatin1(abbreviation);
}

void ignoreWriteSignals()
{
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
}

void endProgram(int exitCode)
{
    if (endHandler()) {
        endHandler()(exitCode);
        return;
    }
    std::fflush(nullptr);
    // Ends at once: no event handler, destructor or atexit hook runs after this.
    std::_Exit(exitCode);
}

void setEndProgramHandler(std::function<void(int)> handler)
{
    endHandler() = std::move(handler);
}

} // namespace platform
