#include "FacePicture.h"

#include <QPainter>
#include <QPainterPath>

namespace {

void drawScreen(QPainter &painter, const QRect &frame)
{
    painter.setPen(QPen(QColor(40, 40, 48), 1));
    painter.setBrush(QColor(200, 200, 196));
    painter.drawRect(frame);
    painter.setBrush(QColor(32, 96, 168));
    painter.drawRect(frame.adjusted(2, 2, -2, -3));
    // Stand and foot under the screen.
    const int middle = frame.center().x();
    painter.setBrush(QColor(150, 150, 146));
    painter.drawRect(middle - 1, frame.bottom() + 1, 2, 2);
    painter.drawRect(middle - 4, frame.bottom() + 3, 8, 1);
}

} // namespace

QPixmap downloadControlFace()
{
    QPixmap face(48, 48);
    face.fill(Qt::transparent);
    QPainter painter(&face);

    // The link first, so the devices sit on top of it.
    painter.setPen(QPen(QColor(0, 128, 0), 2, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(10, 17, 38, 17);
    painter.drawLine(24, 17, 24, 36);
    painter.drawLine(24, 36, 38, 36);

    drawScreen(painter, QRect(1, 4, 17, 13));
    drawScreen(painter, QRect(20, 4, 17, 13));

    // The handset: a narrow body with a small display and a stub aerial.
    painter.setPen(QPen(QColor(30, 30, 30), 1));
    painter.setBrush(QColor(70, 70, 80));
    painter.drawRoundedRect(QRectF(38.5, 24.5, 8, 17), 2, 2);
    painter.setBrush(QColor(170, 220, 170));
    painter.drawRect(40, 27, 5, 4);
    painter.drawLine(45, 24, 45, 20);

    // The network box: a flat case with three lights.
    painter.setBrush(QColor(120, 110, 90));
    painter.drawRect(14, 38, 16, 6);
    painter.setPen(Qt::NoPen);
    const QColor lights[] = {QColor(0, 220, 0), QColor(255, 200, 0), QColor(0, 220, 0)};
    for (int i = 0; i < 3; ++i) {
        painter.setBrush(lights[i]);
        painter.drawRect(17 + i * 4, 40, 2, 2);
    }
    return face;
}
