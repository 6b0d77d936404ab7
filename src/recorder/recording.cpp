#include "recorder/recording.h"

#include "platform/nativepath.h"
#include "recorder/filedatabase.h"



#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvane::recorder {

using platform::EntryKind;
using platform::NativePath;

namespace {

/// "*.txt", "*.tar.gz": a pattern that only looks at the name's end after a dot.
bool isPlainSuffixPattern(const QString& pattern)
{
    if (!pattern.startsWith(QLatin1String("*.")))
        return false;
    for (qsizetype i = 2; i < pattern.size(); ++i) {
        const QChar c = pattern[i];
        if (c == u'*' || c == u'?' || c == u'[' || c == u'\\')
            return false;
    }
    return true;
}

} // namespace

TypeDescriber::TypeDescriber()
{
    // Qt compiles a regular expression per pattern and name for the few patterns that are not
    // plain suffixes, which makes a folder of 100,000 files slow. A name that none of them can
    // match gets its type from its plain suffixes alone, and those all lie within the part from
    // its first ".": names that share that part share the type, so it is looked up once.
    QStringList special;
    for (const QMimeType& type : m_mime.allMimeTypes()) {
        for (const QString& pattern : type.globPatterns()) {
            if (!isPlainSuffixPattern(pattern))
                special.append(QStringLiteral("(?:%1)").arg(QRegularExpression::wildcardToRegularExpression(
                    pattern, QRegularExpression::UnanchoredWildcardConversion)));
        }
    }
    m_special.setPattern(QStringLiteral("\\A(?:%1)\\z").arg(special.join(u'|')));
    m_special.setPatternOptions(QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption);
    m_special.optimize();
}

QString TypeDescriber::describe(const QString& fileName)
{
    const qsizetype dot = fileName.indexOf(u'.');
    const bool byTail = dot > 0 && m_special.isValid() && !m_special.match(fileName).hasMatch();
    const QString tail = byTail ? fileName.mid(dot) : QString();
    if (byTail) {
        const auto known = m_byTail.constFind(tail);
        if (known != m_byTail.constEnd())
            return *known;
    }
    const QMimeType type = m_mime.mimeTypeForFile(fileName, QMimeDatabase::MatchExtension);
    auto comment = m_comments.constFind(type.name());
    if (comment == m_comments.constEnd())
        comment = m_comments.insert(type.name(), type.comment());
    if (byTail)
        m_byTail.insert(tail, *comment);
    return *comment;
}

namespace {

/// An open folder, for reading its files' properties without walking the folder's path again
/// for each file.
class FolderHandle {
public:
    explicit FolderHandle(const NativePath& folder) : m_fd(::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}
    ~FolderHandle()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FolderHandle(const FolderHandle&) = delete;
    FolderHandle& operator=(const FolderHandle&) = delete;

    /// Size and modification time of a file in the folder; a link gives the file it points to.
    void read(const QByteArray& name, FileRow& row) const
    {
        struct stat st {};
        if (m_fd < 0 || ::fstatat(m_fd, name.constData(), &st, 0) != 0)
            return;
        row.size = qint64(st.st_size);
        // UTC here: a local-time QDateTime re-reads the time zone for every file.
        row.modified = QDateTime::fromSecsSinceEpoch(st.st_mtim.tv_sec, Qt::UTC);
    }

private:
    int m_fd;
};

} // namespace

RecordReport recordFolder(platform::FileSystem& fs, FileDatabase& db, const NativePath& folder, TypeDescriber& types,
                          platform::RunControl* control)
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
    if (control)
        control->setTotal(report.files);

    if (!db.beginRun())
        return report;
    const FolderHandle properties(folder);
    int stored = 0;
    for (const platform::DirEntry& entry : *entries) {
        if (entry.kind != EntryKind::File)
            continue;
        if (control && control->stopRequested()) {
            db.rollbackRun();
            report.stopped = true;
            return report;
        }
        const QString name = platform::displayPath(entry.name);
        if (control)
            control->begin(name);
        FileRow row;
        row.name = name;
        row.type = types.describe(name);
        properties.read(entry.name, row);
        row.shortName = name; // no 8.3 names here
        if (!db.appendFileRow(row)) {
            // A failed insert may have ended the transaction: keep the run all-or-nothing.
            db.rollbackRun();
            return report;
        }
        ++stored;
        if (control)
            control->advance();
    }
    if (db.commitRun())
        report.stored = stored;
    return report;
}

} // namespace korvane::recorder
