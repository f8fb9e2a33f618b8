#pragma once

#include "Conversions.h"
#include "runtime/PreparedLook.h"

#include <QColor>
#include <QFont>
#include <QImage>
#include <QString>
#include <optional>

class QPainter;
class QRectF;

// A skin's looks as Qt paints them: images decoded, fonts as Qt's, and the fills and borders
// every skinned piece is drawn with.
namespace runtime::qt {

/// A fill with its image decoded: premultiplied ARGB32.
using SkinFill = look::PreparedFill<QImage>;
/// A look ready to paint, its fonts as Qt's.
using PreparedLook = look::PreparedLook<QImage, QFont>;

/// UI thread (it uses the image decoder and the font database). A look with its images decoded
/// and each image's pixels turned by the image's hue. Throws RuntimeError (Refused) when an
/// image does not decode to its declared size or its pixels do not fit in memory.
PreparedLook prepareLook(const SkinLook &look);

/// Any thread. A skin's font as Qt's; a family the system lacks falls back to the platform's
/// choice when the font is used. Never throws beyond std::bad_alloc.
QFont toQFont(const look::Font &font);

/// Any thread. Where a caption sits, as Qt's horizontal alignment. Never throws.
Qt::Alignment toQtAlignment(look::Alignment align);

/// UI thread (it paints). Paints fill over rect, clipped to a rounded rectangle of radius when
/// radius > 0. Straight edges land on whole logical pixels, so they stay sharp at any device
/// pixel ratio. Never throws.
void paintFill(QPainter &painter, const QRectF &rect, const SkinFill &fill, qreal radius = 0);

/// UI thread. Paints a border of width logical pixels inside rect, rounded by radius. Nothing
/// for an invalid color or a width of 0. Never throws.
void paintBorder(QPainter &painter, const QRectF &rect, const QColor &color, qreal width,
                 qreal radius = 0);

} // namespace runtime::qt
