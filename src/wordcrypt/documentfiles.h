#pragma once

#include "platform/filesystem.h"

#include <QByteArray>
#include <QString>

// File operations around a document being rewritten, on raw paths: the path's bytes reach the
// kernel unchanged, so names that are not UTF-8 work too.

namespace korvane::wordcrypt {

/// Copies file `from` into the existing file `to` (same inode: hard links, owner, group and mode
/// stay), or into a new file created with `createMode`. The target is synced.
bool copyFile(const QByteArray& from, const QByteArray& to, int createMode = -1);

/// Whether two files hold the same bytes.
bool sameFile(const QByteArray& a, const QByteArray& b);

/// Removes a folder of plain files by its raw path (QDir cannot name a folder whose path is
/// not UTF-8).
void removeFlatFolder(const QByteArray& path);

/// What a LibreOffice lock file beside a document says about who holds it.
enum class Lock { None, OursStale, Foreign };

/// The LibreOffice lock file of `document`: `.~lock.<name>#` beside it.
QByteArray lockPath(const QByteArray& document);

/// A lock whose profile is one of our private office profiles that no longer exists (or is
/// `currentProfile`) was left by an office of ours; any other lock belongs to someone's office.
Lock lockState(platform::FileSystem& fs, const QByteArray& document, const QString& currentProfile);

} // namespace korvane::wordcrypt
