#pragma once

#include "platform/filesystem.h"
#include "platform/runcontrol.h"

#include <QHash>
#include <QMimeDatabase>
#include <QRegularExpression>
#include <QString>

namespace korvane::recorder {

class FileDatabase;

/// The type description a file browser shows for a name ("纯文本文档"), in the UI locale:
/// the comment of the MIME type that the name's glob patterns give.
class TypeDescriber {
public:
    TypeDescriber();
    QString describe(const QString& fileName);

private:
    QMimeDatabase m_mime;
    /// Matches every name that a pattern other than a plain "*.ext" could match.
    QRegularExpression m_special;
    QHash<QString, QString> m_comments; ///< MIME type name -> comment
    QHash<QString, QString> m_byTail;   ///< name from its first "." -> comment, for other names
};

struct RecordReport {
    /// False when the folder opened and holds no file: no message, no log row.
    bool recorded = false;
    int files = 0;  ///< files found directly in the folder
    int stored = 0; ///< rows committed
    bool stopped = false; ///< the run was stopped: its rows were rolled back
};

/// Records every file directly inside `folder` (hidden files included, subfolders not
/// entered, symbolic links to files as the files they point to) as one transaction: name,
/// type description, size, last-modified time, and the name again as short name. A property
/// that cannot be read leaves its column empty. A folder that cannot be listed records
/// nothing but still counts as recorded. Database failures are not reported: the run
/// stores all its rows or none. A stop through `control` rolls the run back.
RecordReport recordFolder(platform::FileSystem& fs, FileDatabase& db, const platform::NativePath& folder,
                          TypeDescriber& types, platform::RunControl* control = nullptr);

} // namespace korvane::recorder
