#include "platform/localfilesystemdetail.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QRandomGenerator>
#include <QSet>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>

// The hidden temporaries a copy writes beside its target, and the clean-up of those that
// copies which died left behind. A name alone proves nothing: anyone may name a file like
// ours, so a temporary goes only when everything the kernel can tell says that it is ours and
// that nobody has it open.

namespace korvane::platform::localfs {

namespace {

constexpr char kMark[] = ".korvane-";
constexpr char kEnding[] = ".tmp";
constexpr int kTokenDigits = 16; ///< 64 random bits in hex
constexpr int kModeDigits = 4;   ///< "-" and the permission bits in octal follow the token

/// 64 bits from the kernel's random source, so that no other program's name matches by chance
/// and none can be guessed ahead. Drawn for 32 names at a time: one system call a file would
/// be a tenth of a small replacing copy's calls.
QByteArray randomToken()
{
    thread_local quint64 pool[32];
    thread_local size_t left = 0;
    if (left == 0) {
        QRandomGenerator::system()->fillRange(pool); // getrandom(), or /dev/urandom without it
        left = std::size(pool);
    }
    char digits[kTokenDigits + 1];
    std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(pool[--left]));
    return QByteArray(digits, kTokenDigits);
}

/// The mode recorded in a name of temporaryName()'s form: "." + a name + ".korvane-" + 16 hex
/// digits + "-" + 4 octal digits + ".tmp"; -1 for any other name.
int recordedMode(const char* name)
{
    const size_t size = std::strlen(name);
    const size_t tail = sizeof kMark - 1 + kTokenDigits + 1 + kModeDigits + sizeof kEnding - 1;
    if (name[0] != '.' || size < 2 + tail)
        return -1;
    const char* mark = name + size - tail;
    const char* token = mark + sizeof kMark - 1;
    const char* mode = token + kTokenDigits + 1;
    const auto hex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
    const auto octal = [](char c) { return c >= '0' && c <= '7'; };
    if (std::memcmp(mark, kMark, sizeof kMark - 1) != 0 || !std::all_of(token, token + kTokenDigits, hex) ||
        token[kTokenDigits] != '-' || !std::all_of(mode, mode + kModeDigits, octal) ||
        std::memcmp(mode + kModeDigits, kEnding, sizeof kEnding) != 0)
        return -1;
    return int(std::strtol(QByteArray(mode, kModeDigits).constData(), nullptr, 8));
}

/// Ours by what the kernel says: this user's, a plain file with one name, and exactly the mode
/// its name records from when it was made.
bool looksOurs(const struct stat& st, int mode)
{
    return S_ISREG(st.st_mode) && st.st_uid == ::geteuid() && st.st_nlink == 1 && int(st.st_mode & 07777) == mode;
}

/// Removes the temporary `name` in `folderFd` when it is provably abandoned: it looks ours
/// before and after it is opened, no one holds a lock on it, and the kernel grants a write
/// lease, which it does only when no other process has the file open at all (a running copy
/// writes through its descriptor; a reader that takes no lock is seen too). Where leases are
/// not to be had (some network and FUSE file systems) nothing proves that, and the file stays.
void removeIfAbandoned(int folderFd, const char* name, int mode)
{
    struct stat named {};
    if (::fstatat(folderFd, name, &named, AT_SYMLINK_NOFOLLOW) != 0 || !looksOurs(named, mode))
        return; // not opened at all: opening a device or a FIFO may have effects of its own
    const UniqueFd fd(::openat(folderFd, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    struct stat opened {};
    if (!fd.valid() || ::fstat(fd.get(), &opened) != 0 || !looksOurs(opened, mode) || opened.st_ino != named.st_ino ||
        opened.st_dev != named.st_dev)
        return;
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0 || ::fcntl(fd.get(), F_SETLEASE, F_WRLCK) != 0)
        return;
    // While the lease is held an open by anyone waits for it; the name must still be this file.
    if (::fstatat(folderFd, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_ino == opened.st_ino &&
        named.st_dev == opened.st_dev)
        ::unlinkat(folderFd, name, 0);
}

} // namespace

QByteArray temporaryName(const QByteArray& name, mode_t mode)
{
    char recorded[kModeDigits + 2];
    std::snprintf(recorded, sizeof recorded, "-%04o", unsigned(mode & 07777));
    return "." + name.left(200) + kMark + randomToken() + recorded + kEnding;
}

QByteArray temporarySibling(const NativePath& target, mode_t mode)
{
    return joinPath(parentFolder(target), temporaryName(baseName(target), mode));
}

mode_t processUmask()
{
    // Read, not set: umask() would change it for every thread for a moment. Should it change
    // later, a temporary only records a mode it does not have, and a dead one stays.
    static const mode_t mask = [] {
        mode_t found = 022;
        if (FILE* status = std::fopen("/proc/self/status", "re")) {
            char line[128];
            while (std::fgets(line, sizeof line, status)) {
                unsigned value = 0;
                if (std::sscanf(line, "Umask: %o", &value) == 1) {
                    found = mode_t(value);
                    break;
                }
            }
            std::fclose(status);
        }
        return found;
    }();
    return mask;
}

void removeStaleTemporaries(const NativePath& folder)
{
    // A thread copying into one folder asks once; the others' folders are in the shared set.
    thread_local NativePath lastAsked;
    if (folder == lastAsked)
        return;
    lastAsked = folder;
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
    while (struct dirent* d = ::readdir(dir)) {
        if (const int mode = recordedMode(d->d_name); mode >= 0)
            removeIfAbandoned(fd, d->d_name, mode);
    }
    ::closedir(dir);
}

} // namespace korvane::platform::localfs
