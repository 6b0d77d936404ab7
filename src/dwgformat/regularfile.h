#pragma once
// Free of Qt: the drawing readers' only contact with the kernel, shared by the program, the
// command line's drawing export and the file managers' thumbnailer, which has no services.

#include "platform/uniquefd.h"

#include <cstdint>

namespace korvane::dwgformat {

/// A regular file opened for reading at offsets. Anything else (a FIFO that would block, a
/// device that streams forever, a folder) is refused at the open, which never blocks.
class RegularFile {
public:
    explicit RegularFile(const char* path);

    bool isOpen() const { return m_fd.valid(); }
    int64_t size() const { return m_size; }
    /// Fills `out` with exactly `length` bytes from `offset`; false on an error or when the file
    /// ends first (it may have shrunk since it was opened).
    bool readAt(int64_t offset, int64_t length, char* out) const;

private:
    platform::UniqueFd m_fd;
    int64_t m_size = 0;
};

} // namespace korvane::dwgformat
