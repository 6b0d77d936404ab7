#include "thumbnailer/dwgthumbnailer.h"

#include "drawingviewer/dwgpreview.h"

#include <QSaveFile>

namespace korvane::thumbnailer {

QImage thumbnailImage(const QString& drawing, int size)
{
    if (size < 1)
        return {};
    const drawingviewer::DwgPreview preview = drawingviewer::readPreview(drawing, nullptr, kMaxEntryBytes);
    // Checked before decoding, so a small entry cannot demand a huge picture.
    const QSize declared = drawingviewer::previewImageSize(preview);
    if (!declared.isValid() || qint64(declared.width()) * declared.height() > kMaxPixels)
        return {};
    const QImage image = drawingviewer::decodePreview(preview);
    if (image.isNull())
        return {};
    if (image.width() <= size && image.height() <= size)
        return image;
    return image.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

Outcome writeThumbnail(const QString& drawing, const QString& output, int size)
{
    const QImage image = thumbnailImage(drawing, size);
    if (image.isNull())
        return Outcome::NoPreview;
    QSaveFile file(output);
    if (!file.open(QIODevice::WriteOnly) || !image.save(&file, "PNG") || !file.commit())
        return Outcome::Unwritable;
    return Outcome::Written;
}

} // namespace korvane::thumbnailer
