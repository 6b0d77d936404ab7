#include "drawingviewer/icons.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace korvane::drawingviewer {

namespace {

constexpr int kSide = 32;

QPixmap blank()
{
    QPixmap pm(kSide, kSide);
    pm.fill(Qt::transparent);
    return pm;
}

/// A blueprint-style sheet with a few drawing strokes.
void drawSheet(QPainter& p, const QRectF& r)
{
    p.setPen(QPen(QColor(30, 60, 120), 1));
    p.setBrush(QColor(225, 238, 255));
    p.drawRect(r);
    p.setPen(QPen(QColor(40, 90, 190), 1.2));
    p.drawLine(QPointF(r.left() + 2, r.bottom() - 3), QPointF(r.right() - 3, r.top() + 3));
    p.drawEllipse(QPointF(r.center().x() + 1, r.center().y() + 1), r.width() / 5, r.width() / 5);
    p.drawLine(QPointF(r.left() + 2, r.top() + 4), QPointF(r.center().x(), r.top() + 4));
}

QPixmap magnifier(bool plus)
{
    QPixmap pm = blank();
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    // Handle first, so the lens rim covers its end.
    p.setPen(QPen(QColor(90, 60, 30), 5, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(20, 20), QPointF(28.5, 28.5));
    QRadialGradient glass(QPointF(10, 10), 13);
    glass.setColorAt(0, QColor(255, 255, 255));
    glass.setColorAt(1, QColor(170, 205, 240));
    p.setBrush(glass);
    p.setPen(QPen(QColor(50, 70, 110), 2.5));
    p.drawEllipse(QPointF(13, 13), 10, 10);
    p.setPen(QPen(plus ? QColor(0, 130, 40) : QColor(190, 30, 30), 3, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(8, 13), QPointF(18, 13));
    if (plus)
        p.drawLine(QPointF(13, 8), QPointF(13, 18));
    return pm;
}

} // namespace

QPixmap browseIcon()
{
    QPixmap pm = blank();
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    // Back of the folder.
    QPainterPath back;
    back.moveTo(2, 8);
    back.lineTo(11, 8);
    back.lineTo(14, 11);
    back.lineTo(28, 11);
    back.lineTo(28, 28);
    back.lineTo(2, 28);
    back.closeSubpath();
    p.setPen(QPen(QColor(150, 95, 20), 1));
    p.setBrush(QColor(230, 170, 60));
    p.drawPath(back);
    // The drawing standing in it.
    drawSheet(p, QRectF(8.5, 3.5, 16, 18));
    // Front flap, open towards the viewer.
    QPainterPath front;
    front.moveTo(2, 28);
    front.lineTo(6, 15);
    front.lineTo(31, 15);
    front.lineTo(28, 28);
    front.closeSubpath();
    QLinearGradient g(0, 15, 0, 28);
    g.setColorAt(0, QColor(255, 215, 110));
    g.setColorAt(1, QColor(235, 160, 40));
    p.setBrush(g);
    p.setPen(QPen(QColor(150, 95, 20), 1));
    p.drawPath(front);
    return pm;
}

QPixmap zoomInIcon()
{
    return magnifier(true);
}

QPixmap zoomOutIcon()
{
    return magnifier(false);
}

QPixmap previewIcon()
{
    QPixmap pm = blank();
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    // A picture frame holding a drawing.
    p.setPen(QPen(QColor(60, 60, 70), 1));
    p.setBrush(QColor(120, 120, 135));
    p.drawRoundedRect(QRectF(1.5, 3.5, 29, 22), 2, 2);
    drawSheet(p, QRectF(4.5, 6.5, 23, 16));
    // An eye in front: "look at it".
    QPainterPath eye;
    eye.moveTo(12, 25);
    eye.quadTo(21.5, 16, 31, 25);
    eye.quadTo(21.5, 34, 12, 25);
    p.setPen(QPen(QColor(20, 40, 80), 1.2));
    p.setBrush(Qt::white);
    p.drawPath(eye);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(30, 110, 200));
    p.drawEllipse(QPointF(21.5, 25), 3.6, 3.6);
    p.setBrush(QColor(10, 20, 40));
    p.drawEllipse(QPointF(21.5, 25), 1.6, 1.6);
    return pm;
}

} // namespace korvane::drawingviewer
