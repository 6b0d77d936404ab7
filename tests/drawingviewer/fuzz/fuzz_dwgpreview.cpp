// libFuzzer target for the drawing preview reader: any bytes, as a drawing and as a bare DIB.
#include "drawingviewer/dwgpreview.h"
#include "drawingviewer/stretch.h"

#include <QByteArray>
#include <QImage>
#include <QtGlobal>

#include <cstddef>
#include <cstdint>

using namespace korvane::drawingviewer;

namespace {

void exercise(const DwgPreview& preview)
{
    const QImage image = decodePreview(preview);
    if (image.isNull())
        return;
    // Merging runs of pixels indexes by computed bounds; shrink by odd factors in both modes.
    for (int mode : {1, 2})
        (void)reduceForStretch(image, QSize(qMax(1, image.width() / 3), qMax(1, image.height() / 2 + 1)), mode);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Qt's image readers warn about broken input; the noise would slow the run down. (libpng's
    // own "libpng error" lines go to stderr directly and remain.)
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // No copy: ASan sees any read past the fuzzer's exactly sized buffer.
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    exercise(extractPreview(bytes));

    DwgPreview asBitmap;
    asBitmap.format = PreviewFormat::Bmp;
    asBitmap.bytes = bitmapFileFromDib(bytes);
    if (!asBitmap.bytes.isEmpty())
        exercise(asBitmap);
    return 0;
}
