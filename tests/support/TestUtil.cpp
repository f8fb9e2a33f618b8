#include "TestUtil.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>
#include <cmath>
#include <random>
#include <stdexcept>

namespace testutil {

std::string pngOf(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "PNG"))
        throw std::runtime_error("cannot encode a PNG image");
    return bytes.toStdString();
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
