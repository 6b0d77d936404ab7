#include "thumbnailer/dwgthumbnailer.h"

#include "drawingviewer/dwgpreview.h"
#include "platform/uniquefd.h"

#include <QBuffer>
#include <QFile>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvane::thumbnailer {

namespace {

using platform::UniqueFd;

bool writeAll(int fd, const QByteArray& bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t w = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        done += w;
    }
    return true;
}

/// Writes into the file the caller made. tumbler keeps its own descriptor of OUTPUT and reads
/// the picture back through it, so a new inode renamed over the name would never reach it.
bool writeInPlace(UniqueFd fd, const QByteArray& png)
{
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return false;
    const bool regular = S_ISREG(st.st_mode);
    if (regular && ::ftruncate(fd.get(), 0) != 0)
        return false;
    if (writeAll(fd.get(), png) && (!regular || ::fdatasync(fd.get()) == 0) && ::close(fd.release()) == 0)
        return true;
    // No partial PNG: an empty file is what a reader can tell from a thumbnail.
    if (regular && fd.valid())
        (void)!::ftruncate(fd.get(), 0);
    return false;
}

/// A new OUTPUT appears whole or not at all: written beside it, then renamed into place.
bool writeNew(const QByteArray& output, const QByteArray& png)
{
    const qsizetype slash = output.lastIndexOf('/');
    QByteArray temporary = output.left(slash + 1) + '.' + output.mid(slash + 1) + ".XXXXXX";
    UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd.valid())
        return false;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(fd.get(), 0666 & ~mask) == 0 && writeAll(fd.get(), png) && ::fdatasync(fd.get()) == 0 &&
        ::close(fd.release()) == 0 && ::rename(temporary.constData(), output.constData()) == 0)
        return true;
    ::unlink(temporary.constData());
    return false;
}

} // namespace

Thumbnail loadThumbnail(const QString& drawing, int size)
{
    if (size < 1)
        return {};
    const drawingviewer::DwgPreview preview = dwgformat::readPreview(drawing, nullptr, kMaxEntryBytes);
    // Checked before decoding, so a small entry cannot demand a huge picture.
    const QSize declared = drawingviewer::previewImageSize(preview);
    if (!declared.isValid() || qint64(declared.width()) * declared.height() > kMaxPixels)
        return {{}, declared.isValid() ? QString() : drawingviewer::previewNotice(preview, false)};
    const QImage image = drawingviewer::decodePreview(preview);
    if (image.isNull())
        return {{}, drawingviewer::previewNotice(preview, false)};
    if (image.width() <= size && image.height() <= size)
        return {image, {}};
    return {image.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation), {}};
}

Outcome writeThumbnail(const QString& drawing, const QString& output, int size)
{
    return writeThumbnail(thumbnailImage(drawing, size), output);
}

Outcome writeThumbnail(const QImage& image, const QString& output)
{
    if (image.isNull())
        return Outcome::NoPreview;
    // Encoded whole before OUTPUT is touched, so an encoder failure changes nothing.
    QByteArray png;
    QBuffer buffer(&png);
    if (!buffer.open(QIODevice::WriteOnly) || !image.save(&buffer, "PNG"))
        return Outcome::Unwritable;
    const QByteArray path = QFile::encodeName(output);
    UniqueFd existing(::open(path.constData(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
    if (existing.valid())
        return writeInPlace(std::move(existing), png) ? Outcome::Written : Outcome::Unwritable;
    if (errno != ENOENT)
        return Outcome::Unwritable;
    return writeNew(path, png) ? Outcome::Written : Outcome::Unwritable;
}

} // namespace korvane::thumbnailer
