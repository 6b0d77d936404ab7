#include "dwgformat/regularfile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvane::dwgformat {

RegularFile::RegularFile(const char* path)
{
    if (!path || !*path)
        return;
    m_fd.reset(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat st {};
    if (!m_fd.valid() || ::fstat(m_fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        m_fd.reset();
        return;
    }
    m_size = st.st_size;
}

bool RegularFile::readAt(int64_t offset, int64_t length, char* out) const
{
    if (!m_fd.valid() || offset < 0 || length < 0)
        return false;
    int64_t done = 0;
    while (done < length) {
        const ssize_t got = ::pread(m_fd.get(), out + done, size_t(length - done), off_t(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        done += got;
    }
    return true;
}

} // namespace korvane::dwgformat
