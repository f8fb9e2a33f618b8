#include "WindowIcon.h"

#include <QPainter>
#include <QPixmap>
#include <QPolygon>

QIcon updateWindowIcon()
{
    const QColor black(0, 0, 0);
    const QColor olive(128, 128, 0);
    const QColor yellow(255, 255, 0);

    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    // Hard edges only: the icon keeps to its three colours, with no blended pixels between them.
    painter.setRenderHint(QPainter::Antialiasing, false);

    // An olive disk standing for the product, taken in by a yellow arrow pointing down.
    painter.setPen(QPen(black, 1));
    painter.setBrush(olive);
    painter.drawRect(3, 20, 25, 9);
    painter.setBrush(yellow);
    const QPolygon arrow({QPoint(12, 2), QPoint(19, 2), QPoint(19, 12), QPoint(25, 12),
                          QPoint(15, 22), QPoint(16, 22), QPoint(6, 12), QPoint(12, 12)});
    painter.drawPolygon(arrow);
    painter.setPen(QPen(yellow, 1));
    painter.drawLine(6, 25, 9, 25);
    return QIcon(pixmap);
}
