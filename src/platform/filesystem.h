#pragma once

#include "platform/status.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <functional>
#include <memory>
#include <set>
#include <vector>

namespace korvane::platform {

/// Paths are the kernel's raw bytes: names that are not valid UTF-8 (GBK names from Windows
/// archives) must survive a walk and every operation on them. Decode only for display
/// (see nativepath.h).
using NativePath = QByteArray;

enum class EntryKind {
    File,   ///< a regular file, or a symbolic link to one
    Folder, ///< a folder, or a symbolic link to one (never walked into; see isSymlink)
    Other,  ///< devices, sockets, dangling links
};

struct DirEntry {
    QByteArray name;
    EntryKind kind = EntryKind::Other;
    bool isSymlink = false;
};

struct FileInfo {
    qint64 size = 0;
    QDateTime modified; ///< in UTC; toLocalTime() for display
    quint32 mode = 0;   ///< st_mode; with Links::Own that of a link itself, not followed
    bool isSymlink = false;
    EntryKind kind = EntryKind::Other; ///< what the path names, following a link
    quint64 device = 0;
    quint64 inode = 0;
    quint32 owner = 0; ///< the owning user's id
};

/// Whether info() describes a symbolic link itself or the entry it leads to.
enum class Links {
    Own,    ///< the link itself, as lstat
    Follow, ///< what the link leads to, as stat
};

/// A folder held open: the names in it are looked at without walking the folder's path again.
class OpenFolder {
public:
    virtual ~OpenFolder() = default;
    /// Properties of `name` in the folder, as FileSystem::info; callable from several threads at once.
    virtual Result<FileInfo> info(const QByteArray& name, Links links = Links::Own) const = 0;
};

/// A lock (flock) on a file or folder, held until this goes.
class HeldLock {
public:
    virtual ~HeldLock() = default;
};

/// Every path of a tree, its top folder included.
using TreeSnapshot = std::set<NativePath>;

/// Text encodings for files written by the tools.
enum class TextEncoding {
    Locale, ///< the locale's 8-bit encoding (UTF-8 here)
    Gbk,    ///< code page 936, for files read by Windows help tools
};

/// The file-system operations the tools need. Every call is synchronous.
class FileSystem {
public:
    virtual ~FileSystem() = default;

    // Plain calls: one path looked at, read, written, made, locked or linked.

    /// Properties of a path. With Links::Own a symbolic link is described itself (only kind
    /// follows it); with Links::Follow everything describes what it leads to.
    virtual Result<FileInfo> info(const NativePath& path, Links links = Links::Own) = 0;
    /// True for a regular file (or a link to one), false for folders and everything else.
    virtual bool fileExists(const NativePath& path) = 0;
    virtual bool folderExists(const NativePath& path) = 0;
    /// Deletes a file (a link: the link). Without force a file whose write bits are all clear is refused.
    virtual Status deleteFile(const NativePath& file, bool force) = 0;
    /// Creates a folder and any missing parents; fine when it exists already.
    virtual Status createFolder(const NativePath& folder) = 0;
    /// Creates or replaces a file with the bytes, atomically (temporary file, then rename).
    virtual Status writeFile(const NativePath& path, const QByteArray& bytes) = 0;
    /// The file's bytes, at most maxBytes of them when maxBytes >= 0.
    virtual Result<QByteArray> readFile(const NativePath& path, qint64 maxBytes = -1) = 0;
    /// Creates a file (with EntryKind::Folder a folder) that must not exist yet, with `mode`
    /// less the umask, locked from the moment it exists until the lock goes.
    virtual Result<std::unique_ptr<HeldLock>> createExclusive(const NativePath& path, quint32 mode,
                                                              EntryKind kind = EntryKind::File) = 0;
    /// Locks a file or folder (not a link) until the lock goes. Without `wait` a lock that
    /// another holds fails at once with the errno EWOULDBLOCK.
    virtual Result<std::unique_ptr<HeldLock>> lock(const NativePath& path, bool wait) = 0;
    /// Whether the kernel lets this process open the file for writing (owner, group, root,
    /// a read-only mount: only the kernel has the last word); nothing is written.
    virtual Status probeWrite(const NativePath& file) = 0;
    /// Gives the file `from` a second name `to` (a hard link); never replaces a name.
    virtual Status link(const NativePath& from, const NativePath& to) = 0;
    /// Flushes a file, or the names in a folder, to disk.
    virtual Status sync(const NativePath& path) = 0;

    // Copy and replace: bytes under a new name or over an old one, never a half-written file.

    /// Moves a file into a folder under its own name. Never replaces an existing file; atomic
    /// within a file system; across file systems the source goes only after a verified copy.
    /// A symbolic link is moved as a link.
    virtual Status moveFile(const NativePath& file, const NativePath& destFolder) = 0;
    /// Copies a file (a link: the file it points to) into a folder under its own name. With
    /// overwrite an existing file is replaced, but only once the new copy is complete; never
    /// onto itself (same device and inode). `replaced`, when given, tells whether the copy took
    /// (or, failing, was to take) the place of an existing name, so callers need no look of their own.
    virtual Status copyFile(const NativePath& file, const NativePath& destFolder, bool overwrite,
                            bool* replaced = nullptr) = 0;
    /// Writes the bytes of `from` into the existing file `to`, which keeps its inode (links,
    /// owner, group, mode), and flushes them to disk.
    virtual Status copyInto(const NativePath& from, const NativePath& to) = 0;
    /// Whether two files hold the same bytes; a stop of the thread's run (RunControl::current())
    /// ends a long comparison with `Cancelled`.
    virtual Result<bool> sameContents(const NativePath& a, const NativePath& b) = 0;
    /// Renames `from` over `to`, with `to`'s owner, group and mode, both flushed to disk; only
    /// where nothing but its name ties `to` to its users (one link, ours or we are root, no
    /// extended attributes such as an ACL). Fails with `to` untouched otherwise.
    virtual Status renameOver(const NativePath& from, const NativePath& to) = 0;
    /// How many copies and moves into `folder` are worth running at once, each on its own
    /// thread. 1 (the default) also means that this file system is called from one thread only.
    virtual int concurrentWriters(const NativePath& folder)
    {
        Q_UNUSED(folder);
        return 1;
    }

    // Tree walks and listings.

    /// Entries of a folder in the file system's order, hidden ones included, without "." and "..".
    virtual Result<std::vector<DirEntry>> list(const NativePath& folder) = 0;
    /// The same entries, handed to `take` in pieces of up to `piece` as they are read, so that a
    /// caller works on the first while the rest are read. A failure to open the folder comes
    /// before any piece. By default the folder is listed first.
    virtual Status listInPieces(const NativePath& folder, size_t piece,
                                const std::function<void(std::vector<DirEntry>&&)>& take);
    /// Opens a folder for looks at the names in it, one system call a name.
    virtual Result<std::unique_ptr<OpenFolder>> openFolder(const NativePath& folder) = 0;
    /// Every path in the tree below `folder` and the folder itself, links as links (never
    /// followed); empty when there is no such path. Fails when any folder in it cannot be read.
    virtual Result<TreeSnapshot> snapshot(const NativePath& folder) = 0;
    /// Removes what is in the tree below `folder` (the folder included) but not in `keep`,
    /// deepest first; a folder that still holds something stays.
    virtual Status removeAllBut(const NativePath& folder, const TreeSnapshot& keep) = 0;
    /// Removes a folder and the plain files in it.
    virtual Status removeFlatFolder(const NativePath& folder) = 0;
};

/// Read-only by mode bits, as rm judges it: a file (not a link) whose write bits are all clear.
/// Root passes every access() test, so the bits are the only judge that holds for everyone.
bool isReadOnlyByMode(quint32 mode);

/// Writes each line followed by CR LF in the given encoding, creating or replacing the file.
Status writeTextFile(FileSystem& fs, const NativePath& path, const QStringList& lines, TextEncoding encoding);

/// Joins a folder and a name with "/", without doubling it after the root "/".
NativePath joinPath(const NativePath& folder, const QByteArray& name);

} // namespace korvane::platform
