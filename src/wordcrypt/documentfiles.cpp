#include "wordcrypt/documentfiles.h"

#include "platform/uniquefd.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace korvane::wordcrypt {

using platform::UniqueFd;

namespace {

UniqueFd openRead(const QByteArray& path)
{
    return UniqueFd(::open(path.constData(), O_RDONLY | O_CLOEXEC));
}

bool writeAll(int fd, const char* data, qsizetype size)
{
    qsizetype done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size_t(size - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

/// Copies the open file `from` into `to` from their starts, in chunks, and syncs `to`.
bool copyFd(int from, int to)
{
    if (::lseek(from, 0, SEEK_SET) != 0 || ::lseek(to, 0, SEEK_SET) != 0)
        return false;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(from, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        if (!writeAll(to, buffer, n))
            return false;
    }
    return ::fsync(to) == 0;
}

} // namespace

bool copyFile(const QByteArray& from, const QByteArray& to, int createMode)
{
    const UniqueFd in = openRead(from);
    if (!in.valid())
        return false;
    const int flags = createMode >= 0 ? O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC : O_WRONLY | O_TRUNC | O_CLOEXEC;
    UniqueFd out(::open(to.constData(), flags, createMode >= 0 ? createMode : 0));
    if (!out.valid())
        return false;
    const bool ok = copyFd(in.get(), out.get());
    // The close of the target reports write-back failures the copy did not see.
    return ::close(out.release()) == 0 && ok;
}

bool sameFile(const QByteArray& a, const QByteArray& b)
{
    const UniqueFd fa = openRead(a);
    const UniqueFd fb = openRead(b);
    if (!fa.valid() || !fb.valid())
        return false;
    static constexpr size_t kChunk = 65536;
    std::vector<char> x(kChunk), y(kChunk);
    for (;;) {
        const ssize_t n = ::read(fa.get(), x.data(), kChunk);
        if (n < 0)
            return false;
        // Files and pipes of ours: a short read only happens at the end.
        ssize_t m = 0;
        while (m < n) {
            const ssize_t k = ::read(fb.get(), y.data() + m, size_t(n - m));
            if (k <= 0)
                return false;
            m += k;
        }
        if (n == 0) {
            char extra;
            return ::read(fb.get(), &extra, 1) == 0;
        }
        if (std::memcmp(x.data(), y.data(), size_t(n)) != 0)
            return false;
    }
}

void removeFlatFolder(const QByteArray& path)
{
    if (DIR* d = ::opendir(path.constData())) {
        while (const dirent* e = ::readdir(d)) {
            const QByteArray name(e->d_name);
            if (name != "." && name != "..")
                ::unlink((path + '/' + name).constData());
        }
        ::closedir(d);
    }
    ::rmdir(path.constData());
}

QByteArray lockPath(const QByteArray& document)
{
    const qsizetype slash = document.lastIndexOf('/');
    return document.left(slash + 1) + ".~lock." + document.mid(slash + 1) + '#';
}

Lock lockState(platform::FileSystem& fs, const QByteArray& document, const QString& currentProfile)
{
    const QByteArray lock = lockPath(document);
    const platform::Result<platform::FileInfo> info = fs.info(lock, platform::Links::Own);
    if (!info)
        return Lock::None;
    if (!S_ISREG(info->mode) || info->size > 4096)
        return Lock::Foreign;
    const QString text = QString::fromUtf8(fs.readFile(lock, info->size).valueOr({})).trimmed();
    const qsizetype at = text.indexOf(QLatin1String("file:///tmp/korvane-office-"));
    if (at < 0)
        return Lock::Foreign;
    QString profile = text.mid(at + 7);
    const qsizetype end = profile.indexOf(QLatin1Char(';'));
    profile = profile.left(end < 0 ? profile.size() : end);
    if (profile == currentProfile || !fs.info(QFile::encodeName(profile), platform::Links::Follow))
        return Lock::OursStale;
    return Lock::Foreign; // another Korvane's office, still running
}

} // namespace korvane::wordcrypt
