#include "recorder/recording.h"

#include "platform/nativepath.h"
#include "recorder/filedatabase.h"

#include <sys/stat.h>

namespace korvane::recorder {

using platform::EntryKind;
using platform::NativePath;

QString TypeDescriber::describe(const QString& fileName)
{
    const QMimeType type = m_mime.mimeTypeForFile(fileName, QMimeDatabase::MatchExtension);
    const auto cached = m_comments.constFind(type.name());
    if (cached != m_comments.constEnd())
        return *cached;
    return *m_comments.insert(type.name(), type.comment());
}

namespace {

struct Properties {
    std::optional<qint64> size;
    std::optional<QDateTime> modified;
};

Properties propertiesOf(platform::FileSystem& fs, const NativePath& path)
{
    Properties props;
    const std::optional<platform::FileInfo> info = fs.info(path);
    if (!info)
        return props;
    if (info->isSymlink) {
        // The size that matters is the content's, not the link's.
        struct stat target {};
        if (::stat(path.constData(), &target) != 0)
            return props;
        props.size = qint64(target.st_size);
        props.modified = QDateTime::fromMSecsSinceEpoch(qint64(target.st_mtim.tv_sec) * 1000
                                                       + target.st_mtim.tv_nsec / 1000000);
        return props;
    }
    props.size = info->size;
    if (info->modified.isValid())
        props.modified = info->modified;
    return props;
}

} // namespace

RecordReport recordFolder(platform::FileSystem& fs, FileDatabase& db, const NativePath& folder, TypeDescriber& types)
{
    RecordReport report;
    const auto entries = fs.list(folder);
    if (!entries) {
        report.recorded = true; // cannot be opened: nothing stored, but the run is reported
        return report;
    }
    for (const platform::DirEntry& entry : *entries) {
        if (entry.kind == EntryKind::File)
            ++report.files;
    }
    if (report.files == 0)
        return report;
    report.recorded = true;

    if (!db.beginRun())
        return report;
    int stored = 0;
    for (const platform::DirEntry& entry : *entries) {
        if (entry.kind != EntryKind::File)
            continue;
        const QString name = platform::displayPath(entry.name);
        const Properties props = propertiesOf(fs, platform::joinPath(folder, entry.name));
        FileRow row;
        row.name = name;
        row.type = types.describe(name);
        row.size = props.size;
        row.modified = props.modified;
        row.shortName = name; // no 8.3 names here
        if (!db.appendFileRow(row)) {
            // A failed insert may have ended the transaction: keep the run all-or-nothing.
            db.rollbackRun();
            return report;
        }
        ++stored;
    }
    if (db.commitRun())
        report.stored = stored;
    return report;
}

} // namespace korvane::recorder
