#pragma once

#include <QObject>

class QSocketNotifier;

namespace platform {

/// Turns a request from outside to end the program (SIGTERM, SIGHUP, SIGINT, SIGQUIT on Linux:
/// a logout, a shutdown, Ctrl+C, Ctrl+Backslash) into a signal on the UI thread, so the program
/// can end tidily instead of being cut off mid-update. One per program; on Windows it never
/// fires.
class TerminationWatcher : public QObject
{
    Q_OBJECT
public:
    /// UI thread. Installs the handlers. Throws PlatformError when they cannot be installed or
    /// another watcher exists.
    explicit TerminationWatcher(QObject *parent = nullptr);
    /// UI thread. Puts the default handlers back.
    ~TerminationWatcher() override;

Q_SIGNALS:
    /// Someone asked the program to end; delivered on the UI thread.
    void terminationRequested(int signalNumber);

private:
    void onReadable();

    QSocketNotifier *m_notifier = nullptr;
};

} // namespace platform
