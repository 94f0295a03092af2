#include "ui/Icons.h"

#include <QPainter>
#include <QPainterPath>

namespace {

QPixmap Blank(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

void Arrow(QPainter& p, bool pointsLeft) {
    // A broad arrow filling the middle of the 13 x 13 square.
    QPolygonF shape;
    shape << QPointF(0.5, 6.5) << QPointF(6.5, 0.5) << QPointF(6.5, 4) << QPointF(12.5, 4)
          << QPointF(12.5, 9) << QPointF(6.5, 9) << QPointF(6.5, 12.5);
    if (!pointsLeft) {
        for (QPointF& point : shape) point.setX(13 - point.x());
    }
    p.setPen(QPen(QColor(0x4F, 0x8A, 0x05), 1));
    p.setBrush(QColor(0x80, 0xCD, 0x08));
    p.drawPolygon(shape);
}

void Disc(QPainter& p, const QColor& face, const QColor& rim) {
    p.setPen(QPen(rim, 1));
    p.setBrush(face);
    p.drawEllipse(QRectF(0.5, 0.5, 12, 12));
}

} // namespace

QPixmap LogStatePixmap(int index) {
    QPixmap pixmap = Blank(13);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    switch (index) {
    case 0:
        Arrow(p, true);
        break;
    case 1:
        Arrow(p, false);
        break;
    case 2: // a light blue disc with a white "i"
        Disc(p, QColor(0x7D, 0xB3, 0xF5), QColor(0x2F, 0x6C, 0xC0));
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        p.drawRect(QRectF(5.5, 2.5, 2, 2));
        p.drawRect(QRectF(5.5, 5.5, 2, 5));
        break;
    default: // a red disc with a white exclamation mark
        Disc(p, QColor(0xD7, 0x28, 0x28), QColor(0x80, 0x10, 0x10));
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        p.drawRect(QRectF(5.5, 2.5, 2, 5));
        p.drawRect(QRectF(5.5, 8.5, 2, 2));
        break;
    }
    return pixmap;
}

QPixmap PopupMenuPixmap(int index) {
    QPixmap pixmap = Blank(16);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    if (index == 2) { // a round red button with a white diagonal cross
        p.setPen(QPen(QColor(0x90, 0x10, 0x10), 1));
        p.setBrush(QColor(0xD7, 0x28, 0x28));
        p.drawEllipse(QRectF(0.5, 0.5, 15, 15));
        p.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(5, 5), QPointF(11, 11));
        p.drawLine(QPointF(11, 5), QPointF(5, 11));
        return pixmap;
    }
    // A rounded square button: dark blue rim, light blue face.
    p.setPen(QPen(QColor(0x2C, 0x48, 0xAB), 1));
    p.setBrush(QColor(0x8C, 0xB4, 0xF0));
    p.drawRoundedRect(QRectF(0.5, 0.5, 15, 15), 3, 3);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    if (index == 3) { // a white pencil, its point down to the left
        QPolygonF pencil;
        pencil << QPointF(3.5, 12.5) << QPointF(4.5, 9.5) << QPointF(10.5, 3.5)
               << QPointF(12.5, 5.5) << QPointF(6.5, 11.5);
        p.drawPolygon(pencil);
    } else if (index == 0) {
        QPolygonF play;
        play << QPointF(5.5, 4) << QPointF(12, 8) << QPointF(5.5, 12);
        p.drawPolygon(play);
    } else {
        p.drawRect(QRectF(4.5, 4, 2.5, 8));
        p.drawRect(QRectF(9, 4, 2.5, 8));
    }
    return pixmap;
}

QImage ApplicationIconImage(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 16.0, size / 16.0);
    // The popup menu's rounded square button: dark blue rim, light blue face.
    p.setPen(QPen(QColor(0x2C, 0x48, 0xAB), 1));
    p.setBrush(QColor(0x8C, 0xB4, 0xF0));
    p.drawRoundedRect(QRectF(0.5, 0.5, 15, 15), 3, 3);
    // A white arrow pointing down.
    QPolygonF arrow;
    arrow << QPointF(6.5, 2) << QPointF(9.5, 2) << QPointF(9.5, 5.5) << QPointF(12, 5.5)
          << QPointF(8, 10) << QPointF(4, 5.5) << QPointF(6.5, 5.5);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawPolygon(arrow);
    // The progress bar it fills: white, its left part green as the log's arrows.
    p.setPen(QPen(QColor(0x2C, 0x48, 0xAB), 0.75));
    p.drawRect(QRectF(2.5, 11, 11, 2.5));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x80, 0xCD, 0x08));
    p.drawRect(QRectF(2.875, 11.375, 6, 1.75));
    return image;
}

QIcon ApplicationIcon() {
    QIcon icon;
    for (int size : kApplicationIconSizes)
        icon.addPixmap(QPixmap::fromImage(ApplicationIconImage(size)));
    return icon;
}
