#pragma once

#include "platform/filesystem.h"
#include "platform/status.h"

#include <QByteArray>
#include <QString>

// The steps around a document that every backend takes the same way: the checks before it is
// read, the checks before it is written, and its replacement by the checked result.

namespace korvane::wordcrypt {

/// A failure that left the document as it was: `reason` with "，文档未作改动" after it.
platform::Status untouched(platform::ErrorKind kind, const QString& reason);

struct CheckedDocument {
    QByteArray realPath; ///< a symbolic link resolved: the file that gets written
    bool encrypted = false;
};

/// What is checked before a document is read: it exists (what an interrupted write of an earlier
/// run left is repaired first), is a Word 97 file of a size that can be handled, and nobody
/// else's office holds it. `officeProfile` is the profile of our own running office, if any.
platform::Result<CheckedDocument> checkDocumentFile(platform::FileSystem& fs, const QByteArray& rawName,
                                                    const QString& officeProfile);

/// Whether the document can be written: a regular file, write bits set, and the kernel lets us
/// open it for writing.
platform::Status checkWritable(platform::FileSystem& fs, const QByteArray& realPath);

/// Puts the checked result in the document's place (documentfiles.h says how); a failed
/// in-place write is undone from the backup.
platform::Status replaceWithResult(const QByteArray& realPath, const QByteArray& result);

} // namespace korvane::wordcrypt
