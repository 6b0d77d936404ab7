#pragma once

#include "platform/status.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <functional>
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
};

/// Whether info() describes a symbolic link itself or the entry it leads to.
enum class Links {
    Own,    ///< the link itself, as lstat
    Follow, ///< what the link leads to, as stat
};

/// Text encodings for files written by the tools.
enum class TextEncoding {
    Locale, ///< the locale's 8-bit encoding (UTF-8 here)
    Gbk,    ///< code page 936, for files read by Windows help tools
};

/// The file-system operations the tools need. Every call is synchronous.
class FileSystem {
public:
    virtual ~FileSystem() = default;

    /// Entries of a folder in the file system's order, hidden ones included, without "." and "..".
    virtual Result<std::vector<DirEntry>> list(const NativePath& folder) = 0;
    /// The same entries, handed to `take` in pieces of up to `piece` as they are read, so that a
    /// caller works on the first while the rest are read. A failure to open the folder comes
    /// before any piece. By default the folder is listed first.
    virtual Status listInPieces(const NativePath& folder, size_t piece,
                                const std::function<void(std::vector<DirEntry>&&)>& take);
    /// Properties of a path. With Links::Own a symbolic link is described itself (only kind
    /// follows it); with Links::Follow everything describes what it leads to.
    virtual Result<FileInfo> info(const NativePath& path, Links links = Links::Own) = 0;
    /// True for a regular file (or a link to one), false for folders and everything else.
    virtual bool fileExists(const NativePath& path) = 0;
    virtual bool folderExists(const NativePath& path) = 0;

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
    /// Deletes a file (a link: the link). Without force a file whose write bits are all clear is refused.
    virtual Status deleteFile(const NativePath& file, bool force) = 0;

    /// Creates a folder and any missing parents; fine when it exists already.
    virtual Status createFolder(const NativePath& folder) = 0;
    /// Creates or replaces a file with the bytes, atomically (temporary file, then rename).
    virtual Status writeFile(const NativePath& path, const QByteArray& bytes) = 0;
    /// The file's bytes, at most maxBytes of them when maxBytes >= 0.
    virtual Result<QByteArray> readFile(const NativePath& path, qint64 maxBytes = -1) = 0;

    /// How many copies and moves into `folder` are worth running at once, each on its own
    /// thread. 1 (the default) also means that this file system is called from one thread only.
    virtual int concurrentWriters(const NativePath& folder)
    {
        Q_UNUSED(folder);
        return 1;
    }
};

/// Read-only by mode bits, as rm judges it: a file (not a link) whose write bits are all clear.
/// Root passes every access() test, so the bits are the only judge that holds for everyone.
bool isReadOnlyByMode(quint32 mode);

/// Writes each line followed by CR LF in the given encoding, creating or replacing the file.
Status writeTextFile(FileSystem& fs, const NativePath& path, const QStringList& lines, TextEncoding encoding);

/// Joins a folder and a name with "/", without doubling it after the root "/".
NativePath joinPath(const NativePath& folder, const QByteArray& name);

} // namespace korvane::platform
