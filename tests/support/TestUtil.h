#pragma once

#include <QByteArray>
#include <QColor>
#include <QGradientStops>
#include <QImage>
#include <QPoint>
#include <QString>
#include <functional>
#include <string>
#include <vector>

namespace testutil {

/// Deterministic pseudo-random bytes, so a corrupted or shifted byte is noticed.
std::string randomBytes(std::size_t size, unsigned seed = 1);

/// Pumps the event loop until predicate holds or timeoutMs pass; returns predicate's last value.
bool waitUntil(const std::function<bool()> &predicate, int timeoutMs = 10000);

QByteArray readFile(const QString &path);
void writeFile(const QString &path, const QByteArray &data);
/// Names of the entries of a folder, hidden ones included, sorted.
QStringList entriesOf(const QString &folder);

/// The colour a top-to-bottom gradient has at fraction t of its height, as Qt interpolates it.
QColor gradientColorAt(const QGradientStops &stops, double t);
/// The fraction of its height at which a gradient over rows [top, top + height) is sampled for
/// logical row y (at the row's centre).
double rowFraction(int y, int top, int height);
/// Whether no channel of a and b differs by more than tolerance.
bool colorsNear(const QColor &a, const QColor &b, int tolerance = 4);
/// The pixel at logical point p of a grabbed image, whatever its device pixel ratio.
QColor pixelAt(const QImage &image, QPoint p);
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

    /// One line of its standard output without the newline, "" when none comes within timeoutMs.
    std::string readLine(int timeoutMs = 10000);
    /// Closes its standard input, which tells the test children to go on.
    void closeInput();
    /// Waits up to timeoutMs for it to end; its wait status, or -1 if it still runs.
    int wait(int timeoutMs = 10000);

private:
    int m_pid = -1;
    int m_input = -1;
    int m_output = -1;
    int m_status = -1;
};

/// Where a folder of the source tree is (skins, broken skins), from the build's definitions.
QString sourceFolder(const char *relative);

} // namespace testutil
