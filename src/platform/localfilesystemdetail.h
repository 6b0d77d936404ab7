#pragma once

// What the parts of LocalFileSystem share (plain calls, copies and their temporaries, walks);
// no other unit includes this.

#include "platform/filesystem.h"
#include "platform/uniquefd.h"

#include <sys/stat.h>

namespace korvane::platform::localfs {

/// The last name of a path, trailing slashes ignored.
QByteArray baseName(const NativePath& path);
/// The folder a path is in: "." for a bare name, "/" for a name in the root.
QByteArray parentFolder(const NativePath& path);
EntryKind kindOfMode(mode_t mode);

inline Status failed(ErrorKind kind, int errnum)
{
    return Status::failure(kind, {}, errnum);
}

/// info() of `name` in the folder `folderFd` (AT_FDCWD: of the path `name`).
Result<FileInfo> infoAt(int folderFd, const char* name, Links links);

/// Writes all `size` bytes, going on after short writes and signals; false with errno set.
bool writeAll(int fd, const char* data, size_t size);

/// A hidden name beside `name` that does not exist yet, for writing before a rename into
/// place: ".NAME.korvane-TOKEN-MODE.tmp", TOKEN 64 random bits in hex, MODE the permission bits
/// the file is made with, in octal, for the clean-up below to check.
QByteArray temporaryName(const QByteArray& name, mode_t mode);
QByteArray temporarySibling(const NativePath& target, mode_t mode);

/// The process's umask, read once (Korvane never changes it).
mode_t processUmask();

/// Removes from `folder` the temporaries that copies of ours left when they died (a crash, a
/// kill, a power cut): only those of temporaryName()'s form that are this user's, not links,
/// with one name and exactly the mode their name records, that no one holds locked and no
/// process has open. Never by age. Once per folder and process.
void removeStaleTemporaries(const NativePath& folder);

class LocalHeldLock final : public HeldLock {
public:
    explicit LocalHeldLock(UniqueFd fd) : m_fd(std::move(fd)) {}

private:
    UniqueFd m_fd; ///< the lock goes with its descriptor
};

} // namespace korvane::platform::localfs
