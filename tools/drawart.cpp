// Paints the suite's original artwork into the resource folders:
//   drawart <source dir>
// Run by hand when the pictures change; the results are committed.
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

namespace {

void drawFolderStack(QPainter& p, const QRectF& r)
{
    // Three sheets fanned out, a folder in front: "many files at once".
    for (int i = 2; i >= 0; --i) {
        QRectF sheet(r.left() + r.width() * (0.30 + 0.08 * i), r.top() + r.height() * (0.10 + 0.05 * (2 - i)),
                     r.width() * 0.42, r.height() * 0.55);
        p.setPen(QPen(QColor(60, 70, 90), r.width() / 64.0));
        p.setBrush(QColor(250 - 20 * i, 250 - 10 * i, 255));
        p.drawRoundedRect(sheet, r.width() / 40.0, r.width() / 40.0);
        p.setPen(QPen(QColor(120, 140, 180), r.width() / 80.0));
        for (int line = 1; line <= 3; ++line) {
            const double y = sheet.top() + sheet.height() * line / 5.0;
            p.drawLine(QPointF(sheet.left() + sheet.width() * 0.15, y),
                       QPointF(sheet.right() - sheet.width() * 0.15, y));
        }
    }
    QPainterPath folder;
    const double w = r.width(), h = r.height(), x = r.left(), y = r.top();
    folder.moveTo(x + w * 0.06, y + h * 0.42);
    folder.lineTo(x + w * 0.30, y + h * 0.42);
    folder.lineTo(x + w * 0.36, y + h * 0.50);
    folder.lineTo(x + w * 0.94, y + h * 0.50);
    folder.lineTo(x + w * 0.94, y + h * 0.92);
    folder.lineTo(x + w * 0.06, y + h * 0.92);
    folder.closeSubpath();
    QLinearGradient g(0, y + h * 0.42, 0, y + h * 0.92);
    g.setColorAt(0, QColor(255, 200, 80));
    g.setColorAt(1, QColor(225, 140, 30));
    p.setBrush(g);
    p.setPen(QPen(QColor(150, 90, 20), w / 48.0));
    p.drawPath(folder);
    // A lightning stroke: batch work done quickly.
    QPainterPath bolt;
    bolt.moveTo(x + w * 0.56, y + h * 0.55);
    bolt.lineTo(x + w * 0.44, y + h * 0.74);
    bolt.lineTo(x + w * 0.52, y + h * 0.74);
    bolt.lineTo(x + w * 0.46, y + h * 0.90);
    bolt.lineTo(x + w * 0.62, y + h * 0.68);
    bolt.lineTo(x + w * 0.54, y + h * 0.68);
    bolt.closeSubpath();
    p.setBrush(QColor(40, 80, 200));
    p.setPen(Qt::NoPen);
    p.drawPath(bolt);
}

QImage suiteIcon(int size)
{
    QImage img(size, size, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    drawFolderStack(p, QRectF(0, 0, size, size));
    return img;
}

QImage tipIcon()
{
    // A light bulb on white.
    QImage img(32, 32, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::white);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QRadialGradient glow(16, 12, 11);
    glow.setColorAt(0, QColor(255, 255, 190));
    glow.setColorAt(1, QColor(250, 210, 40));
    p.setBrush(glow);
    p.setPen(QPen(QColor(150, 110, 0), 1.2));
    p.drawEllipse(QPointF(16, 12), 9, 9);
    p.setBrush(QColor(160, 160, 170));
    p.setPen(QPen(QColor(90, 90, 100), 1));
    p.drawRect(QRectF(12, 20, 8, 7));
    p.drawLine(QPointF(12, 22.5), QPointF(20, 22.5));
    p.drawLine(QPointF(12, 25), QPointF(20, 25));
    p.setPen(QPen(QColor(255, 170, 0), 1.5));
    p.drawLine(QPointF(3, 5), QPointF(6, 7));
    p.drawLine(QPointF(29, 5), QPointF(26, 7));
    p.drawLine(QPointF(2, 13), QPointF(5, 13));
    p.drawLine(QPointF(30, 13), QPointF(27, 13));
    return img;
}

QImage aboutPicture()
{
    QImage img(240, 320, QImage::Format_RGB32);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, 0, 320);
    sky.setColorAt(0, QColor(30, 60, 130));
    sky.setColorAt(1, QColor(120, 170, 230));
    p.fillRect(img.rect(), sky);
    // Rolling hills of stacked pages.
    for (int i = 0; i < 4; ++i) {
        QPainterPath hill;
        const double base = 210 + i * 28;
        hill.moveTo(0, base);
        hill.cubicTo(60, base - 40 + i * 6, 150, base + 30, 240, base - 20);
        hill.lineTo(240, 320);
        hill.lineTo(0, 320);
        hill.closeSubpath();
        p.setBrush(QColor(40 + 25 * i, 110 + 20 * i, 70 + 10 * i));
        p.setPen(Qt::NoPen);
        p.drawPath(hill);
    }
    drawFolderStack(p, QRectF(40, 40, 160, 160));
    p.setPen(QColor(255, 255, 255));
    QFont font(QStringLiteral("sans"), 22, QFont::Bold);
    p.setFont(font);
    p.drawText(QRectF(0, 250, 240, 40), Qt::AlignCenter, QStringLiteral("Korvane"));
    return img;
}

QImage linkCursor()
{
    // A small hand-drawn arrow with a link ring, 16 x 16.
    QImage img(16, 16, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath arrow;
    arrow.moveTo(1, 1);
    arrow.lineTo(1, 12);
    arrow.lineTo(4, 9);
    arrow.lineTo(7, 14);
    arrow.lineTo(9, 13);
    arrow.lineTo(6, 8);
    arrow.lineTo(10, 8);
    arrow.closeSubpath();
    p.setBrush(Qt::white);
    p.setPen(QPen(Qt::black, 1));
    p.drawPath(arrow);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(0, 0, 220), 1.5));
    p.drawEllipse(QPointF(12, 11), 3, 3);
    return img;
}

} // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    if (argc < 2)
        return 2;
    const QString src = QString::fromLocal8Bit(argv[1]);
    bool ok = suiteIcon(256).save(src + QStringLiteral("/shell/resources/korvane.png"));
    ok = suiteIcon(32).save(src + QStringLiteral("/shell/resources/korvane-32.png")) && ok;
    // The desktop's icon theme sizes, each painted at its size rather than scaled.
    for (const int size : {16, 22, 24, 32, 48, 64, 128, 256, 512})
        ok = suiteIcon(size).save(src + QStringLiteral("/../packaging/icons/%1.png").arg(size)) && ok;
    ok = tipIcon().save(src + QStringLiteral("/helpwindows/resources/tip.png")) && ok;
    ok = aboutPicture().save(src + QStringLiteral("/helpwindows/resources/about.jpg"), "JPEG", 90) && ok;
    ok = linkCursor().save(src + QStringLiteral("/helpwindows/resources/linkcursor.png")) && ok;
    return ok ? 0 : 1;
}
