#include "components/artwork.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

namespace korvane::components {

namespace {

// Everything is drawn on a 240 x 254 canvas and scaled to the requested size.
constexpr double kWidth = 240.0;
constexpr double kHeight = 254.0;

/// A component tile with a knob on top, the shape of a puzzle piece.
QPainterPath tileShape(const QRectF& r)
{
    QPainterPath path;
    const double knob = r.width() * 0.26;
    path.addRoundedRect(r, 8, 8);
    QPainterPath top;
    top.addEllipse(QPointF(r.center().x(), r.top()), knob / 2, knob / 2);
    return path.united(top);
}

void drawTile(QPainter& p, const QRectF& r, const QColor& colour, const QString& label)
{
    const QPainterPath shape = tileShape(r);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 45));
    p.drawPath(shape.translated(4, 5));

    QLinearGradient fill(r.topLeft(), r.bottomLeft());
    fill.setColorAt(0, colour.lighter(135));
    fill.setColorAt(1, colour);
    p.setBrush(fill);
    p.setPen(QPen(colour.darker(160), 2.5));
    p.drawPath(shape);

    QFont font(QStringLiteral("DejaVu Sans"));
    font.setBold(true);
    font.setPixelSize(int(r.height() * 0.36));
    p.setFont(font);
    p.setPen(Qt::white);
    p.drawText(r.adjusted(0, r.height() * 0.12, 0, 0), Qt::AlignCenter, label);
}

} // namespace

QImage registrationPicture(QSize size)
{
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.scale(size.width() / kWidth, size.height() / kHeight);

    // Sky: pale blue fading to white.
    QLinearGradient sky(0, 0, 0, kHeight);
    sky.setColorAt(0, QColor(190, 220, 250));
    sky.setColorAt(0.7, QColor(245, 249, 255));
    p.fillRect(QRectF(0, 0, kWidth, kHeight), sky);

    // The system: a board with two sockets that the components plug into.
    const QRectF board(18, 176, 204, 60);
    QLinearGradient metal(board.topLeft(), board.bottomLeft());
    metal.setColorAt(0, QColor(120, 135, 160));
    metal.setColorAt(1, QColor(70, 82, 105));
    p.setBrush(metal);
    p.setPen(QPen(QColor(45, 52, 70), 2.5));
    p.drawRoundedRect(board, 10, 10);
    p.setPen(QPen(QColor(170, 225, 140), 2));
    for (int i = 0; i < 7; ++i) {
        const double x = board.left() + 20 + i * 27;
        p.drawLine(QPointF(x, board.bottom() - 14), QPointF(x, board.bottom() - 4));
    }
    p.setBrush(QColor(40, 46, 62));
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(QRectF(34, 170, 76, 14), 4, 4);
    p.drawRoundedRect(QRectF(130, 170, 76, 14), 4, 4);

    // One component seated, one on its way down.
    drawTile(p, QRectF(36, 122, 72, 54), QColor(230, 120, 30), QStringLiteral("DLL"));
    p.setPen(QPen(QColor(90, 140, 210, 160), 3, Qt::SolidLine, Qt::RoundCap));
    for (int i = 0; i < 3; ++i) {
        const double x = 146 + i * 22;
        p.drawLine(QPointF(x, 40), QPointF(x, 62));
    }
    drawTile(p, QRectF(132, 82, 72, 54), QColor(40, 120, 210), QStringLiteral("OCX"));
    p.setPen(QPen(QColor(40, 120, 210), 3, Qt::DashLine, Qt::RoundCap));
    p.drawLine(QPointF(168, 142), QPointF(168, 164));

    // Done: a green check in a halo.
    const QPointF centre(62, 56);
    QRadialGradient halo(centre, 34);
    halo.setColorAt(0, QColor(120, 210, 110));
    halo.setColorAt(1, QColor(40, 150, 60));
    p.setBrush(halo);
    p.setPen(QPen(QColor(25, 105, 40), 2.5));
    p.drawEllipse(centre, 30, 30);
    QPainterPath check;
    check.moveTo(centre + QPointF(-15, 1));
    check.lineTo(centre + QPointF(-4, 13));
    check.lineTo(centre + QPointF(17, -12));
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(Qt::white, 7, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(check);
    p.end();
    return image;
}

} // namespace korvane::components
