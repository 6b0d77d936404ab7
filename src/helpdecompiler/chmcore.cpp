#include "helpdecompiler/chmcore.h"

#include "helpdecompiler/chmarchive.h"
#include "helpdecompiler/chmlzx.h"
#include "platform/uniquefd.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <optional>
#include <sched.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>

namespace korvane::helpdecompiler::core {

using platform::UniqueFd;

namespace {

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

/// The page written under its own name right now (see removePageInProgress).
std::atomic<int> g_pageFolder{-1};
std::atomic<const char*> g_pageName{nullptr};

/// Folder handles below the output folder, opened one component at a time without following links.
class OutputTree {
public:
    explicit OutputTree(int root) : m_root(root) {}

    /// The handle of a folder (relative path, "" for the root), created when missing.
    int folder(const std::string& path, int* error)
    {
        if (path.empty())
            return m_root;
        if (auto it = m_folders.find(path); it != m_folders.end())
            return it->second.get();
        const std::size_t slash = path.rfind('/');
        const int parent = folder(slash == std::string::npos ? std::string() : path.substr(0, slash), error);
        if (parent < 0)
            return -1;
        const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        if (::mkdirat(parent, name.c_str(), 0777) != 0 && errno != EEXIST) {
            *error = errno;
            return -1;
        }
        UniqueFd fd(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd.valid()) {
            *error = errno;
            return -1;
        }
        if (m_folders.size() >= 256)
            m_folders.clear(); // stay far below the descriptor limit on help files with many folders
        return m_folders.emplace(path, std::move(fd)).first->second.get();
    }

private:
    int m_root;
    std::unordered_map<std::string, UniqueFd> m_folders;
};

/// Creates a new file. An existing name is removed first, so a hard link or a symbolic link
/// placed there earlier is replaced, not written through.
UniqueFd createFresh(int folder, const std::string& name, int* error)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        UniqueFd fd(::openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (fd.valid())
            return fd;
        if (errno != EEXIST || attempt > 0)
            break;
        if (::unlinkat(folder, name.c_str(), 0) != 0)
            break;
    }
    *error = errno;
    return UniqueFd();
}

bool copySection0(int in, std::uint64_t offset, std::uint64_t length, IoFile& out)
{
    std::vector<char> buffer(std::size_t(std::min<std::uint64_t>(length, 1 << 16)));
    while (length > 0) {
        const auto run = int(std::min<std::uint64_t>(length, std::uint64_t(buffer.size())));
        if (!readAt(in, offset, buffer.data(), std::uint64_t(run)) || !out.io->write(out, buffer.data(), run))
            return false;
        offset += std::uint64_t(run);
        length -= std::uint64_t(run);
    }
    return true;
}

/// Opens the output folder `projectName` under `targetFolder`, creating it when missing; the
/// folder itself may not be a link. On failure says why in the report. `made` tells whether this
/// call created it: then no name in it can be a user's file.
UniqueFd openOutputRoot(const std::string& targetFolder, const std::string& projectName, ExtractReport& report,
                        bool* made)
{
    if (projectName.empty() || projectName == "." || projectName == ".." ||
        projectName.find('/') != std::string::npos) {
        report.error = std::string("无法由文件名得到输出文件夹的名称");
        return UniqueFd();
    }
    const UniqueFd target(::open(targetFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!target.valid()) {
        report.error = std::string("无法打开目标文件夹: ") + errnoText(errno);
        return UniqueFd();
    }
    *made = ::mkdirat(target.get(), projectName.c_str(), 0777) == 0;
    if (!*made && errno != EEXIST) {
        report.error = std::string("无法创建输出文件夹: ") + errnoText(errno);
        return UniqueFd();
    }
    UniqueFd root(::openat(target.get(), projectName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!root.valid()) {
        const int e = errno;
        report.error = e == ELOOP || e == ENOTDIR ? std::string("输出文件夹的位置上有同名的文件或符号链接")
                                                  : std::string("无法打开输出文件夹: ") + errnoText(e);
    }
    return root;
}

/// One file entry to write, under its checked relative path.
struct Job {
    const ChmEntry* entry;
    std::string path;
    std::string* memory = nullptr; ///< a table read for the project facts, not written out
};

/// The tables the project facts come from, read in the same pass as the pages.
struct ProjectTables {
    std::string system, windows, strings, contextIds;

    std::string* slotFor(const std::string& name)
    {
        if (name == kSystemTable)
            return &system;
        if (name == kWindowsTable)
            return &windows;
        if (name == kStringsTable)
            return &strings;
        if (name == kContextTable)
            return &contextIds;
        return nullptr;
    }

    void parseInto(ChmProjectFacts& facts, const ChmArchive& archive) const
    {
        parseSystem(system, facts);
        if (!windows.empty())
            parseWindows(windows, strings, facts);
        if (!contextIds.empty()) {
            PageNames pages;
            for (const ChmEntry& entry : archive.entries()) {
                if (const SafeName safe = safeRelativeName(entry.name);
                    safe.verdict == NameVerdict::Safe && !safe.folder) {
                    std::string name = entry.name.substr(1);
                    for (char& c : name)
                        c = c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
                    pages.insert(std::move(name));
                }
            }
            parseContextIds(contextIds, strings, facts, &pages);
        }
        // Other compilers leave the #SYSTEM flags at 0 and still write the binary tables.
        for (const ChmEntry& entry : archive.entries()) {
            if (entry.name == "/#TOCIDX")
                facts.binaryToc = true;
            else if (entry.name == "/$WWKeywordLinks/BTree")
                facts.binaryIndex = true;
        }
    }
};

/// Why a stored name is refused, or nullptr for a name that may be written.
const char* refusal(NameVerdict verdict)
{
    switch (verdict) {
    case NameVerdict::Unsafe: return "名称可能写到输出文件夹之外,已跳过";
    case NameVerdict::TooLong: return "名称过长,已跳过";
    case NameVerdict::BadEncoding: return "名称的编码无法识别,已跳过";
    case NameVerdict::Internal:
    case NameVerdict::Root:
    case NameVerdict::Safe: break;
    }
    return nullptr;
}

/// The file entries to write, in data order, so the compressed stream is decoded once from start
/// to end. Folder entries are created on the way; refused names and bad extents are reported.
std::vector<Job> plan(const ChmArchive& archive, OutputTree& tree, ExtractReport& report, ProjectTables& tables)
{
    std::vector<Job> jobs;
    for (const ChmEntry& entry : archive.entries()) {
        const SafeName name = safeRelativeName(entry.name);
        if (name.verdict == NameVerdict::Internal) {
            std::string* slot = tables.slotFor(entry.name);
            if (slot && entry.length <= kMaxTableBytes && archive.checkExtent(entry).empty())
                jobs.push_back({&entry, std::string(), slot});
            continue;
        }
        if (name.verdict == NameVerdict::Root)
            continue;
        if (const char* why = refusal(name.verdict)) {
            report.addProblem(shownName(entry.name), why);
            continue;
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
    std::stable_sort(jobs.begin(), jobs.end(), [](const Job& a, const Job& b) {
        if (a.entry->section != b.entry->section)
            return a.entry->section < b.entry->section;
        return a.entry->offset < b.entry->offset;
    });
    return jobs;
}

/// Pages decoded into memory, put on disk by a thread of its own while the decoder goes on
/// with the next ones: decoding is user time, creating files system time, and two cores can
/// do both at once. Pages are placed in the order they come (a name stored twice ends as on
/// one thread); what is queued is bounded.
class PageQueue {
public:
    using Place = std::function<void(const Job&, const std::string&)>;
    static constexpr std::uint64_t kLargestPage = 4u << 20; ///< larger ones stream on the decoder's thread

    explicit PageQueue(Place place) : m_place(std::move(place)), m_thread([this] { loop(); }) {}
    ~PageQueue()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_done = true;
        }
        m_ready.notify_all();
        m_thread.join();
    }
    PageQueue(const PageQueue&) = delete;
    PageQueue& operator=(const PageQueue&) = delete;

    void push(const Job& job, std::string bytes)
    {
        std::unique_lock lock(m_mutex);
        m_room.wait(lock, [this] { return m_bytes < kQueuedBytes; });
        m_bytes += bytes.size();
        m_pages.emplace_back(&job, std::move(bytes));
        m_ready.notify_one();
    }

    /// Waits until every page pushed is on disk.
    void drain()
    {
        std::unique_lock lock(m_mutex);
        m_room.wait(lock, [this] { return m_pages.empty() && !m_busy; });
    }

private:
    static constexpr std::size_t kQueuedBytes = 16u << 20;

    void loop()
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_ready.wait(lock, [this] { return m_done || !m_pages.empty(); });
            if (m_pages.empty())
                return;
            const std::pair<const Job*, std::string> page = std::move(m_pages.front());
            m_pages.pop_front();
            m_busy = true;
            lock.unlock();
            m_place(*page.first, page.second);
            lock.lock();
            m_busy = false;
            m_bytes -= page.second.size();
            m_room.notify_all();
        }
    }

    Place m_place;
    std::mutex m_mutex;
    std::condition_variable m_ready, m_room;
    std::deque<std::pair<const Job*, std::string>> m_pages;
    std::size_t m_bytes = 0;
    bool m_busy = false;
    bool m_done = false;
    std::thread m_thread; ///< last: it starts once the rest is ready
};

/// Whether a second core is there for the page queue (taskset and cpusets count).
bool secondCore()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    return ::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 1;
}

/// Writes the planned entries. In an output folder this run created, a page is created under its
/// own name (exclusively, so nothing else can be there); elsewhere, or when the name is taken, it
/// goes under the partial name first and is renamed into place when complete, so a user's file is
/// replaced whole or not at all.
class EntryWriter {
public:
    EntryWriter(const ChmArchive& archive, int input, int root, bool rootIsNew, OutputTree& tree, std::uint64_t cap,
                ExtractReport& report)
        : m_archive(archive), m_input(input), m_root(root), m_rootIsNew(rootIsNew), m_tree(tree), m_io(input, cap),
          m_lzx(archive, m_io), m_report(report)
    {}

    void run(const std::vector<Job>& jobs, bool secondThread)
    {
        if (secondThread && secondCore())
            m_queue.emplace([this](const Job& job, const std::string& bytes) { place(job, bytes); });
        // A table beyond the last page (after the full-text index, often) is read by a decoder
        // of its own, which starts at the reset point before it: the one decoder would have to
        // decode everything in between.
        std::uint64_t pagesEnd = 0;
        for (const Job& job : jobs) {
            if (!job.memory && job.entry->section == 1)
                pagesEnd = std::max(pagesEnd, job.entry->offset + job.entry->length);
        }
        const std::uint64_t interval = m_archive.compressed().resetInterval;
        std::vector<const Job*> late;
        for (const Job& job : jobs) {
            if (job.memory && job.entry->section == 1 && job.entry->offset >= pagesEnd + interval) {
                late.push_back(&job);
                continue;
            }
            if (!write(job))
                break;
        }
        LzxSection own(m_archive, m_io);
        for (const Job* job : late) {
            if (m_io.capExceeded || !readTable(*job, own))
                break;
        }
        m_queue.reset(); // every page on disk before the report is made
    }

private:
    /// False when the run must stop: the output cap is reached.
    bool write(const Job& job)
    {
        if (job.memory)
            return readTable(job);
        if (m_queue && job.entry->length <= PageQueue::kLargestPage) {
            std::string bytes;
            bytes.reserve(std::size_t(job.entry->length));
            IoFile target{&m_io, -1, true, 0, &bytes};
            if (!decode(*job.entry, target)) {
                problem(job, decodeFailure());
                return !m_io.capExceeded;
            }
            m_queue->push(job, std::move(bytes));
            return true;
        }
        if (m_queue)
            m_queue->drain(); // the queue's pages first, in their order
        place(job, [this, &job](int out) {
            IoFile target{&m_io, out, true, 0};
            return decode(*job.entry, target) ? std::string() : decodeFailure();
        });
        return !m_io.capExceeded;
    }

    /// Puts a page decoded into memory on disk.
    void place(const Job& job, const std::string& bytes)
    {
        place(job, [&bytes](int out) {
            std::size_t done = 0;
            while (done < bytes.size()) {
                const ssize_t n = ::write(out, bytes.data() + done, bytes.size() - done);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    return std::string("写入失败: ") + errnoText(n < 0 ? errno : ENOSPC);
                done += std::size_t(n);
            }
            return std::string();
        });
    }

    /// Creates the page's file and has `fill` write it (it answers why not, or ""); one thread
    /// at a time.
    void place(const Job& job, const std::function<std::string(int)>& fill)
    {
        const std::size_t slash = job.path.rfind('/');
        const std::string folderPath = slash == std::string::npos ? std::string() : job.path.substr(0, slash);
        const std::string fileName = slash == std::string::npos ? job.path : job.path.substr(slash + 1);
        int error = 0;
        const int folder = m_tree.folder(folderPath, &error);
        if (folder < 0)
            return problem(job, folderFailure(error));
        if (m_rootIsNew) {
            // Named before it exists: a death signal may come between the two.
            g_pageFolder = folder;
            g_pageName = fileName.c_str();
            const UniqueFd own(
                ::openat(folder, fileName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
            const int e = errno;
            if (own.valid())
                fillOrRemove(job, own.get(), folder, fileName, fill);
            g_pageName = nullptr;
            if (own.valid())
                return;
            if (e != EEXIST) // a name taken after all goes the safe way below
                return problem(job, std::string("无法创建文件: ") + errnoText(e));
        }
        const UniqueFd out = createFresh(m_root, kPartialFileName, &error);
        if (!out.valid())
            return problem(job, std::string("无法创建文件: ") + errnoText(error));
        if (const std::string why = fill(out.get()); !why.empty()) {
            // A partial file would look complete to the user; take it away.
            ::unlinkat(m_root, kPartialFileName, 0);
            return problem(job, why);
        }
        // Complete: it takes the entry's name now, replacing whatever had it (a link planted
        // there included, which is replaced, never written through).
        if (::renameat(m_root, kPartialFileName, folder, fileName.c_str()) != 0) {
            const int e = errno;
            ::unlinkat(m_root, kPartialFileName, 0);
            return problem(job, std::string("无法创建文件: ") + errnoText(e));
        }
        counted(job);
    }

    void fillOrRemove(const Job& job, int out, int folder, const std::string& fileName,
                      const std::function<std::string(int)>& fill)
    {
        if (const std::string why = fill(out); !why.empty()) {
            ::unlinkat(folder, fileName.c_str(), 0);
            return problem(job, why);
        }
        counted(job);
    }

    void counted(const Job& job)
    {
        const std::lock_guard lock(m_reportLock);
        ++m_report.files;
        m_report.bytes += job.entry->length;
    }

    /// The name as text is made only for a page that has a problem: it may take a conversion.
    void problem(const Job& job, std::string reason)
    {
        const std::lock_guard lock(m_reportLock);
        m_report.addProblem(shownName(job.entry->name), std::move(reason));
    }

    /// A damaged table gives no facts; the pages go on.
    bool readTable(const Job& job) { return readTable(job, m_lzx); }

    bool readTable(const Job& job, LzxSection& lzx)
    {
        IoFile target{&m_io, -1, true, 0, job.memory};
        if (!decode(*job.entry, target, lzx))
            job.memory->clear();
        return !m_io.capExceeded;
    }

    bool decode(const ChmEntry& entry, IoFile& target) { return decode(entry, target, m_lzx); }

    bool decode(const ChmEntry& entry, IoFile& target, LzxSection& lzx)
    {
        m_io.capExceeded = false;
        m_io.writeErrno = 0;
        if (entry.section == 0)
            return copySection0(m_input, m_archive.section0Offset() + entry.offset, entry.length, target);
        return lzx.extract(entry, target);
    }

    std::string decodeFailure() const
    {
        if (m_io.capExceeded)
            return std::string("解压后的总量超过上限,已停止");
        if (m_io.writeErrno)
            return std::string("写入失败: ") + errnoText(m_io.writeErrno);
        return std::string("解压失败,数据已损坏");
    }

    const ChmArchive& m_archive;
    int m_input;
    int m_root;
    bool m_rootIsNew;
    OutputTree& m_tree;
    IoSystem m_io;
    LzxSection m_lzx;
    ExtractReport& m_report;
    std::mutex m_reportLock; ///< the page queue's thread reports too
    std::optional<PageQueue> m_queue;
};

} // namespace

void removePageInProgress() noexcept
{
    if (const char* name = g_pageName.load())
        ::unlinkat(g_pageFolder.load(), name, 0);
}

void removePartialFile(const std::string& targetFolder, const std::string& projectName)
{
    const UniqueFd target(::open(targetFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!target.valid() || projectName.empty() || projectName.find('/') != std::string::npos)
        return;
    const UniqueFd root(::openat(target.get(), projectName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (root.valid())
        ::unlinkat(root.get(), kPartialFileName, 0);
}

std::uint64_t defaultCap(std::uint64_t fileSize)
{
    // Help files compress HTML about 5 to 10 times; 100 times the file leaves room for plain
    // text while a bomb stops at a bounded size.
    return 256ull * 1024 * 1024 + fileSize * 100;
}

ExtractReport extract(const std::string& chmPath, const std::string& targetFolder, const std::string& projectName,
                      std::uint64_t maxTotalBytes, bool secondThread)
{
    ExtractReport report;
    const UniqueFd input(::open(chmPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (!input.valid()) {
        report.error = std::string("无法打开chm文件: ") + errnoText(errno);
        return report;
    }
    ChmArchive archive;
    if (!archive.read(input.get())) {
        report.error = archive.error();
        return report;
    }
    bool made = false;
    const UniqueFd root = openOutputRoot(targetFolder, projectName, report, &made);
    if (!root.valid())
        return report;
    report.opened = true;

    OutputTree tree(root.get());
    ProjectTables tables;
    const std::vector<Job> jobs = plan(archive, tree, report, tables);
    EntryWriter(archive, input.get(), root.get(), made, tree, maxTotalBytes, report).run(jobs, secondThread);
    tables.parseInto(report.project, archive);
    return report;
}

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

std::string formatReport(const ExtractReport& report)
{
    std::string text = std::string("opened\t") + (report.opened ? "1" : "0") + '\n';
    if (!report.error.empty())
        text += "error\t" + field(report.error) + '\n';
    for (const EntryProblem& problem : report.problems)
        text += "problem\t" + field(problem.reason) + '\t' + field(problem.name) + '\n';
    text += "problems\t" + std::to_string(report.problemCount) + '\n';
    text += formatFacts(report.project);
    text += "done\t" + std::to_string(report.files) + '\t' + std::to_string(report.folders) + '\t' +
            std::to_string(report.bytes) + '\n';
    return text;
}

} // namespace korvane::helpdecompiler::core
