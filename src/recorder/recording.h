#pragma once

#include "platform/filesystem.h"
#include "platform/runcontrol.h"

#include <QHash>
#include <QMimeDatabase>
#include <QSet>
#include <QString>
#include <QStringList>
#include <optional>
#include <utility>
#include <vector>

namespace korvane::recorder {

class FileDatabase;

/// The type description a file browser shows for a name ("纯文本文档"), in the UI locale:
/// the comment of the MIME type that the name's glob patterns give.
///
/// Asking the MIME database for every name is slow (it tries a regular expression for each
/// wildcard pattern on names it does not know). The answer depends only on which patterns
/// match, so a name that none of the few patterns other than "*suffix" can match shares its
/// answer with every name ending in the same known suffix, written the same way: the database
/// is asked once per such suffix. One thread at a time (a recording's reading thread).
class TypeDescriber {
public:
    TypeDescriber();
    QString describe(const QString& fileName);

private:
    struct KnownSuffix {
        int node = 0; ///< in m_suffixes; the root when none
        qsizetype length = 0;
        bool wholeName = false; ///< the whole name is the end of a suffix (".txt")
    };
    /// The longest "*suffix" pattern the name ends in, case ignored.
    KnownSuffix knownSuffix(QStringView name) const;
    /// True when a pattern other than "*suffix" may match the name (case ignored).
    bool mayMatchOtherPattern(QStringView name) const;
    QString commentFor(const QString& fileName);
    QString commentOf(const QMimeType& type);
    /// True when the database's answer is one that every name ending in `written` shares.
    static bool followsFromSuffix(const QMimeType& type, QStringView written);

    /// Reverse trie of the suffixes, lower-cased: node 0 is the root. Each node that ends a
    /// suffix keeps the descriptions found so far, one for each way of writing the suffix.
    struct SuffixNode {
        std::vector<std::pair<char16_t, int>> children;
        bool end = false;
        std::vector<std::pair<QString, QString>> described; ///< suffix as written -> comment
    };
    std::vector<SuffixNode> m_suffixes;
    QSet<QString> m_literals;     ///< whole names ("makefile"), lower-cased
    quint64 m_literalLengths = 0; ///< bit n: some literal has n characters
    QStringList m_wildcards;      ///< every other pattern, lower-cased ("readme*", "*.[1-9]")

    QMimeDatabase m_mime;
    QHash<QString, QString> m_comments; ///< MIME type name -> comment
};

struct RecordReport {
    /// False when the folder opened and holds no file: no message, no log row.
    bool recorded = false;
    int files = 0;  ///< files found directly in the folder
    int stored = 0; ///< rows committed
    /// Why the database could not take the run (busy past the write wait, full, not open):
    /// nothing was stored and no log row may be written. Success otherwise.
    platform::Status store;
    bool stopped = false; ///< the run was stopped: its rows were rolled back
    bool logged = false;  ///< the log row was stored, with the rows
};

/// Records every file directly inside `folder` (hidden files included, subfolders not
/// entered, symbolic links to files as the files they point to) as one transaction: name,
/// type description, size, last-modified time, and the name again as short name. A property
/// that cannot be read leaves its column empty. A folder that cannot be listed records
/// nothing but still counts as recorded. The run stores all its rows or none; when it
/// stores none because of the database, `store` says why. A stop through `control`
/// rolls the run back. With `logAs`, a recorded run's log row (that text and the time the run
/// ends) is stored in the same transaction as its rows: a kill leaves both or neither.
RecordReport recordFolder(platform::FileSystem& fs, FileDatabase& db, const platform::NativePath& folder,
                          TypeDescriber& types, platform::RunControl* control = nullptr,
                          const std::optional<QString>& logAs = std::nullopt);

} // namespace korvane::recorder
