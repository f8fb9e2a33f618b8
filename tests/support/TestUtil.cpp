#include "TestUtil.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <random>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace testutil {

std::string randomBytes(std::size_t size, unsigned seed)
{
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (auto &byte : bytes)
        byte = static_cast<char>(generator() & 0xFFU);
    return bytes;
}

bool waitUntil(const std::function<bool()> &predicate, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!predicate()) {
        if (deadline.hasExpired())
            return predicate();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

ChildProcess::ChildProcess(const std::string &program, std::vector<std::string> arguments)
{
    int input[2];
    int output[2];
    if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0)
        throw std::runtime_error("cannot make pipes");
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
    if (m_status == -1 && m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    closeInput();
    ::close(m_output);
}

std::string ChildProcess::readLine(int timeoutMs)
{
    std::string line;
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        pollfd readable{m_output, POLLIN, 0};
        if (::poll(&readable, 1, static_cast<int>(deadline.remainingTime())) <= 0)
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

int ChildProcess::wait(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (m_status == -1) {
        int status = 0;
        const pid_t ended = ::waitpid(m_pid, &status, WNOHANG);
        if (ended == m_pid)
            m_status = status;
        else if (deadline.hasExpired())
            break;
        else
            QThread::msleep(5);
    }
    return m_status;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error("cannot read " + path.toStdString());
    return file.readAll();
}

void writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(data) != data.size())
        throw std::runtime_error("cannot write " + path.toStdString());
}

QStringList entriesOf(const QString &folder)
{
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

QColor gradientColorAt(const QGradientStops &stops, double t)
{
    if (stops.size() == 1 || t <= stops.front().first)
        return stops.front().second;
    for (qsizetype i = 1; i < stops.size(); ++i) {
        const auto &[from, fromColor] = stops[i - 1];
        const auto &[to, toColor] = stops[i];
        if (t > to)
            continue;
        const double f = to > from ? (t - from) / (to - from) : 1.0;
        const auto mix = [f](int a, int b) {
            return static_cast<int>(std::lround(a + (b - a) * f));
        };
        return QColor(mix(fromColor.red(), toColor.red()), mix(fromColor.green(), toColor.green()),
                      mix(fromColor.blue(), toColor.blue()),
                      mix(fromColor.alpha(), toColor.alpha()));
    }
    return stops.back().second;
}

double rowFraction(int y, int top, int height)
{
    return (y - top + 0.5) / height;
}

bool colorsNear(const QColor &a, const QColor &b, int tolerance)
{
    return std::abs(a.red() - b.red()) <= tolerance &&
           std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance;
}

QColor pixelAt(const QImage &image, QPoint p)
{
    const qreal ratio = image.devicePixelRatio();
    return image.pixelColor(static_cast<int>(p.x() * ratio), static_cast<int>(p.y() * ratio));
}

QString sourceFolder(const char *relative)
{
    return QStringLiteral(REFITOR_SOURCE_DIR "/") + QString::fromUtf8(relative);
}

} // namespace testutil
