#include "helpdecompiler/chmlzx.h"

#include "helpdecompiler/chmarchive.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace korvane::helpdecompiler::core {

namespace {

IoFile* fileOf(mspack_file* file)
{
    return reinterpret_cast<IoFile*>(file);
}

mspack_file* ioOpen(mspack_system* self, const char*, int mode)
{
    auto* io = reinterpret_cast<IoSystem*>(self);
    if (mode == MSPACK_SYS_OPEN_READ)
        return reinterpret_cast<mspack_file*>(new IoFile{io, io->input, false, 0});
    if (mode == MSPACK_SYS_OPEN_WRITE && io->nextOutput) {
        IoFile* out = io->nextOutput;
        io->nextOutput = nullptr;
        return reinterpret_cast<mspack_file*>(out);
    }
    return nullptr;
}

void ioClose(mspack_file* file)
{
    IoFile* f = fileOf(file);
    if (!f->output)
        delete f; // outputs belong to the caller
}

int ioRead(mspack_file* file, void* buffer, int bytes)
{
    IoFile* f = fileOf(file);
    if (bytes < 0)
        return -1;
    ssize_t n;
    do {
        n = ::pread(f->fd, buffer, size_t(bytes), f->position);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return -1;
    f->position += n;
    return int(n);
}

int ioWrite(mspack_file* file, void* buffer, int bytes)
{
    IoFile* f = fileOf(file);
    return f->io->write(*f, static_cast<const char*>(buffer), bytes) ? bytes : -1;
}

int ioSeek(mspack_file* file, off_t offset, int mode)
{
    IoFile* f = fileOf(file);
    off_t base = 0;
    if (mode == MSPACK_SYS_SEEK_CUR) {
        base = f->position;
    } else if (mode == MSPACK_SYS_SEEK_END) {
        struct stat st {};
        if (::fstat(f->fd, &st) != 0)
            return -1;
        base = st.st_size;
    } else if (mode != MSPACK_SYS_SEEK_START) {
        return -1;
    }
    if (base + offset < 0)
        return -1;
    f->position = base + offset;
    return 0;
}

off_t ioTell(mspack_file* file)
{
    return fileOf(file)->position;
}

void ioMessage(mspack_file*, const char*, ...) {}
void* ioAlloc(mspack_system*, size_t bytes)
{
    return std::malloc(bytes);
}
void ioFree(void* p)
{
    std::free(p);
}
void ioCopy(void* src, void* dest, size_t bytes)
{
    std::memmove(dest, src, bytes);
}

} // namespace

IoSystem::IoSystem(int inputFd, std::uint64_t maxTotalBytes)
    : base{ioOpen, ioClose, ioRead, ioWrite, ioSeek, ioTell, ioMessage, ioAlloc, ioFree, ioCopy, nullptr},
      input(inputFd), cap(maxTotalBytes)
{}

bool IoSystem::write(IoFile& file, const char* data, int bytes)
{
    if (bytes < 0)
        return false;
    if (std::uint64_t(bytes) > cap - std::min(cap, written)) {
        capExceeded = true;
        return false;
    }
    if (file.memory) {
        file.memory->append(data, std::size_t(bytes));
        written += std::uint64_t(bytes);
        return true;
    }
    std::size_t left = std::size_t(bytes);
    while (left > 0) {
        const ssize_t n = ::write(file.fd, data, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            writeErrno = n < 0 ? errno : ENOSPC;
            return false;
        }
        data += n;
        left -= std::size_t(n);
    }
    written += std::uint64_t(bytes);
    return true;
}

LzxSection::LzxSection(const ChmArchive& archive, IoSystem& io) : m_io(io)
{
    const ChmCompressedSection& lzx = archive.compressed();
    if (!lzx.present)
        return;
    m_decompressor = mspack_create_chm_decompressor(&io.base);
    m_header.filename = "";
    m_header.length = off_t(archive.fileSize());
    m_header.sec0.base.chm = &m_header;
    m_header.sec0.base.id = 0;
    m_header.sec0.offset = off_t(archive.section0Offset());
    m_header.sec1.base.chm = &m_header;
    m_header.sec1.base.id = 1;
    const ChmEntry* described[4] = {&lzx.content, &lzx.controlData, &lzx.resetTable, &lzx.spanInfo};
    for (int i = 0; i < 4; ++i) {
        m_sysFiles[i].section = &m_header.sec0.base;
        m_sysFiles[i].offset = off_t(described[i]->offset);
        m_sysFiles[i].length = off_t(described[i]->length);
        m_sysFiles[i].filename = const_cast<char*>("");
    }
    m_header.sec1.content = &m_sysFiles[0];
    m_header.sec1.control = &m_sysFiles[1];
    m_header.sec1.rtable = &m_sysFiles[2];
    m_header.sec1.spaninfo = lzx.spanInfo.name.empty() ? nullptr : &m_sysFiles[3];
}

LzxSection::~LzxSection()
{
    if (m_decompressor)
        mspack_destroy_chm_decompressor(m_decompressor);
}

bool LzxSection::extract(const ChmEntry& entry, IoFile& out)
{
    if (!m_decompressor)
        return false;
    m_io.nextOutput = &out;
    mschmd_file file{};
    file.section = &m_header.sec1.base;
    file.offset = off_t(entry.offset);
    file.length = off_t(entry.length);
    file.filename = const_cast<char*>("");
    const bool ok = m_decompressor->extract(m_decompressor, &file, "") == MSPACK_ERR_OK;
    m_io.nextOutput = nullptr;
    return ok;
}

} // namespace korvane::helpdecompiler::core
