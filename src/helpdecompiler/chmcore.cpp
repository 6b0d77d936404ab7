#include "helpdecompiler/chmcore.h"

#include "helpdecompiler/chmarchive.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iconv.h>
#include <mspack.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace korvane::helpdecompiler::core {

namespace {

constexpr std::size_t kMaxComponent = 255;
constexpr std::size_t kMaxPath = 4095;

bool hasControlCharacter(const std::string& bytes)
{
    return std::any_of(bytes.begin(), bytes.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7F;
    });
}

std::optional<std::string> fromGb18030(const std::string& bytes)
{
    iconv_t cd = ::iconv_open("UTF-8", "GB18030");
    if (cd == iconv_t(-1))
        return std::nullopt;
    std::string out(bytes.size() * 2 + 8, '\0');
    char* in = const_cast<char*>(bytes.data());
    std::size_t inLeft = bytes.size();
    char* o = out.data();
    std::size_t outLeft = out.size();
    const bool ok = ::iconv(cd, &in, &inLeft, &o, &outLeft) != std::size_t(-1) && inLeft == 0 &&
                    ::iconv(cd, nullptr, nullptr, &o, &outLeft) != std::size_t(-1);
    ::iconv_close(cd);
    if (!ok)
        return std::nullopt;
    out.resize(out.size() - outLeft);
    return out;
}

std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos)
            return parts;
        start = at + 1;
    }
}

/// The stored name as text for the user: each component UTF-8, else GB18030, else with "?"
/// for every byte that is not plain ASCII; control characters as "?".
std::string shownName(const std::string& stored)
{
    std::string text;
    const std::vector<std::string> parts = split(stored, '/');
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::string& part = parts[i];
        if (i > 0)
            text += '/';
        if (isUtf8(part)) {
            text += part;
        } else if (const auto decoded = fromGb18030(part)) {
            text += *decoded;
        } else {
            for (char c : part)
                text += static_cast<unsigned char>(c) < 0x80 ? c : '?';
        }
    }
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
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

std::string errnoText(int e)
{
    return std::strerror(e);
}

std::string folderFailure(int e)
{
    if (e == ELOOP || e == ENOTDIR)
        return std::string("路径中有符号链接或同名文件,已跳过");
    return std::string("无法创建文件夹: ") + errnoText(e);
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
    std::uint64_t written = 0;    ///< across all outputs, for the total cap
    std::uint64_t cap = 0;
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
    if (std::uint64_t(bytes) > io->cap - std::min(io->cap, io->written)) {
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
    io->written += std::uint64_t(bytes);
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

// --- output folder --------------------------------------------------------------------

/// Folder handles below the output folder, opened one component at a time without following links.
class OutputTree {
public:
    explicit OutputTree(int root) : m_root(root) {}
    ~OutputTree() { clear(); }
    OutputTree(const OutputTree&) = delete;
    OutputTree& operator=(const OutputTree&) = delete;

    /// The handle of a folder (relative path, "" for the root), created when missing.
    int folder(const std::string& path, int* error)
    {
        if (path.empty())
            return m_root;
        if (auto it = m_folders.find(path); it != m_folders.end())
            return it->second;
        const std::size_t slash = path.rfind('/');
        const int parent = folder(slash == std::string::npos ? std::string() : path.substr(0, slash), error);
        if (parent < 0)
            return -1;
        const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        if (::mkdirat(parent, name.c_str(), 0777) != 0 && errno != EEXIST) {
            *error = errno;
            return -1;
        }
        const int fd = ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            *error = errno;
            return -1;
        }
        if (m_folders.size() >= 256)
            clear(); // stay far below the descriptor limit on help files with many folders
        m_folders.emplace(path, fd);
        return fd;
    }

private:
    void clear()
    {
        for (const auto& [path, fd] : m_folders)
            ::close(fd);
        m_folders.clear();
    }
    int m_root;
    std::unordered_map<std::string, int> m_folders;
};

/// Creates a new file. An existing name is removed first, so a hard link or a symbolic link
/// placed there earlier is replaced, not written through.
int createFresh(int folder, const std::string& name, int* error)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int fd =
            ::openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0)
            return fd;
        if (errno != EEXIST || attempt > 0)
            break;
        if (::unlinkat(folder, name.c_str(), 0) != 0)
            break;
    }
    *error = errno;
    return -1;
}

bool copySection0(int in, std::uint64_t offset, std::uint64_t length, int out)
{
    std::vector<char> buffer(std::size_t(std::min<std::uint64_t>(length, 1 << 16)));
    IoFile target{out, true, 0};
    while (length > 0) {
        const auto run = int(std::min<std::uint64_t>(length, std::uint64_t(buffer.size())));
        if (!readAt(in, offset, buffer.data(), std::uint64_t(run)))
            return false;
        if (ioWrite(reinterpret_cast<mspack_file*>(&target), buffer.data(), run) != run)
            return false;
        offset += std::uint64_t(run);
        length -= std::uint64_t(run);
    }
    return true;
}

} // namespace

void removePartialFile(const std::string& targetFolder, const std::string& projectName)
{
    Fd target(::open(targetFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (target.get() < 0 || projectName.empty() || projectName.find('/') != std::string::npos)
        return;
    Fd root(::openat(target.get(), projectName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (root.get() >= 0)
        ::unlinkat(root.get(), kPartialFileName, 0);
}

std::uint64_t defaultCap(std::uint64_t fileSize)
{
    // Help files compress HTML about 5 to 10 times; 100 times the file leaves room for plain
    // text while a bomb stops at a bounded size.
    return 256ull * 1024 * 1024 + fileSize * 100;
}

bool isUtf8(const std::string& bytes)
{
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = p + bytes.size();
    while (p < end) {
        const unsigned char c = *p;
        int more;
        std::uint32_t cp;
        if (c < 0x80) {
            ++p;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            more = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            more = 2;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            more = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (end - p <= more)
            return false;
        for (int i = 1; i <= more; ++i) {
            if ((p[i] & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (p[i] & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        if ((more == 2 && cp < 0x800) || (more == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        p += more + 1;
    }
    return true;
}

SafeName safeRelativeName(const std::string& stored)
{
    SafeName result;
    const auto startsWith = [&](const char* prefix) { return stored.rfind(prefix, 0) == 0; };
    if (startsWith("::") || startsWith("/#") || startsWith("/$")) {
        result.verdict = NameVerdict::Internal;
        return result;
    }
    if (stored == "/") {
        result.verdict = NameVerdict::Root;
        return result;
    }
    if (!startsWith("/"))
        return result; // Unsafe
    std::string path = stored.substr(1);
    if (!path.empty() && path.back() == '/') {
        result.folder = true;
        path.pop_back();
    }
    if (!isUtf8(path)) {
        const auto text = fromGb18030(path);
        if (!text) {
            result.verdict = NameVerdict::BadEncoding;
            return result;
        }
        path = *text;
    }
    if (path.empty() || path.find('\\') != std::string::npos || hasControlCharacter(path))
        return result;
    if (path.size() > kMaxPath) {
        result.verdict = NameVerdict::TooLong;
        return result;
    }
    for (const std::string& component : split(path, '/')) {
        if (component.empty() || component == "." || component == "..")
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

Report extract(const std::string& chmPath, const std::string& targetFolder, const std::string& projectName,
               std::uint64_t maxTotalBytes)
{
    Report report;
    Fd input(::open(chmPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (input.get() < 0) {
        report.error = std::string("无法打开chm文件: ") + errnoText(errno);
        return report;
    }
    ChmArchive archive;
    if (!archive.read(input.get())) {
        report.error = archive.error();
        return report;
    }

    if (projectName.empty() || projectName == "." || projectName == ".." ||
        projectName.find('/') != std::string::npos) {
        report.error = std::string("无法由文件名得到输出文件夹的名称");
        return report;
    }
    Fd target(::open(targetFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (target.get() < 0) {
        report.error = std::string("无法打开目标文件夹: ") + errnoText(errno);
        return report;
    }
    if (::mkdirat(target.get(), projectName.c_str(), 0777) != 0 && errno != EEXIST) {
        report.error = std::string("无法创建输出文件夹: ") + errnoText(errno);
        return report;
    }
    Fd root(::openat(target.get(), projectName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (root.get() < 0) {
        const int e = errno;
        report.error = e == ELOOP || e == ENOTDIR ? std::string("输出文件夹的位置上有同名的文件或符号链接")
                                                  : std::string("无法打开输出文件夹: ") + errnoText(e);
        return report;
    }
    report.opened = true;

    struct Job {
        const ChmEntry* entry;
        std::string path;
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
            report.addProblem(shownName(entry.name), std::string("名称可能写到输出文件夹之外,已跳过"));
            continue;
        case NameVerdict::TooLong:
            report.addProblem(shownName(entry.name), std::string("名称过长,已跳过"));
            continue;
        case NameVerdict::BadEncoding:
            report.addProblem(shownName(entry.name), std::string("名称的编码无法识别,已跳过"));
            continue;
        case NameVerdict::Safe:
            break;
        }
        if (name.folder) {
            int error = 0;
            if (tree.folder(name.path, &error) < 0)
                report.addProblem(shownName(entry.name), folderFailure(error));
            else
                ++report.folders;
            continue;
        }
        if (const std::string why = archive.checkExtent(entry); !why.empty()) {
            report.addProblem(shownName(entry.name), why);
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
    io.cap = maxTotalBytes;
    g_io = &io;

    mschm_decompressor* decompressor = nullptr;
    mschmd_header header{};
    mschmd_file sysFiles[4]{};
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
        header.sec1.spaninfo = lzx.spanInfo.name.empty() ? nullptr : &sysFiles[3];
    }

    for (const Job& job : jobs) {
        const std::size_t slash = job.path.rfind('/');
        const std::string folderPath = slash == std::string::npos ? std::string() : job.path.substr(0, slash);
        const std::string fileName = slash == std::string::npos ? job.path : job.path.substr(slash + 1);
        const std::string shown = shownName(job.entry->name);
        int error = 0;
        const int folder = tree.folder(folderPath, &error);
        if (folder < 0) {
            report.addProblem(shown, folderFailure(error));
            continue;
        }
        Fd out(createFresh(root.get(), kPartialFileName, &error));
        if (out.get() < 0) {
            report.addProblem(shown, std::string("无法创建文件: ") + errnoText(error));
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
            mschmd_file file{};
            file.section = &header.sec1.base;
            file.offset = off_t(job.entry->offset);
            file.length = off_t(job.entry->length);
            file.filename = const_cast<char*>("");
            ok = decompressor->extract(decompressor, &file, "") == MSPACK_ERR_OK;
            io.nextOutput = nullptr;
        }
        if (!ok) {
            // A partial file would look complete to the user; take it away.
            ::unlinkat(root.get(), kPartialFileName, 0);
            std::string why = std::string("解压失败,数据已损坏");
            if (io.capExceeded)
                why = std::string("解压后的总量超过上限,已停止");
            else if (io.writeErrno)
                why = std::string("写入失败: ") + errnoText(io.writeErrno);
            report.addProblem(shown, why);
            if (io.capExceeded)
                break;
            continue;
        }
        // Complete: it takes the entry's name now, replacing whatever had it (a link planted
        // there included, which is replaced, never written through).
        if (::renameat(root.get(), kPartialFileName, folder, fileName.c_str()) != 0) {
            const int e = errno;
            ::unlinkat(root.get(), kPartialFileName, 0);
            report.addProblem(shown, std::string("无法创建文件: ") + errnoText(e));
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

} // namespace korvane::helpdecompiler::core

namespace korvane::helpdecompiler::core {

namespace {

std::string field(std::string text)
{
    for (char& c : text) {
        if (c == '\t' || c == '\n' || c == '\r')
            c = ' ';
    }
    return text;
}

} // namespace

std::string formatReport(const Report& report)
{
    std::string text = std::string("opened\t") + (report.opened ? "1" : "0") + '\n';
    if (!report.error.empty())
        text += "error\t" + field(report.error) + '\n';
    for (const Problem& problem : report.problems)
        text += "problem\t" + field(problem.reason) + '\t' + field(problem.name) + '\n';
    text += "problems\t" + std::to_string(report.problemCount) + '\n';
    text += "done\t" + std::to_string(report.files) + '\t' + std::to_string(report.folders) + '\t' +
            std::to_string(report.bytes) + '\n';
    return text;
}

} // namespace korvane::helpdecompiler::core
