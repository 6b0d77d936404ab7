#pragma once

#include <QImage>
#include <QSize>

class QPainter;
class QRect;

namespace korvane::drawingviewer {

/// The Windows stretch-blit modes the viewer offers.
enum StretchMode {
    BlackOnWhite = 1, ///< shrinking ANDs the merged pixels: dark lines on a light ground survive
    WhiteOnBlack = 2, ///< shrinking ORs them: light lines on a dark ground survive
    ColorOnColor = 3, ///< shrinking drops pixels (nearest pixel)
    Halftone = 4,     ///< smooth scaling both ways
};

bool isStretchMode(int mode);

/// The source brought down, with the mode's rule, to at most `target` along each axis;
/// axes that grow are left alone. The result is what paintStretched() draws.
QImage reduceForStretch(const QImage& source, QSize target, int mode);

/// Draws an image made by reduceForStretch() to fill `target`: smooth for Halftone,
/// nearest pixel otherwise. Only the painter's clip region costs work, so huge zoomed
/// targets are cheap to paint.
void paintStretched(QPainter& painter, const QRect& target, const QImage& reduced, int mode);

/// The whole picture at `size` on a white ground, exactly as the control paints it; a null
/// image when `size` is empty or too large to hold in memory.
QImage renderStretched(const QImage& source, QSize size, int mode);

/// Largest picture renderStretched() makes (256 MB of RGB32).
constexpr qint64 kMaxPicturePixels = qint64(64) * 1024 * 1024;

} // namespace korvane::drawingviewer
