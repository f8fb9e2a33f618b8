#include "runtime/EventPump.h"

#include <QCoreApplication>
#include <QTimer>

namespace runtime {

void doEvents()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void waitForEvents(int timeoutMs)
{
    if (timeoutMs <= 0) {
        doEvents();
        return;
    }
    // The timer guarantees the wait ends by the deadline even when nothing else happens; a
    // precise timer never fires early, so the caller does not spin through a last few ms.
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    wake.start(timeoutMs);
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

} // namespace runtime
