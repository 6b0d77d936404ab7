#include "recorder/recording.h"

#include "platform/nativepath.h"
#include "recorder/filedatabase.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

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
    FolderHandle(platform::FileSystem& fs, const NativePath& folder)
    {
        if (platform::Result<std::unique_ptr<platform::OpenFolder>> opened = fs.openFolder(folder))
            m_folder = std::move(*opened);
    }

    /// Size and modification time of a file in the folder; a link gives the file it points to.
    /// A file that cannot be looked at keeps both empty.
    void read(const QByteArray& name, StoredRow& row) const
    {
        if (!m_folder)
            return;
        const platform::Result<platform::FileInfo> info = m_folder->info(name, platform::Links::Follow);
        if (!info)
            return;
        row.size = info->size;
        // Whole seconds rounded down, also before 1970 (toSecsSinceEpoch rounds towards zero).
        const qint64 ms = info->modified.toMSecsSinceEpoch();
        row.modified = FileDatabase::storedDateTime(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
    }

private:
    std::unique_ptr<platform::OpenFolder> m_folder;
};

/// The folder's file names, read on a thread of its own and handed over in pieces through a
/// short queue, so that the first rows are prepared and stored while the folder is still read.
class Walk {
public:
    static constexpr size_t kPiece = 2048;
    /// Pieces read ahead at most (about 130,000 names): enough for the walk of a large folder to
    /// end, and its total to be known, long before its rows are stored.
    static constexpr size_t kQueued = 64;

    Walk(platform::FileSystem& fs, const NativePath& folder)
        : m_thread([this, &fs, folder] {
              platform::Status read =
                  fs.listInPieces(folder, kPiece, [this](std::vector<platform::DirEntry>&& entries) {
                      std::vector<QByteArray> names;
                      names.reserve(entries.size());
                      for (platform::DirEntry& entry : entries) {
                          if (entry.kind == EntryKind::File)
                              names.push_back(std::move(entry.name));
                      }
                      std::unique_lock lock(m_mutex);
                      m_files += names.size();
                      if (m_discard || names.empty())
                          return;
                      m_changed.wait(lock, [this] { return m_discard || m_pieces.size() < kQueued; });
                      if (!m_discard)
                          m_pieces.push_back(std::move(names));
                      m_changed.notify_all();
                  });
              const std::lock_guard lock(m_mutex);
              m_status = std::move(read);
              m_done = true;
              m_changed.notify_all();
          })
    {}
    ~Walk()
    {
        discard();
        m_thread.join();
    }

    /// The next piece of names; empty once the walk has ended.
    std::vector<QByteArray> next()
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_done || !m_pieces.empty(); });
        if (m_pieces.empty())
            return {};
        std::vector<QByteArray> piece = std::move(m_pieces.front());
        m_pieces.pop_front();
        m_changed.notify_all();
        return piece;
    }
    /// No more pieces are wanted: the walk only counts the files from here on.
    void discard()
    {
        const std::lock_guard lock(m_mutex);
        m_discard = true;
        m_pieces.clear();
        m_changed.notify_all();
    }
    /// Waits for the end of the walk: how it went, and how many files it found.
    std::pair<platform::Status, size_t> finish()
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_done; });
        return {m_status, m_files};
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::vector<QByteArray>> m_pieces;
    size_t m_files = 0;
    bool m_discard = false;
    bool m_done = false;
    platform::Status m_status;
    std::thread m_thread; ///< last: it starts once the rest is made
};

/// Prepares the rows of the files in batches. Storing a batch's rows takes about as long as
/// describing its files plus reading half of their properties: three threads prepare the next
/// batch (names and types; the sizes and times of each half) while the caller stores the last.
struct RowBatches {
    struct Batch {
        std::unique_ptr<std::vector<QByteArray>> names;
        std::unique_ptr<std::vector<StoredRow>> rows;
        std::future<void> described; // the futures go first: they wait for their work
        std::future<void> read[2];
        bool empty() const { return !rows || rows->empty(); }
    };

    TypeDescriber& types;
    const FolderHandle& properties;
    const platform::RunControl* control;

    bool stopRequested() const { return control && control->stopRequested(); }

    /// Starts the batch of these files; it must end before this object goes.
    Batch launch(std::vector<QByteArray>&& files) const
    {
        Batch batch{std::make_unique<std::vector<QByteArray>>(std::move(files)), nullptr, {}, {}};
        const std::vector<QByteArray>* names = batch.names.get();
        batch.rows = std::make_unique<std::vector<StoredRow>>(names->size());
        if (names->empty())
            return batch;
        const size_t middle = names->size() / 2;
        std::vector<StoredRow>* rows = batch.rows.get();
        batch.described = std::async(kPolicy, [this, rows, names] {
            QString lastType;
            QByteArray lastTypeBytes;
            for (size_t i = 0; i < names->size() && !stopRequested(); ++i) {
                StoredRow& row = (*rows)[i];
                const QByteArray& raw = (*names)[i];
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
        batch.read[0] = read(rows, names, 0, middle);
        batch.read[1] = read(rows, names, middle, names->size());
        return batch;
    }

    /// Waits for the batch's rows.
    static std::vector<StoredRow> rowsOf(Batch& batch)
    {
        if (batch.described.valid())
            batch.described.get();
        for (std::future<void>& read : batch.read) {
            if (read.valid())
                read.get();
        }
        return std::move(*batch.rows);
    }

private:
    static constexpr auto kPolicy = std::launch::async | std::launch::deferred;

    std::future<void> read(std::vector<StoredRow>* rows, const std::vector<QByteArray>* names, size_t from,
                           size_t to) const
    {
        return std::async(kPolicy, [this, rows, names, from, to] {
            for (size_t i = from; i < to && !stopRequested(); ++i)
                properties.read((*names)[i], (*rows)[i]);
        });
    }
};

/// Ends a run the stop or the database cut short: the walk is dropped, the rows rolled back;
/// `report.files` counts what the walk found, for "未处理 N 个".
RecordReport abandonRun(Walk& walk, FileDatabase& db, RecordReport report)
{
    walk.discard();
    db.rollbackRun();
    report.recorded = true;
    report.files = int(walk.finish().second);
    return report;
}

/// A folder that could not be listed (also part way): no rows, as a run that found none, but
/// the run is reported and logged, which needs a database that can take the log row.
RecordReport endUnlisted(FileDatabase& db, const std::optional<QString>& logAs, RecordReport report)
{
    db.rollbackRun();
    report.recorded = true;
    report.files = 0;
    if (!db.isOpen())
        report.store = db.openStatus();
    else if (db.isReadOnly())
        report.store = platform::Status::failure(platform::ErrorKind::ReadOnly);
    else if (logAs)
        report.store = db.appendLogRow(*logAs, QDateTime::currentDateTime());
    report.logged = logAs && report.store;
    return report;
}

} // namespace

RecordReport recordFolder(platform::FileSystem& fs, FileDatabase& db, const NativePath& folder, TypeDescriber& types,
                          platform::RunControl* control, const std::optional<QString>& logAs)
{
    RecordReport report;
    const FolderHandle properties(fs, folder);
    const RowBatches batches{types, properties, control};
    Walk walk(fs, folder);
    RowBatches::Batch next = batches.launch(walk.next());
    // The transaction starts with the first file: a folder without files stores nothing.
    platform::Status begun = next.empty() ? platform::Status() : db.beginRun();
    int stored = 0;
    while (begun && !next.empty()) {
        const std::vector<StoredRow> rows = RowBatches::rowsOf(next);
        if (batches.stopRequested()) {
            report.stopped = true;
            report = abandonRun(walk, db, std::move(report));
            if (control)
                control->setTotal(report.files); // the rest was counted, not recorded
            return report;
        }
        next = batches.launch(walk.next());
        if (control && next.empty())
            control->setTotal(qint64(walk.finish().second)); // known once the walk has ended
        if (control)
            control->begin(QString::fromUtf8(rows.back().name));
        if (platform::Status appended = db.appendFileRows(rows.data(), rows.size()); !appended) {
            // A failed insert may have ended the transaction: keep the run all-or-nothing.
            // (`next` finishes its batch before it goes.)
            report.store = std::move(appended);
            return abandonRun(walk, db, std::move(report));
        }
        stored += int(rows.size());
        if (control)
            control->advance(qint64(rows.size()));
    }
    walk.discard(); // a run that could not begin leaves pieces that nobody takes
    const auto [listed, files] = walk.finish();
    report.files = int(files);
    if (!begun) {
        report.recorded = true;
        report.store = std::move(begun);
        return report;
    }
    if (!listed)
        return endUnlisted(db, logAs, std::move(report));
    if (files == 0)
        return report;
    report.recorded = true;
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
