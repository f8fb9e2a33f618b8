#include "runtime/Termination.h"

#include "runtime/RuntimeError.h"

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <optional>
#include <unistd.h>

namespace runtime {

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

class SignalWatcher final : public TerminationWatcher
{
public:
    explicit SignalWatcher(std::function<void()> handler) : m_handler(std::move(handler))
    {
        if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
            throw RuntimeError("cannot create the termination pipe");
        struct sigaction action
        {};
        action.sa_handler = onSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (const int number : kSignals)
            ::sigaction(number, &action, nullptr);
        m_notifier.emplace(g_pipe[0], QSocketNotifier::Read);
        QObject::connect(&*m_notifier, &QSocketNotifier::activated, [this] { onReadable(); });
    }

    ~SignalWatcher() override
    {
        for (const int number : kSignals)
            ::signal(number, SIG_DFL);
        m_notifier.reset();
        ::close(g_pipe[0]);
        ::close(g_pipe[1]);
        g_pipe[0] = g_pipe[1] = -1;
    }

private:
    void onReadable()
    {
        unsigned char byte = 0;
        // One call per request; the handler may end the program, so nothing follows it.
        while (::read(g_pipe[0], &byte, 1) == 1)
            m_handler();
    }

    std::function<void()> m_handler;
    std::optional<QSocketNotifier> m_notifier;
};

} // namespace

std::unique_ptr<TerminationWatcher> watchTermination(std::function<void()> handler)
{
    if (g_pipe[0] >= 0)
        throw RuntimeError(ErrorKind::Busy, "a termination watcher exists already");
    return std::make_unique<SignalWatcher>(std::move(handler));
}

} // namespace runtime
