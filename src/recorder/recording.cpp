#include "recorder/recording.h"

#include "platform/nativepath.h"
#include "platform/uniquefd.h"
#include "recorder/filedatabase.h"

#include <algorithm>
#include <fcntl.h>
#include <future>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace korvane::recorder {

using platform::EntryKind;
using platform::NativePath;

namespace {

bool isWildcard(QChar c)
{
    return c == u'*' || c == u'?' || c == u'[' || c == u'\\';
}

/// Lower case, without a call for the common ASCII characters.
inline char16_t folded(QChar c)
{
    const char16_t u = c.unicode();
    if (u < 0x80)
        return u >= u'A' && u <= u'Z' ? char16_t(u + 32) : u;
    return c.toLower().unicode();
}

/// Shell-style matching of a lower-cased pattern ("*", "?", "[1-9j]", "[!0-9]") against a
/// name, case ignored: the syntax of shared-mime-info's globs.
bool globMatches(QStringView pattern, QStringView name)
{
    qsizetype p = 0;
    qsizetype n = 0;
    qsizetype starP = -1;
    qsizetype starN = 0;
    while (n < name.size()) {
        if (p < pattern.size()) {
            const QChar c = pattern[p];
            const QChar ch(folded(name[n]));
            // The database reads some sets as "any digit" (QChar::isDigit: Arabic-Indic,
            // full-width…): a set may match any character that is not ASCII.
            if (c == u'[' && ch.unicode() >= 0x80) {
                qsizetype q = p + 1;
                while (q < pattern.size() && (pattern[q] != u']' || q == p + 1))
                    ++q;
                if (q < pattern.size()) {
                    p = q + 1;
                    ++n;
                    continue;
                }
            }
            if (c == u'*') {
                starP = p++;
                starN = n;
                continue;
            }
            if (c == u'?') {
                ++p;
                ++n;
                continue;
            }
            if (c == u'[') {
                qsizetype q = p + 1;
                const bool negated = q < pattern.size() && (pattern[q] == u'!' || pattern[q] == u'^');
                if (negated)
                    ++q;
                bool inSet = false;
                const qsizetype first = q;
                while (q < pattern.size() && (pattern[q] != u']' || q == first)) {
                    if (q + 2 < pattern.size() && pattern[q + 1] == u'-' && pattern[q + 2] != u']') {
                        inSet = inSet || (ch >= pattern[q] && ch <= pattern[q + 2]);
                        q += 3;
                    } else {
                        inSet = inSet || ch == pattern[q];
                        ++q;
                    }
                }
                if (q < pattern.size() && inSet != negated) {
                    p = q + 1;
                    ++n;
                    continue;
                }
                if (q >= pattern.size() && ch == c) { // no closing "]": a plain "["
                    ++p;
                    ++n;
                    continue;
                }
            } else if (c == ch) {
                ++p;
                ++n;
                continue;
            }
        }
        if (starP < 0)
            return false;
        p = starP + 1;
        n = ++starN;
    }
    while (p < pattern.size() && pattern[p] == u'*')
        ++p;
    return p == pattern.size();
}

} // namespace

TypeDescriber::TypeDescriber() : m_suffixes(1)
{
    for (const QMimeType& type : m_mime.allMimeTypes()) {
        for (const QString& written : type.globPatterns()) {
            const QString pattern = written.toLower();
            const bool suffix = pattern.size() > 1 && pattern[0] == u'*' &&
                                std::none_of(pattern.begin() + 1, pattern.end(), isWildcard);
            if (suffix) {
                int node = 0;
                for (qsizetype i = pattern.size() - 1; i >= 1; --i) {
                    const char16_t c = pattern[i].unicode();
                    auto& children = m_suffixes[size_t(node)].children;
                    auto child = std::find_if(children.begin(), children.end(),
                                              [c](const auto& entry) { return entry.first == c; });
                    if (child != children.end()) {
                        node = child->second;
                    } else {
                        const int added = int(m_suffixes.size());
                        children.emplace_back(c, added);
                        m_suffixes.emplace_back();
                        node = added;
                    }
                }
                m_suffixes[size_t(node)].end = true;
            } else if (std::none_of(pattern.begin(), pattern.end(), isWildcard)) {
                m_literals.insert(pattern);
                m_literalLengths |= pattern.size() < 64 ? quint64(1) << pattern.size() : 0;
            } else if (!m_wildcards.contains(pattern)) {
                m_wildcards.append(pattern);
            }
        }
    }
}

TypeDescriber::KnownSuffix TypeDescriber::knownSuffix(QStringView name) const
{
    KnownSuffix longest;
    int node = 0;
    for (qsizetype i = name.size() - 1; i >= 0; --i) {
        const char16_t c = folded(name[i]);
        const auto& children = m_suffixes[size_t(node)].children;
        const auto child =
            std::find_if(children.begin(), children.end(), [c](const auto& entry) { return entry.first == c; });
        if (child == children.end())
            break;
        if (i == 0) {
            // Whether "*.txt" matches ".txt" differs between the database's back ends.
            longest.wholeName = true;
            break;
        }
        node = child->second;
        if (m_suffixes[size_t(node)].end)
            longest = {node, name.size() - i};
    }
    return longest;
}

bool TypeDescriber::mayMatchOtherPattern(QStringView name) const
{
    if (name.size() < 64 && (m_literalLengths >> name.size() & 1) && m_literals.contains(name.toString().toLower()))
        return true;
    return std::any_of(m_wildcards.begin(), m_wildcards.end(),
                       [name](const QString& pattern) { return globMatches(pattern, name); });
}

QString TypeDescriber::commentOf(const QMimeType& type)
{
    auto comment = m_comments.constFind(type.name());
    if (comment == m_comments.constEnd())
        comment = m_comments.insert(type.name(), type.comment());
    return *comment;
}

QString TypeDescriber::commentFor(const QString& fileName)
{
    return commentOf(m_mime.mimeTypeForFile(fileName, QMimeDatabase::MatchExtension));
}

bool TypeDescriber::followsFromSuffix(const QMimeType& type, QStringView written)
{
    // No known ending: only "no pattern matched" may stand for every such name.
    if (written.isEmpty())
        return type.isDefault();
    const QStringList globs = type.globPatterns();
    return std::any_of(globs.begin(), globs.end(), [written](const QString& glob) {
        return glob.startsWith(u'*') && written.endsWith(QStringView(glob).mid(1), Qt::CaseInsensitive);
    });
}

QString TypeDescriber::describe(const QString& fileName)
{
    // U+0130 is the one character whose lower case is two (the database lowers whole names),
    // which moves every comparison after it.
    if (fileName.contains(QChar(0x130)) || mayMatchOtherPattern(fileName))
        return commentFor(fileName);
    // Some patterns count case ("*.C" is C++, "*.c" is C): the suffix is compared as written.
    const KnownSuffix known = knownSuffix(fileName);
    if (known.wholeName)
        return commentFor(fileName);
    const QStringView written = QStringView(fileName).right(known.length);
    auto& described = m_suffixes[size_t(known.node)].described;
    for (const auto& [suffix, comment] : described) {
        if (suffix == written)
            return comment;
    }
    const QMimeType type = m_mime.mimeTypeForFile(fileName, QMimeDatabase::MatchExtension);
    const QString comment = commentOf(type);
    // Kept for the ending only when the answer came from it: an answer that some other pattern
    // gave would otherwise stand for every later name with that ending.
    if (followsFromSuffix(type, written))
        described.emplace_back(written.toString(), comment);
    return comment;
}

namespace {

/// An open folder, for reading its files' properties without walking the folder's path again
/// for each file.
class FolderHandle {
public:
    explicit FolderHandle(const NativePath& folder)
        : m_fd(::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    {}

    /// Size and modification time of a file in the folder; a link gives the file it points to.
    void read(const QByteArray& name, StoredRow& row) const
    {
        struct stat st {};
        if (!m_fd.valid() || ::fstatat(m_fd.get(), name.constData(), &st, 0) != 0)
            return;
        row.size = qint64(st.st_size);
        row.modified = FileDatabase::storedDateTime(st.st_mtim.tv_sec);
    }

private:
    platform::UniqueFd m_fd;
};

/// The names of the files among the entries, in listing order.
std::vector<const QByteArray*> fileNames(const std::vector<platform::DirEntry>& entries, size_t files)
{
    std::vector<const QByteArray*> names;
    names.reserve(files);
    for (const platform::DirEntry& entry : entries) {
        if (entry.kind == EntryKind::File)
            names.push_back(&entry.name);
    }
    return names;
}

/// Prepares the rows of the files in batches. Storing a batch's rows takes about as long as
/// describing its files plus reading half of their properties: three threads prepare the next
/// batch (names and types; the sizes and times of each half) while the caller stores the last.
struct RowBatches {
    static constexpr size_t kSize = 2048;
    struct Batch {
        std::unique_ptr<std::vector<StoredRow>> rows;
        std::future<void> described;
        std::future<void> read[2];
    };

    const std::vector<const QByteArray*>& names;
    TypeDescriber& types;
    const FolderHandle& properties;
    const platform::RunControl* control;

    bool stopRequested() const { return control && control->stopRequested(); }

    /// Starts the batch of the files from `begin`; it must end before this object goes.
    Batch launch(size_t begin) const
    {
        const size_t end = std::min(begin + kSize, names.size());
        Batch batch{std::make_unique<std::vector<StoredRow>>(end - begin), {}, {}};
        const size_t middle = begin + (end - begin) / 2;
        std::vector<StoredRow>* rows = batch.rows.get();
        batch.described = std::async(kPolicy, [this, rows, begin, end] {
            QString lastType;
            QByteArray lastTypeBytes;
            for (size_t i = begin; i < end && !stopRequested(); ++i) {
                StoredRow& row = (*rows)[i - begin];
                const QByteArray& raw = *names[i];
                const QString name = platform::displayPath(raw);
                // A UTF-8 name is stored as its own bytes: no conversion there and back.
                row.name = platform::isValidUtf8(raw) ? raw : name.toUtf8();
                row.shortName = row.name; // no 8.3 names here
                const QString type = types.describe(name);
                // Descriptions come from the describer's cache: most rows share the last one.
                if (lastTypeBytes.isNull() || (type.constData() != lastType.constData() && type != lastType)) {
                    lastType = type;
                    lastTypeBytes = type.toUtf8();
                    if (lastTypeBytes.isNull())
                        lastTypeBytes = QByteArray("", 0); // an empty text, not null
                }
                row.type = lastTypeBytes;
            }
        });
        batch.read[0] = read(rows, begin, begin, middle);
        batch.read[1] = read(rows, begin, middle, end);
        return batch;
    }

private:
    static constexpr auto kPolicy = std::launch::async | std::launch::deferred;

    std::future<void> read(std::vector<StoredRow>* rows, size_t begin, size_t from, size_t to) const
    {
        return std::async(kPolicy, [this, rows, begin, from, to] {
            for (size_t i = from; i < to && !stopRequested(); ++i)
                properties.read(*names[i], (*rows)[i - begin]);
        });
    }
};

} // namespace

RecordReport recordFolder(platform::FileSystem& fs, FileDatabase& db, const NativePath& folder, TypeDescriber& types,
                          platform::RunControl* control, const std::optional<QString>& logAs)
{
    RecordReport report;
    const auto entries = fs.list(folder);
    if (!entries) {
        // Cannot be opened: nothing stored, but the run is reported and logged, which needs a
        // database that can take the log row.
        report.recorded = true;
        if (!db.isOpen())
            report.store = db.openStatus();
        else if (db.isReadOnly())
            report.store = platform::Status::failure(platform::ErrorKind::ReadOnly);
        else if (logAs)
            report.store = db.appendLogRow(*logAs, QDateTime::currentDateTime());
        report.logged = logAs && report.store;
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

    if (platform::Status begun = db.beginRun(); !begun) {
        report.store = std::move(begun);
        return report;
    }
    const FolderHandle properties(folder);
    const std::vector<const QByteArray*> names = fileNames(*entries, size_t(report.files));
    const RowBatches batches{names, types, properties, control};
    RowBatches::Batch next = batches.launch(0);
    int stored = 0;
    for (size_t begin = 0; begin < names.size(); begin += RowBatches::kSize) {
        next.described.get();
        next.read[0].get();
        next.read[1].get();
        const std::vector<StoredRow> rows = std::move(*next.rows);
        if (batches.stopRequested()) {
            db.rollbackRun();
            report.stopped = true;
            return report;
        }
        if (begin + RowBatches::kSize < names.size())
            next = batches.launch(begin + RowBatches::kSize);
        if (control && !rows.empty())
            control->begin(QString::fromUtf8(rows.back().name));
        if (platform::Status appended = db.appendFileRows(rows.data(), rows.size()); !appended) {
            // A failed insert may have ended the transaction: keep the run all-or-nothing.
            // (`next` finishes its batch before it goes.)
            db.rollbackRun();
            report.store = std::move(appended);
            return report;
        }
        stored += int(rows.size());
        if (control)
            control->advance(qint64(rows.size()));
    }
    if (logAs) {
        if (platform::Status logged = db.appendLogRow(*logAs, QDateTime::currentDateTime()); !logged) {
            db.rollbackRun();
            report.store = std::move(logged);
            return report;
        }
    }
    report.store = db.commitRun();
    if (report.store) {
        report.stored = stored;
        report.logged = logAs.has_value();
    }
    return report;
}

} // namespace korvane::recorder
