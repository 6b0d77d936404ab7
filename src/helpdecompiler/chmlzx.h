#pragma once
// libmspack's LZX decoder, run on our own descriptors and on a header filled from ChmArchive's
// validated reading (libmspack's own header reader refuses files chmcmd writes).

#include <cstdint>
#include <mspack.h>
#include <string>
#include <sys/types.h>

namespace korvane::helpdecompiler {

struct ChmEntry;
class ChmArchive;

namespace core {

struct IoSystem;

/// A file as libmspack sees it: one of our descriptors with a position of its own.
struct IoFile {
    IoSystem* io = nullptr;
    int fd = -1;
    bool output = false;
    off_t position = 0;
    std::string* memory = nullptr; ///< when set, output goes here instead of to `fd`
};

/// libmspack's I/O bound to our descriptors. Counts what all outputs wrote, for the total cap.
struct IoSystem {
    mspack_system base; // first member: libmspack hands this pointer back to us
    int input = -1;
    IoFile* nextOutput = nullptr; ///< what the next open-for-writing returns
    std::uint64_t written = 0;    ///< across all outputs
    std::uint64_t cap = 0;
    bool capExceeded = false;
    int writeErrno = 0;

    IoSystem(int inputFd, std::uint64_t maxTotalBytes);
    /// Writes all of `bytes` to `file`, unless that would pass the cap; false on any failure
    /// (capExceeded or writeErrno say which).
    bool write(IoFile& file, const char* data, int bytes);
};

/// The compressed section of a help file, ready to decode entries of section 1.
class LzxSection {
public:
    /// Nothing to decode when the archive has no compressed section.
    LzxSection(const ChmArchive& archive, IoSystem& io);
    ~LzxSection();
    LzxSection(const LzxSection&) = delete;
    LzxSection& operator=(const LzxSection&) = delete;

    /// Decodes one entry of section 1 into `out`; false when the data does not decode or the
    /// output fails.
    bool extract(const ChmEntry& entry, IoFile& out);

private:
    IoSystem& m_io;
    mschm_decompressor* m_decompressor = nullptr;
    mschmd_header m_header{}; // points into itself: neither copied nor moved
    mschmd_file m_sysFiles[4]{};
};

} // namespace core
} // namespace korvane::helpdecompiler
