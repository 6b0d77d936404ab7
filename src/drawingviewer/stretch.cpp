#include "drawingviewer/stretch.h"

#include <QPainter>
#include <QRect>

namespace korvane::drawingviewer {

namespace {

/// Merges runs of source columns (or rows) into one with a bitwise AND or OR of the colour
/// values, as BLACKONWHITE and WHITEONBLACK do when they eliminate pixels.
QImage mergeAxis(const QImage& src, int targetLength, bool horizontal, bool useAnd)
{
    const int srcLength = horizontal ? src.width() : src.height();
    if (targetLength >= srcLength)
        return src;
    const int across = horizontal ? src.height() : src.width();
    QImage out(horizontal ? QSize(targetLength, across) : QSize(across, targetLength), QImage::Format_RGB32);
    if (out.isNull())
        return {};
    for (int t = 0; t < targetLength; ++t) {
        // Each source pixel belongs to exactly one target pixel; every run holds at least one.
        const int from = int(qint64(t) * srcLength / targetLength);
        const int to = int(qint64(t + 1) * srcLength / targetLength);
        for (int a = 0; a < across; ++a) {
            QRgb merged = useAnd ? 0xFFFFFFFFu : 0xFF000000u;
            for (int s = from; s < to; ++s) {
                const QRgb px = horizontal ? reinterpret_cast<const QRgb*>(src.constScanLine(a))[s]
                                           : reinterpret_cast<const QRgb*>(src.constScanLine(s))[a];
                merged = useAnd ? (merged & px) : (merged | px);
            }
            if (horizontal)
                reinterpret_cast<QRgb*>(out.scanLine(a))[t] = merged | 0xFF000000u;
            else
                reinterpret_cast<QRgb*>(out.scanLine(t))[a] = merged | 0xFF000000u;
        }
    }
    return out;
}

} // namespace

bool isStretchMode(int mode)
{
    return mode >= BlackOnWhite && mode <= Halftone;
}

QImage reduceForStretch(const QImage& source, QSize target, int mode)
{
    if (source.isNull() || target.isEmpty())
        return {};
    const QImage rgb = source.format() == QImage::Format_RGB32 ? source : source.convertToFormat(QImage::Format_RGB32);
    const QSize reduced(qMin(target.width(), rgb.width()), qMin(target.height(), rgb.height()));
    if (reduced == rgb.size())
        return rgb;
    switch (mode) {
    case BlackOnWhite:
    case WhiteOnBlack: {
        const bool useAnd = mode == BlackOnWhite;
        return mergeAxis(mergeAxis(rgb, reduced.width(), true, useAnd), reduced.height(), false, useAnd);
    }
    case Halftone: return rgb.scaled(reduced, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    default: // ColorOnColor: the painter picks the nearest pixels
        return rgb;
    }
}

void paintStretched(QPainter& painter, const QRect& target, const QImage& reduced, int mode)
{
    if (reduced.isNull() || target.isEmpty())
        return;
    painter.save();
    painter.setRenderHint(QPainter::SmoothPixmapTransform, mode == Halftone);
    painter.drawImage(QRectF(target), reduced, QRectF(reduced.rect()));
    painter.restore();
}

QImage renderStretched(const QImage& source, QSize size, int mode)
{
    if (size.isEmpty() || qint64(size.width()) * size.height() > kMaxPicturePixels)
        return {};
    QImage picture(size, QImage::Format_RGB32);
    if (picture.isNull())
        return {};
    picture.fill(Qt::white);
    QPainter painter(&picture);
    paintStretched(painter, picture.rect(), reduceForStretch(source, size, mode), mode);
    painter.end();
    return picture;
}

} // namespace korvane::drawingviewer
