#pragma once

// Free of Qt, so any program can call it first thing in main().

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace korvane::platform {

/// Opens /dev/null on each of descriptors 0–2 that the starter left closed (`>&-`). Otherwise
/// the first descriptor the program opens, Qt's eventfd or a database, takes that number and
/// results written "to standard output" land in it. Call before anything opens a descriptor.
inline void openClosedStandardStreams()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free number is `fd`, since the ones below it are open by now.
        const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened != fd && opened >= 0)
            ::close(opened);
    }
}

} // namespace korvane::platform
