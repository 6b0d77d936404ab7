#include "drawingviewer/dwgpreview.h"

#include <QBuffer>
#include <QImageReader>
#include <QPainter>
#include <QtEndian>

#include <optional>

namespace korvane::drawingviewer {

using namespace dwgformat;

namespace {

QImage decodeUncompressedDib(const char* dib, const DibLayout& d)
{
    QImage image(d.width, d.height, QImage::Format_RGB32);
    if (image.isNull())
        return {};
    // The fourth byte of palette entries and 32-bit pixels is not alpha: treat all as opaque.
    QList<QRgb> palette(qsizetype(d.colours));
    for (quint32 i = 0; i < d.colours; ++i) {
        const auto* e = reinterpret_cast<const unsigned char*>(dib + d.paletteOffset + 4 * qint64(i));
        palette[i] = qRgb(e[2], e[1], e[0]);
    }
    const auto lookup = [&](unsigned index) -> QRgb { return index < d.colours ? palette[index] : qRgb(0, 0, 0); };
    for (int row = 0; row < d.height; ++row) {
        const auto* src = reinterpret_cast<const unsigned char*>(dib + d.pixelOffset + row * d.stride);
        auto* dst = reinterpret_cast<QRgb*>(image.scanLine(d.topDown ? row : d.height - 1 - row));
        for (int x = 0; x < d.width; ++x) {
            switch (d.bitsPerPixel) {
            case 1: dst[x] = lookup((src[x >> 3] >> (7 - (x & 7))) & 1); break;
            case 4: dst[x] = lookup((x & 1) ? (src[x >> 1] & 0x0F) : (src[x >> 1] >> 4)); break;
            case 8: dst[x] = lookup(src[x]); break;
            case 16: {
                const unsigned v = qFromLittleEndian<quint16>(src + 2 * x); // 5-5-5
                const auto expand = [](unsigned c) { return int((c << 3) | (c >> 2)); };
                dst[x] = qRgb(expand((v >> 10) & 31), expand((v >> 5) & 31), expand(v & 31));
                break;
            }
            case 24: dst[x] = qRgb(src[3 * x + 2], src[3 * x + 1], src[3 * x]); break;
            default: // 32
                dst[x] = qRgb(src[4 * x + 2], src[4 * x + 1], src[4 * x]);
                break;
            }
        }
    }
    return image;
}

QImage decodeBmpFile(const QByteArray& file)
{
    if (file.size() <= kBitmapFileHeaderBytes || file[0] != 'B' || file[1] != 'M')
        return {};
    const char* dib = file.constData() + kBitmapFileHeaderBytes;
    const qint64 dibSize = file.size() - kBitmapFileHeaderBytes;
    const std::optional<DibLayout> d = inspectDib(dib, dibSize);
    if (!d)
        return {};
    if (d->compression == kBiRgb)
        return decodeUncompressedDib(dib, *d);
    // Run-length and bit-field images are rare in previews; Qt's reader handles them, bounded
    // by the buffer it is given.
    QBuffer buffer;
    buffer.setData(file);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "bmp");
    QImage image = reader.read();
    if (image.isNull() || image.width() != d->width || image.height() != d->height)
        return {};
    return image.convertToFormat(QImage::Format_RGB32);
}

QImage decodePng(const QByteArray& png)
{
    QBuffer buffer;
    buffer.setData(png);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "png");
    const QSize size = reader.size();
    if (!size.isValid() || size.width() > kMaxPreviewSide || size.height() > kMaxPreviewSide ||
        qint64(size.width()) * size.height() > kMaxPreviewPixels)
        return {};
    const QImage image = reader.read();
    if (image.isNull())
        return {};
    if (!image.hasAlphaChannel())
        return image.convertToFormat(QImage::Format_RGB32);
    // Transparent parts show the control's white background.
    QImage opaque(image.size(), QImage::Format_RGB32);
    opaque.fill(Qt::white);
    QPainter painter(&opaque);
    painter.drawImage(0, 0, image);
    painter.end();
    return opaque;
}

} // namespace

QSize previewImageSize(const DwgPreview& preview)
{
    switch (preview.format) {
    case PreviewFormat::Bmp:
        if (preview.bytes.size() > kBitmapFileHeaderBytes) {
            const auto d = inspectDib(preview.bytes.constData() + kBitmapFileHeaderBytes,
                                      preview.bytes.size() - kBitmapFileHeaderBytes);
            if (d)
                return QSize(d->width, d->height);
        }
        break;
    case PreviewFormat::Png: {
        QBuffer buffer;
        buffer.setData(preview.bytes);
        buffer.open(QIODevice::ReadOnly);
        return QImageReader(&buffer, "png").size();
    }
    case PreviewFormat::Wmf:
    case PreviewFormat::None: break;
    }
    return {};
}

QImage decodePreview(const DwgPreview& preview)
{
    switch (preview.format) {
    case PreviewFormat::Bmp: return decodeBmpFile(preview.bytes);
    case PreviewFormat::Png: return decodePng(preview.bytes);
    case PreviewFormat::Wmf: // no sound metafile renderer in Qt: shown as "no preview"
    case PreviewFormat::None: break;
    }
    return {};
}

QImage loadPreviewImage(const QString& path, platform::RunControl* control)
{
    return decodePreview(readPreview(path, control));
}

QString previewNotice(const DwgPreview& preview, bool decoded)
{
    if (decoded)
        return {};
    switch (preview.failure) {
    case PreviewFailure::None:
        // Found but not shown: a metafile is not rendered; a bitmap or PNG that fails to decode
        // is damaged.
        return preview.format == PreviewFormat::Wmf ? QString() : QStringLiteral("图纸的预览已损坏");
    case PreviewFailure::Encrypted: return QStringLiteral("图纸的预览已加密");
    case PreviewFailure::OldVersion:
    case PreviewFailure::NoPointer:
    case PreviewFailure::NoImage: return QStringLiteral("此图纸没有保存预览图");
    case PreviewFailure::PointerOutside:
    case PreviewFailure::BadSentinel:
    case PreviewFailure::BadDirectory:
    case PreviewFailure::BadEndSentinel:
    case PreviewFailure::EntryOutside:
    case PreviewFailure::BadImage:
    case PreviewFailure::EntryTooLarge: return QStringLiteral("图纸的预览已损坏");
    case PreviewFailure::Unreadable:
    case PreviewFailure::TooShort:
    case PreviewFailure::NotADrawing: break;
    }
    return {};
}

LoadedPreview loadPreview(const QString& path, platform::RunControl* control)
{
    const DwgPreview preview = readPreview(path, control);
    LoadedPreview loaded{decodePreview(preview), {}};
    loaded.notice = previewNotice(preview, !loaded.image.isNull());
    return loaded;
}

} // namespace korvane::drawingviewer
