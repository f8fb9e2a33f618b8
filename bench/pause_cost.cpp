// Measures what the update window's three-second wait costs: wall time and processor time.

#include "window/Form2.h"

#include <QApplication>
#include <QElapsedTimer>
#include <cstdio>
#include <ctime>

namespace {

double processorSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    Form2 window;
    QElapsedTimer clock;
    clock.start();
    const double before = processorSeconds();
    window.Pause(std::int32_t{3});
    const double processor = processorSeconds() - before;
    std::printf("pause_wall_seconds=%.3f pause_processor_seconds=%.4f\n",
                static_cast<double>(clock.nsecsElapsed()) / 1e9, processor);
    return 0;
}
