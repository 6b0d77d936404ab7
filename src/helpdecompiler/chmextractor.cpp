#include "helpdecompiler/chmextractor.h"

#include "helpdecompiler/chmarchive.h"
#include "platform/nativepath.h"

#include <QHash>
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mspack.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvane::helpdecompiler {

namespace {

constexpr qsizetype kMaxComponent = 255;
constexpr qsizetype kMaxPath = 4095;

bool hasControlCharacter(const QByteArray& bytes)
{
    return std::any_of(bytes.begin(), bytes.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7F;
    });
}

QString shownName(const QByteArray& stored)
{
    QString text = platform::displayPath(stored);
    for (QChar& c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            c = QLatin1Char('?');
    }
    return text;
}

class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }
    void reset(int fd = -1)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }
private:
    int m_fd;
};

QString errnoText(int e)
{
    return QString::fromLocal8Bit(std::strerror(e));
}

QString folderFailure(int e)
{
    if (e == ELOOP || e == ENOTDIR)
        return QStringLiteral("路径中有符号链接或同名文件,已跳过");
    return QStringLiteral("无法创建文件夹: ") + errnoText(e);
}

// --- libmspack's I/O, bound to our own descriptors -------------------------------------

struct IoFile {
    int fd = -1;
    bool output = false;
    off_t position = 0;
};

struct IoSystem {
    mspack_system base; // first member: libmspack hands this pointer back to us
    int input = -1;
    IoFile* nextOutput = nullptr; ///< what the next open-for-writing returns
    quint64 written = 0;          ///< across all outputs, for the total cap
    quint64 cap = 0;
    bool capExceeded = false;
    int writeErrno = 0;
};

IoSystem* g_io = nullptr; // one extraction per process at a time

mspack_file* ioOpen(mspack_system* self, const char*, int mode)
{
    auto* io = reinterpret_cast<IoSystem*>(self);
    if (mode == MSPACK_SYS_OPEN_READ)
        return reinterpret_cast<mspack_file*>(new IoFile{io->input, false, 0});
    if (mode == MSPACK_SYS_OPEN_WRITE && io->nextOutput) {
        IoFile* out = io->nextOutput;
        io->nextOutput = nullptr;
        return reinterpret_cast<mspack_file*>(out);
    }
    return nullptr;
}

void ioClose(mspack_file* file)
{
    auto* f = reinterpret_cast<IoFile*>(file);
    if (!f->output)
        delete f; // outputs belong to the caller
}

int ioRead(mspack_file* file, void* buffer, int bytes)
{
    auto* f = reinterpret_cast<IoFile*>(file);
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
    auto* f = reinterpret_cast<IoFile*>(file);
    IoSystem* io = g_io;
    if (bytes < 0 || !io)
        return -1;
    if (quint64(bytes) > io->cap - std::min(io->cap, io->written)) {
        io->capExceeded = true;
        return -1;
    }
    const char* p = static_cast<const char*>(buffer);
    int left = bytes;
    while (left > 0) {
        const ssize_t n = ::write(f->fd, p, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            io->writeErrno = n < 0 ? errno : ENOSPC;
            return -1;
        }
        p += n;
        left -= int(n);
    }
    io->written += quint64(bytes);
    return bytes;
}

int ioSeek(mspack_file* file, off_t offset, int mode)
{
    auto* f = reinterpret_cast<IoFile*>(file);
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
    return reinterpret_cast<IoFile*>(file)->position;
}

void ioMessage(mspack_file*, const char*, ...) {}
void* ioAlloc(mspack_system*, size_t bytes) { return std::malloc(bytes); }
void ioFree(void* p) { std::free(p); }
void ioCopy(void* src, void* dest, size_t bytes) { std::memmove(dest, src, bytes); }

// --- output folder --------------------------------------------------------------------

/// Folder handles below the output folder, opened one component at a time without following links.
class OutputTree {
public:
    explicit OutputTree(int root) : m_root(root) {}
    ~OutputTree() { clear(); }
    OutputTree(const OutputTree&) = delete;
    OutputTree& operator=(const OutputTree&) = delete;

    /// The handle of a folder (relative path, "" for the root), created when missing.
    int folder(const QByteArray& path, int* error)
    {
        if (path.isEmpty())
            return m_root;
        if (auto it = m_folders.constFind(path); it != m_folders.constEnd())
            return it.value();
        const qsizetype slash = path.lastIndexOf('/');
        const int parent = folder(slash < 0 ? QByteArray() : path.left(slash), error);
        if (parent < 0)
            return -1;
        const QByteArray name = path.mid(slash + 1);
        if (::mkdirat(parent, name.constData(), 0777) != 0 && errno != EEXIST) {
            *error = errno;
            return -1;
        }
        const int fd = ::openat(parent, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            *error = errno;
            return -1;
        }
        if (m_folders.size() >= 256)
            clear(); // stay far below the descriptor limit on help files with many folders
        m_folders.insert(path, fd);
        return fd;
    }

private:
    void clear()
    {
        for (int fd : std::as_const(m_folders))
            ::close(fd);
        m_folders.clear();
    }
    int m_root;
    QHash<QByteArray, int> m_folders;
};

/// Creates a new file for an entry. An existing name is removed first, so a hard link or a
/// symbolic link placed there earlier is replaced, not written through.
int createFresh(int folder, const QByteArray& name, int* error)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int fd = ::openat(folder, name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0)
            return fd;
        if (errno != EEXIST || attempt > 0)
            break;
        if (::unlinkat(folder, name.constData(), 0) != 0)
            break;
    }
    *error = errno;
    return -1;
}

bool copySection0(int in, quint64 offset, quint64 length, int out)
{
    QByteArray buffer(qsizetype(std::min<quint64>(length, 1 << 16)), Qt::Uninitialized);
    IoFile target{out, true, 0};
    while (length > 0) {
        const auto run = int(std::min<quint64>(length, quint64(buffer.size())));
        if (!readAt(in, offset, buffer.data(), quint64(run)))
            return false;
        if (ioWrite(reinterpret_cast<mspack_file*>(&target), buffer.data(), run) != run)
            return false;
        offset += quint64(run);
        length -= quint64(run);
    }
    return true;
}

} // namespace

quint64 ExtractLimits::defaultFor(quint64 fileSize)
{
    // Help files compress HTML about 5 to 10 times; 100 times the file leaves room for plain
    // text while a bomb stops at a bounded size.
    return 256ull * 1024 * 1024 + fileSize * 100;
}

SafeName safeRelativeName(const QByteArray& stored)
{
    SafeName result;
    if (stored.startsWith("::") || stored.startsWith("/#") || stored.startsWith("/$")) {
        result.verdict = NameVerdict::Internal;
        return result;
    }
    if (stored == "/") {
        result.verdict = NameVerdict::Root;
        return result;
    }
    if (!stored.startsWith('/'))
        return result; // Unsafe
    QByteArray path = stored.mid(1);
    if (path.endsWith('/')) {
        result.folder = true;
        path.chop(1);
    }
    if (!platform::isValidUtf8(path)) {
        const auto text = platform::decodeText(path, "GB18030");
        if (!text) {
            result.verdict = NameVerdict::BadEncoding;
            return result;
        }
        path = text->toUtf8();
    }
    if (path.isEmpty() || path.contains('\\') || hasControlCharacter(path))
        return result;
    if (path.size() > kMaxPath) {
        result.verdict = NameVerdict::TooLong;
        return result;
    }
    for (const QByteArray& component : path.split('/')) {
        if (component.isEmpty() || component == "." || component == "..")
            return result;
        if (component.size() > kMaxComponent) {
            result.verdict = NameVerdict::TooLong;
            return result;
        }
    }
    result.verdict = NameVerdict::Safe;
    result.path = path;
    return result;
}

ExtractReport extractChm(const QByteArray& chmPath, const QByteArray& targetFolder,
                         const QByteArray& projectName, const ExtractLimits& limits)
{
    ExtractReport report;
    Fd input(::open(chmPath.constData(), O_RDONLY | O_CLOEXEC));
    if (input.get() < 0) {
        report.error = QStringLiteral("无法打开chm文件: ") + errnoText(errno);
        return report;
    }
    ChmArchive archive;
    if (!archive.read(input.get())) {
        report.error = archive.error();
        return report;
    }

    if (projectName.isEmpty() || projectName == "." || projectName == ".." || projectName.contains('/')) {
        report.error = QStringLiteral("无法由文件名得到输出文件夹的名称");
        return report;
    }
    Fd target(::open(targetFolder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (target.get() < 0) {
        report.error = QStringLiteral("无法打开目标文件夹: ") + errnoText(errno);
        return report;
    }
    if (::mkdirat(target.get(), projectName.constData(), 0777) != 0 && errno != EEXIST) {
        report.error = QStringLiteral("无法创建输出文件夹: ") + errnoText(errno);
        return report;
    }
    Fd root(::openat(target.get(), projectName.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (root.get() < 0) {
        const int e = errno;
        report.error = e == ELOOP || e == ENOTDIR ? QStringLiteral("输出文件夹的位置上有同名的文件或符号链接")
                                                  : QStringLiteral("无法打开输出文件夹: ") + errnoText(e);
        return report;
    }
    report.opened = true;

    struct Job {
        const ChmEntry* entry;
        QByteArray path;
    };
    std::vector<Job> jobs;
    OutputTree tree(root.get());
    for (const ChmEntry& entry : archive.entries()) {
        const SafeName name = safeRelativeName(entry.name);
        switch (name.verdict) {
        case NameVerdict::Internal:
        case NameVerdict::Root:
            continue;
        case NameVerdict::Unsafe:
            report.problems.append({shownName(entry.name), QStringLiteral("名称可能写到输出文件夹之外,已跳过")});
            continue;
        case NameVerdict::TooLong:
            report.problems.append({shownName(entry.name), QStringLiteral("名称过长,已跳过")});
            continue;
        case NameVerdict::BadEncoding:
            report.problems.append({shownName(entry.name), QStringLiteral("名称的编码无法识别,已跳过")});
            continue;
        case NameVerdict::Safe: break;
        }
        if (name.folder) {
            int error = 0;
            if (tree.folder(name.path, &error) < 0)
                report.problems.append({shownName(entry.name), folderFailure(error)});
            else
                ++report.folders;
            continue;
        }
        if (const QString why = archive.checkExtent(entry); !why.isEmpty()) {
            report.problems.append({shownName(entry.name), why});
            continue;
        }
        jobs.push_back({&entry, name.path});
    }
    // Data order: the compressed stream is then decoded once from start to end.
    std::stable_sort(jobs.begin(), jobs.end(), [](const Job& a, const Job& b) {
        if (a.entry->section != b.entry->section)
            return a.entry->section < b.entry->section;
        return a.entry->offset < b.entry->offset;
    });

    IoSystem io{};
    io.base = {ioOpen, ioClose, ioRead, ioWrite, ioSeek, ioTell, ioMessage, ioAlloc, ioFree, ioCopy, nullptr};
    io.input = input.get();
    io.cap = limits.maxTotalBytes;
    g_io = &io;

    mschm_decompressor* decompressor = nullptr;
    mschmd_header header {};
    mschmd_file sysFiles[4] {};
    const ChmCompressedSection& lzx = archive.compressed();
    if (lzx.present) {
        decompressor = mspack_create_chm_decompressor(&io.base);
        // The header is filled from our own validated reading; libmspack's own header parser
        // refuses files whose first-listing-chunk field is wrong.
        header.filename = "";
        header.length = off_t(archive.fileSize());
        header.sec0.base.chm = &header;
        header.sec0.base.id = 0;
        header.sec0.offset = off_t(archive.section0Offset());
        header.sec1.base.chm = &header;
        header.sec1.base.id = 1;
        const ChmEntry* described[4] = {&lzx.content, &lzx.controlData, &lzx.resetTable, &lzx.spanInfo};
        for (int i = 0; i < 4; ++i) {
            sysFiles[i].section = &header.sec0.base;
            sysFiles[i].offset = off_t(described[i]->offset);
            sysFiles[i].length = off_t(described[i]->length);
            sysFiles[i].filename = const_cast<char*>("");
        }
        header.sec1.content = &sysFiles[0];
        header.sec1.control = &sysFiles[1];
        header.sec1.rtable = &sysFiles[2];
        header.sec1.spaninfo = lzx.spanInfo.name.isEmpty() ? nullptr : &sysFiles[3];
    }

    for (const Job& job : jobs) {
        const qsizetype slash = job.path.lastIndexOf('/');
        const QByteArray folderPath = slash < 0 ? QByteArray() : job.path.left(slash);
        const QByteArray fileName = job.path.mid(slash + 1);
        const QString shown = shownName(job.entry->name);
        int error = 0;
        const int folder = tree.folder(folderPath, &error);
        if (folder < 0) {
            report.problems.append({shown, folderFailure(error)});
            continue;
        }
        Fd out(createFresh(folder, fileName, &error));
        if (out.get() < 0) {
            report.problems.append({shown, QStringLiteral("无法创建文件: ") + errnoText(error)});
            continue;
        }
        io.capExceeded = false;
        io.writeErrno = 0;
        bool ok;
        if (job.entry->section == 0) {
            ok = copySection0(input.get(), archive.section0Offset() + job.entry->offset, job.entry->length,
                              out.get());
        } else {
            IoFile target{out.get(), true, 0};
            io.nextOutput = &target;
            mschmd_file file {};
            file.section = &header.sec1.base;
            file.offset = off_t(job.entry->offset);
            file.length = off_t(job.entry->length);
            file.filename = const_cast<char*>("");
            ok = decompressor->extract(decompressor, &file, "") == MSPACK_ERR_OK;
            io.nextOutput = nullptr;
        }
        if (!ok) {
            // A partial file would look complete to the user; take it away.
            ::unlinkat(folder, fileName.constData(), 0);
            QString why = QStringLiteral("解压失败,数据已损坏");
            if (io.capExceeded)
                why = QStringLiteral("解压后的总量超过上限,已停止");
            else if (io.writeErrno)
                why = QStringLiteral("写入失败: ") + errnoText(io.writeErrno);
            report.problems.append({shown, why});
            if (io.capExceeded)
                break;
            continue;
        }
        ++report.files;
        report.bytes += job.entry->length;
    }
    if (decompressor)
        mspack_destroy_chm_decompressor(decompressor);
    g_io = nullptr;
    return report;
}

} // namespace korvane::helpdecompiler
