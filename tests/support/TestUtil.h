#pragma once

#include "support/PlatformSupport.h"
#include "support/SystemSupport.h"

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

using support::ChildProcess;
using support::randomBytes;
using support::waitUntil;

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

/// An image's PNG bytes; throws std::runtime_error when it cannot be encoded.
std::string pngOf(const QImage &image);
/// Where a folder of the source tree is (skins, broken skins), from the build's definitions.
QString sourceFolder(const char *relative);

} // namespace testutil
