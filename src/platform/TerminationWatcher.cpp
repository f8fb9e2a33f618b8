#include "TerminationWatcher.h"

#include "PlatformError.h"

#include <QSocketNotifier>

#ifndef _WIN32
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace platform {

#ifndef _WIN32
namespace {

// A signal handler may do next to nothing; it writes the signal's number into a pipe and the
// UI thread's event loop picks it up (the self-pipe pattern).
int g_pipe[2] = {-1, -1};
constexpr int kSignals[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT};

extern "C" void onSignal(int number)
{
    const int saved = errno;
    const auto byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &byte, 1);
    errno = saved;
}

} // namespace
#endif

TerminationWatcher::TerminationWatcher(QObject *parent) : QObject(parent)
{
#ifndef _WIN32
    if (g_pipe[0] >= 0)
        throw PlatformError("a termination watcher exists already");
    if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        throw PlatformError("cannot create the termination pipe");
    struct sigaction action
    {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : kSignals)
        ::sigaction(number, &action, nullptr);
    m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminationWatcher::onReadable);
#endif
}

TerminationWatcher::~TerminationWatcher()
{
#ifndef _WIN32
    for (const int number : kSignals)
        ::signal(number, SIG_DFL);
    delete m_notifier;
    ::close(g_pipe[0]);
    ::close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
#endif
}

void TerminationWatcher::onReadable()
{
#ifndef _WIN32
    unsigned char byte = 0;
    while (::read(g_pipe[0], &byte, 1) == 1)
        Q_EMIT terminationRequested(byte);
#endif
}

} // namespace platform
