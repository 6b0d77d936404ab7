#include "platform/localfilesystem.h"
#include "platform/localfilesystemdetail.h"

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Tree walks and listings: a folder's names, folders held open, snapshots and removals of trees.

namespace korvane::platform {

using namespace localfs;

namespace {

class LocalOpenFolder final : public OpenFolder {
public:
    explicit LocalOpenFolder(UniqueFd fd) : m_fd(std::move(fd)) {}
    Result<FileInfo> info(const QByteArray& name, Links links) const override
    {
        return infoAt(m_fd.get(), name.constData(), links);
    }

private:
    UniqueFd m_fd;
};

/// Calls `visit` for every path below `folder` (not the folder itself), links as links: a
/// folder before what it holds, or with `deepestFirst` after it. A folder's names are all read
/// before any is visited, so that a visit may remove them and deep trees hold one descriptor.
/// False with errno set when a folder could not be read; the rest is still visited.
bool walkBelow(const NativePath& folder, bool deepestFirst, const std::function<void(const NativePath&)>& visit)
{
    UniqueFd folderFd(::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folderFd.valid())
        return false;
    DIR* dir = ::fdopendir(folderFd.get());
    if (!dir)
        return false;
    const int fd = folderFd.release(); // closedir closes it
    std::vector<std::pair<NativePath, bool>> entries;
    errno = 0;
    while (struct dirent* d = ::readdir(dir)) {
        const char* name = d->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
            continue;
        bool isFolder = d->d_type == DT_DIR;
        if (d->d_type == DT_UNKNOWN) {
            struct stat st {};
            isFolder = ::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
        }
        entries.emplace_back(joinPath(folder, QByteArray(name)), isFolder);
        errno = 0;
    }
    int failure = errno;
    ::closedir(dir);
    for (const auto& [path, isFolder] : entries) {
        if (!deepestFirst)
            visit(path);
        if (isFolder && !walkBelow(path, deepestFirst, visit) && failure == 0)
            failure = errno;
        if (deepestFirst)
            visit(path);
    }
    errno = failure;
    return failure == 0;
}

} // namespace

Result<std::vector<DirEntry>> LocalFileSystem::list(const NativePath& folder)
{
    std::vector<DirEntry> entries;
    const Status read = listInPieces(folder, size_t(-1), [&entries](std::vector<DirEntry>&& piece) {
        if (entries.empty())
            entries = std::move(piece);
        else
            entries.insert(entries.end(), std::make_move_iterator(piece.begin()), std::make_move_iterator(piece.end()));
    });
    if (!read)
        return read;
    return entries;
}

Status LocalFileSystem::listInPieces(const NativePath& folder, size_t piece,
                                     const std::function<void(std::vector<DirEntry>&&)>& take)
{
    UniqueFd folderFd(::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folderFd.valid())
        return Status::fromErrno(errno);
    DIR* dir = ::fdopendir(folderFd.get());
    if (!dir)
        return Status::fromErrno(errno);
    const int fd = folderFd.release(); // closedir closes it
    std::vector<DirEntry> entries;
    errno = 0;
    while (struct dirent* d = ::readdir(dir)) {
        const char* name = d->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
            continue;
        DirEntry entry;
        entry.name = QByteArray(name);
        switch (d->d_type) {
        case DT_REG: entry.kind = EntryKind::File; break;
        case DT_DIR: entry.kind = EntryKind::Folder; break;
        case DT_LNK:
        case DT_UNKNOWN: {
            struct stat st {};
            if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
                entry.isSymlink = true;
                entry.kind = ::fstatat(fd, name, &st, 0) == 0 ? kindOfMode(st.st_mode) : EntryKind::Other;
            } else {
                entry.kind = kindOfMode(st.st_mode);
            }
            break;
        }
        default: entry.kind = EntryKind::Other; break;
        }
        entries.push_back(std::move(entry));
        if (entries.size() >= piece) {
            take(std::move(entries));
            entries.clear();
        }
        errno = 0;
    }
    const int readError = errno;
    ::closedir(dir);
    if (readError != 0)
        return Status::fromErrno(readError);
    if (!entries.empty())
        take(std::move(entries));
    return {};
}

Result<std::unique_ptr<OpenFolder>> LocalFileSystem::openFolder(const NativePath& folder)
{
    UniqueFd fd(::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid())
        return Status::fromErrno(errno);
    return std::unique_ptr<OpenFolder>(new LocalOpenFolder(std::move(fd)));
}

Result<TreeSnapshot> LocalFileSystem::snapshot(const NativePath& folder)
{
    struct stat st {};
    if (::lstat(folder.constData(), &st) != 0)
        return errno == ENOENT ? Result<TreeSnapshot>(TreeSnapshot{}) : Status::fromErrno(errno);
    TreeSnapshot seen{folder};
    if (S_ISDIR(st.st_mode) && !walkBelow(folder, false, [&seen](const NativePath& path) { seen.insert(path); }))
        return Status::fromErrno(errno);
    return seen;
}

Status LocalFileSystem::removeAllBut(const NativePath& folder, const TreeSnapshot& keep)
{
    struct stat st {};
    if (::lstat(folder.constData(), &st) != 0)
        return errno == ENOENT ? Status() : Status::fromErrno(errno);
    const auto remove = [&keep](const NativePath& path) {
        if (!keep.count(path))
            std::remove(path.constData()); // unlink, or rmdir of an emptied folder
    };
    const bool walked = !S_ISDIR(st.st_mode) || walkBelow(folder, true, remove);
    const int failure = errno;
    remove(folder);
    return walked ? Status() : Status::fromErrno(failure);
}

Status LocalFileSystem::removeFlatFolder(const NativePath& folder)
{
    const Result<std::vector<DirEntry>> entries = list(folder);
    if (entries) {
        for (const DirEntry& entry : *entries)
            ::unlink(joinPath(folder, entry.name).constData());
    }
    if (::rmdir(folder.constData()) != 0)
        return Status::fromErrno(errno);
    return {};
}

} // namespace korvane::platform
