#pragma once

#include "dwgformat/previewlocator.h"
#include "platform/runcontrol.h"

#include <QImage>
#include <QSize>
#include <QString>

namespace korvane::drawingviewer {

// Finding and checking the stored bytes is the drawing format's business; showing them is ours.
using dwgformat::DwgHeader;
using dwgformat::DwgPreview;
using dwgformat::PreviewFailure;
using dwgformat::PreviewFormat;

/// The pixel size a preview declares (from the bitmap header or the PNG header), without
/// decoding it; invalid when unknown (no preview, a metafile, a malformed header).
QSize previewImageSize(const DwgPreview& preview);

/// Decodes a preview into an opaque RGB32 image; a null image when it cannot be shown
/// (no preview, a malformed picture, or a metafile, which is not rendered).
QImage decodePreview(const DwgPreview& preview);

/// readPreview() then decodePreview().
QImage loadPreviewImage(const QString& path, platform::RunControl* control = nullptr);

/// What stands in place of a preview that cannot be shown: "图纸的预览已加密", "此图纸没有保存预览图"
/// or "图纸的预览已损坏". "" when the picture is shown (`decoded`), for a metafile (found, not
/// rendered), and for a file that cannot be read or is no drawing, which shows nothing.
QString previewNotice(const DwgPreview& preview, bool decoded);

/// A preview decoded for the viewer, with the notice shown when the image is null.
struct LoadedPreview {
    QImage image;
    QString notice;
};
LoadedPreview loadPreview(const QString& path, platform::RunControl* control = nullptr);

} // namespace korvane::drawingviewer
