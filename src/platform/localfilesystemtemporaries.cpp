#include "platform/localfilesystemdetail.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QRandomGenerator>
#include <QSet>

#include <cstring>
#include <ctime>
#include <mutex>

// The hidden temporaries a copy writes beside its target, and the clean-up of those that
// copies which died left behind.

namespace korvane::platform::localfs {

namespace {

/// The ending of a hidden name whose file was locked before the name existed: once unlocked,
/// its writer is gone, whatever its age.
constexpr char kHeldEnding[] = ".held.tmp";

/// Whether `name` is one of the hidden temporaries this program writes beside a target.
bool isTemporaryName(const QByteArray& name)
{
    return name.startsWith('.') && name.endsWith(".tmp") && name.contains(".korvane-");
}

} // namespace

/// A name in `folder` that does not exist yet, for writing before a rename into place; `held`
/// when the file is locked before it gets the name.
QByteArray temporaryName(const QByteArray& name, bool held)
{
    return "." + name.left(200) + ".korvane-" + QByteArray::number(QRandomGenerator::global()->generate64(), 36) +
           (held ? kHeldEnding : ".tmp");
}

QByteArray temporarySibling(const NativePath& target)
{
    return joinPath(parentFolder(target), temporaryName(baseName(target)));
}

/// Removes from `folder` the temporaries of runs that died (a crash, a kill, a power cut, or
/// an older version of this program) and which no running copy holds locked: those locked
/// before they were named whatever their age, the others once their last change is older than
/// a day (they were named before their lock was taken, or where locks may not work). Once per
/// folder and process.
void removeStaleTemporaries(const NativePath& folder)
{
    static std::mutex mutex;
    static QSet<QByteArray> cleaned;
    {
        const std::lock_guard lock(mutex);
        if (cleaned.contains(folder))
            return;
        cleaned.insert(folder);
    }
    UniqueFd folderFd(::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folderFd.valid())
        return;
    DIR* dir = ::fdopendir(folderFd.get());
    if (!dir)
        return;
    const int fd = folderFd.release(); // closedir closes it
    // The change time, not the modification time: a copy carries its source's modification
    // time, while the change time is the kernel's own and last moved when the file was written.
    const time_t before = ::time(nullptr) - 24 * 60 * 60;
    while (struct dirent* d = ::readdir(dir)) {
        if (!isTemporaryName(QByteArray::fromRawData(d->d_name, qsizetype(std::strlen(d->d_name)))))
            continue;
        struct stat st {};
        const bool lockedFirst =
            QByteArray::fromRawData(d->d_name, qsizetype(std::strlen(d->d_name))).endsWith(kHeldEnding);
        if (::fstatat(fd, d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
            (!lockedFirst && st.st_ctime >= before))
            continue;
        UniqueFd held(::openat(fd, d->d_name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
        if (held.valid() && ::flock(held.get(), LOCK_EX | LOCK_NB) == 0)
            ::unlinkat(fd, d->d_name, 0);
    }
    ::closedir(dir);
}

} // namespace korvane::platform::localfs
