#pragma once

#include <QImage>
#include <QString>

namespace korvane::thumbnailer {

/// Bounds that keep one thumbnail within a few tens of megabytes whatever the drawing declares:
/// the stored entry and the decoded picture. Real previews are far smaller (a few hundred
/// pixels a side).
inline constexpr qint64 kMaxEntryBytes = qint64(8) << 20;
inline constexpr qint64 kMaxPixels = qint64(2048) * 2048;

enum class Outcome {
    Written,   ///< the PNG is in place
    NoPreview, ///< no usable preview (none stored, a metafile, malformed, beyond the bounds)
    Unwritable ///< the output could not be written
};

/// A thumbnail, or why the drawing has none that can be shown.
struct Thumbnail {
    QImage image;
    /// With a null image: "图纸的预览已加密", "此图纸没有保存预览图", "图纸的预览已损坏", or "" (no
    /// drawing, a metafile, a picture beyond the bounds).
    QString notice;
};

/// The drawing's stored preview, decoded and brought down smoothly to fit `size` × `size`
/// (never enlarged); a null image when there is no usable preview.
Thumbnail loadThumbnail(const QString& drawing, int size);
inline QImage thumbnailImage(const QString& drawing, int size)
{
    return loadThumbnail(drawing, size).image;
}

/// Writes the thumbnail of `drawing` to `output` as PNG, encoded whole in memory first. An
/// existing `output` is written in place (its inode kept: callers such as tumbler read it back
/// through a descriptor they hold); a failure leaves it empty. A new `output` is written under a
/// temporary name and renamed into place, so it exists only when the outcome is Written. Any
/// failed write, flush or close is Unwritable, never Written.
Outcome writeThumbnail(const QString& drawing, const QString& output, int size);
/// The same with the thumbnail made; a null image is NoPreview and leaves `output` alone.
Outcome writeThumbnail(const QImage& image, const QString& output);

} // namespace korvane::thumbnailer
