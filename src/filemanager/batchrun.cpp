#include "filemanager/batchrun.h"

#include "filemanager/typematch.h"
#include "platform/nativepath.h"
#include "platform/orderedparallel.h"

#include <QHash>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <exception>
#include <utility>

namespace korvane::filemanager {

using platform::DirEntry;
using platform::EntryKind;
using platform::joinPath;

QString refusalMessage(Refusal refusal)
{
    switch (refusal) {
    case Refusal::None: return {};
    case Refusal::NoSource: return QStringLiteral("必须先指定源!");
    case Refusal::SourceNotFolder: return QStringLiteral("指定的源目录不存在!");
    case Refusal::NoTarget: return QStringLiteral("必须先指定目标!");
    case Refusal::TargetNotFolder: return QStringLiteral("指定的目标目录不存在!");
    }
    return {};
}

QString sourceInTargetText()
{
    return QStringLiteral("目标中的同名文件也是本次复制的源文件");
}

namespace {

/// Files the run left undone; one already in place ("same file") is not among them.
QList<const FileFailure*> undoneFiles(const RunReport& report)
{
    QList<const FileFailure*> undone;
    for (const FileFailure& failure : report.failures) {
        if (failure.status.kind() != platform::ErrorKind::SameFile)
            undone.append(&failure);
    }
    return undone;
}

} // namespace

QString unfinishedText(const RunReport& report)
{
    const QList<const FileFailure*> undone = undoneFiles(report);
    const qsizetype folders = report.unlistedFolders.size();
    const QString unread = QStringLiteral("%1 个文件夹无法读取,其中的文件未处理。").arg(folders);
    if (undone.isEmpty())
        return folders == 0 ? QString() : QStringLiteral("文件操作已结束,但有 ") + unread;
    constexpr qsizetype kShown = 12;
    QStringList lines;
    for (qsizetype i = 0; i < std::min(kShown, undone.size()); ++i)
        lines << platform::displayPath(undone[i]->path);
    if (undone.size() > kShown)
        lines << QStringLiteral("……另有 %1 个文件").arg(undone.size() - kShown);
    QString text = QStringLiteral("文件操作已结束,但以下 %1 个文件未能处理:\n\n").arg(undone.size()) +
                   lines.join(QLatin1Char('\n'));
    if (folders > 0)
        text += QStringLiteral("\n\n另有 ") + unread;
    return text;
}

QString unfinishedDetails(const RunReport& report)
{
    QStringList lines;
    for (const FileFailure* failure : undoneFiles(report))
        lines << platform::displayPath(failure->path) + QStringLiteral(": ") + failure->status.message();
    for (const NativePath& folder : report.unlistedFolders)
        lines << platform::displayPath(folder) + QStringLiteral(": 无法读取目录");
    return lines.join(QLatin1Char('\n'));
}

Refusal BatchFileManager::check(const RunRequest& request) const
{
    if (request.source.isEmpty())
        return Refusal::NoSource;
    if (!m_fs.folderExists(request.source))
        return Refusal::SourceNotFolder;
    if (request.operation == Operation::Move || request.operation == Operation::Copy) {
        // Without a target the original would have used the root of the current drive.
        if (request.target.isEmpty())
            return Refusal::NoTarget;
        if (!m_fs.folderExists(request.target))
            return Refusal::TargetNotFolder;
    }
    return Refusal::None;
}

/// A file handed to a worker.
struct BatchFileManager::Job {
    NativePath file;
    bool sourceInTarget = false;
};

/// One run's state, made by run() and gone when it returns.
struct BatchFileManager::Run {
    Run(const RunRequest& r, RunReport& out, platform::RunControl* c) : request(r), report(out), control(c) {}

    const RunRequest& request;
    RunReport& report;
    platform::RunControl* control;
    bool guardTarget = false;
    quint64 targetDevice = 0;
    quint64 targetInode = 0;
    QSet<QByteArray> plannedNames; ///< names a plan has put into the target so far
    bool rootIsTarget = false;     ///< copying into the source root: its files are sources too
    bool atRoot = true;
    QSet<QByteArray> rootSources; ///< names of the root's files this run has read as sources
    /// Copies and moves on workers, recorded in walk order; null: the walk acts on every file.
    /// A target name is its key, so the files of one name are acted on one after the other in
    /// walk order and "the last one copied remains" holds exactly.
    std::unique_ptr<platform::OrderedParallel<Job, Outcome>> workers;
    /// For each file handed out and not yet recorded, in walk order: the files judged after it
    /// that did not match, counted when it is recorded so that progress keeps walk order.
    std::deque<int> unmatchedAfter;
};

BatchFileManager::BatchFileManager(platform::FileSystem& fs) : m_fs(fs) {}

BatchFileManager::~BatchFileManager() = default;
BatchFileManager::BatchFileManager(BatchFileManager&&) noexcept = default;

namespace {

/// Files handed out ahead of the one the walk reports next; enough to keep the workers busy
/// while one of them copies a large file.
constexpr std::size_t kMaxPending = 256;

QByteArray baseName(const NativePath& file)
{
    return file.mid(file.lastIndexOf('/') + 1);
}

} // namespace

RunReport BatchFileManager::run(const RunRequest& request, platform::RunControl* control)
{
    RunReport report;
    report.refusal = check(request);
    if (report.refusal != Refusal::None)
        return report;

    m_run = std::make_unique<Run>(request, report, control);
    Run& run = *m_run;
    const bool writes = request.operation == Operation::Move || request.operation == Operation::Copy;
    if (writes) {
        // Files arriving in a target inside the source tree must not be walked again.
        // Identify it by device and inode: a path alias or a link to it is the same folder.
        if (const auto target = m_fs.info(request.target, platform::Links::Follow)) {
            run.guardTarget = true;
            run.targetDevice = target->device;
            run.targetInode = target->inode;
            // The root itself is always walked: copying into it, a subfolder's file of a root
            // file's name would replace a file this run has just read as a source.
            run.rootIsTarget = request.operation == Operation::Copy && isTarget(request.source);
        }
        const int workers = request.workers > 0 ? request.workers : m_fs.concurrentWriters(request.target);
        if (!planOnly && workers > 1)
            run.workers = std::make_unique<platform::OrderedParallel<Job, Outcome>>(
                workers, kMaxPending, control, [this](const Job& job) { return perform(job.file, job.sourceInTarget); },
                [this](auto& done) {
                    if (done.failure)
                        std::rethrow_exception(done.failure);
                    recordHandedBack(done.item, done.ran, done.result);
                });
    }
    if (control)
        control->advanceActedOn(0); // the progress counts matching files apart from those checked
    const platform::RunControl::Scope scope(control);
    actOnFolder(request.source, request.includeSubfolders);
    if (control && !run.report.stopped)
        control->totalIsFinal();
    if (run.workers)
        run.workers->finish();
    m_run.reset();
    return report;
}

bool BatchFileManager::isTarget(const NativePath& folder)
{
    if (!m_run->guardTarget)
        return false;
    const auto info = m_fs.info(folder);
    return info && info->device == m_run->targetDevice && info->inode == m_run->targetInode;
}

bool BatchFileManager::matchFile(const QByteArray& name, bool& match)
{
    // Match on the name as the user sees it: a GBK name from a Windows archive still ends in "txt".
    const RunRequest& request = m_run->request;
    const QString shown = platform::displayPath(name);
    if (!request.typeListMode) {
        match = matchesSingleType(shown, request.singleType);
        return false;
    }
    const QStringList entries = typeListEntries(request.typeList ? request.typeList() : QString());
    if (entries.isEmpty())
        return true;
    match = matchesTypeList(shown, entries);
    return false;
}

FileStep BatchFileManager::plan(const NativePath& file)
{
    Run& run = *m_run;
    FileStep step;
    step.source = file;
    const Operation op = run.request.operation;
    if (op == Operation::Delete || op == Operation::ForceDelete) {
        step.action = FileAction::Delete;
        const auto info = m_fs.info(file);
        if (op == Operation::Delete && info && platform::isReadOnlyByMode(info->mode))
            step.action = FileAction::SkipReadOnly;
        return step;
    }
    const QByteArray name = baseName(file);
    step.target = joinPath(run.request.target, name);
    if (run.rootSources.contains(name)) {
        step.action = FileAction::SkipSource;
        return step;
    }
    const bool move = op == Operation::Move;
    const bool overwrite = run.request.overwrite;
    if (run.plannedNames.contains(name)) {
        step.action = move || !overwrite ? FileAction::SkipExists : FileAction::Replace;
        return step;
    }
    // The same tests the file system makes: a move looks at the names themselves, a copy at
    // the files they lead to.
    const platform::Links links = move ? platform::Links::Own : platform::Links::Follow;
    const auto dst = m_fs.info(step.target, links);
    if (!dst) {
        if (!move && m_fs.info(step.target)) // a dangling link holds the name
            step.action = overwrite ? FileAction::Replace : FileAction::SkipExists;
        else
            step.action = move ? FileAction::Move : FileAction::Copy;
    } else if (const auto src = m_fs.info(file, links); src && src->device == dst->device && src->inode == dst->inode) {
        step.action = FileAction::SkipSameFile;
    } else if (move && leftByKilledMove(file)) {
        step.action = FileAction::Move;
    } else {
        step.action = move || !overwrite ? FileAction::SkipExists : FileAction::Replace;
    }
    if (step.action == FileAction::Move || step.action == FileAction::Copy || step.action == FileAction::Replace)
        run.plannedNames.insert(name);
    return step;
}

BatchFileManager::Outcome BatchFileManager::perform(const NativePath& file, bool sourceInTarget)
{
    const RunRequest& request = m_run->request;
    Outcome outcome;
    switch (request.operation) {
    case Operation::Move:
        outcome.status = m_fs.moveFile(file, request.target);
        if (outcome.status.kind() == platform::ErrorKind::AlreadyExists && leftByKilledMove(file))
            outcome.status = m_fs.deleteFile(file, true); // the move's last step, as moveFile would take it
        break;
    case Operation::Copy:
        if (sourceInTarget)
            outcome.status = platform::Status::failure(platform::ErrorKind::AlreadyExists, sourceInTargetText());
        else
            outcome.status = m_fs.copyFile(file, request.target, request.overwrite, &outcome.replaced);
        break;
    case Operation::Delete: outcome.status = m_fs.deleteFile(file, false); break;
    case Operation::ForceDelete: outcome.status = m_fs.deleteFile(file, true); break;
    }
    return outcome;
}

bool BatchFileManager::leftByKilledMove(const NativePath& file)
{
    // A move across file systems places a verified copy (the source's size, time and bytes)
    // and then removes the source; killed in between, both are left. Within one file system
    // a move is one rename, so two names there are two files, and the source stays.
    const NativePath placed = joinPath(m_run->request.target, baseName(file));
    const auto src = m_fs.info(file);
    const auto dst = m_fs.info(placed);
    if (!src || !dst || src->isSymlink || dst->isSymlink || src->kind != EntryKind::File ||
        dst->kind != EntryKind::File || src->device == dst->device || src->size != dst->size)
        return false;
    // FAT keeps modification times to 2 seconds.
    if (!src->modified.isValid() || !dst->modified.isValid() || qAbs(src->modified.msecsTo(dst->modified)) > 2000)
        return false;
    const auto same = m_fs.sameContents(file, placed);
    return same && *same;
}

void BatchFileManager::record(const NativePath& file, bool sourceInTarget, const Outcome& outcome)
{
    Run& run = *m_run;
    const platform::Status& status = outcome.status;
    if (status.ok())
        ++run.report.done;
    else if (run.control && run.control->stopRequested() && status.errnum() == ECANCELED) {
        run.report.stopped = true; // the copy in hand was removed: the file counts as untouched
        return;
    } else
        run.report.failures.append({file, status});
    if (onFile) {
        // What the file system found decides: a replacement, or why the file was skipped.
        FileStep step;
        step.source = file;
        step.status = status;
        switch (run.request.operation) {
        case Operation::Move: step.action = FileAction::Move; break;
        case Operation::Copy: step.action = outcome.replaced ? FileAction::Replace : FileAction::Copy; break;
        case Operation::Delete:
        case Operation::ForceDelete: step.action = FileAction::Delete; break;
        }
        if (step.action != FileAction::Delete)
            step.target = joinPath(run.request.target, baseName(file));
        switch (status.kind()) {
        case platform::ErrorKind::AlreadyExists:
            step.action = sourceInTarget ? FileAction::SkipSource : FileAction::SkipExists;
            break;
        case platform::ErrorKind::SameFile: step.action = FileAction::SkipSameFile; break;
        case platform::ErrorKind::ReadOnly: step.action = FileAction::SkipReadOnly; break;
        default: break;
        }
        onFile(step);
    }
    ++run.report.visited;
    if (run.control) {
        run.control->advanceActedOn();
        run.control->advance();
    }
}

void BatchFileManager::act(const NativePath& file, bool link)
{
    Run& run = *m_run;
    if (planOnly) {
        if (onFile)
            onFile(plan(file));
        ++run.report.visited;
        if (run.control) {
            run.control->advanceActedOn();
            run.control->advance();
        }
        return;
    }
    const QByteArray name = baseName(file);
    const bool sourceInTarget = run.rootSources.contains(name);
    if (!run.workers || link) {
        // A link is read through whatever its path names when it is copied, which may be a
        // target name an earlier file fills: it waits for every file before it.
        if (run.workers)
            run.workers->finish();
        record(file, sourceInTarget, perform(file, sourceInTarget));
        return;
    }
    run.workers->submit({file, sourceInTarget}, name);
    run.unmatchedAfter.push_back(0);
}

void BatchFileManager::recordHandedBack(const Job& job, bool ran, const Outcome& outcome)
{
    Run& run = *m_run;
    if (ran)
        record(job.file, job.sourceInTarget, outcome);
    else
        run.report.stopped = true; // the stop came before a worker reached it: still pending
    const int unmatched = run.unmatchedAfter.front();
    run.unmatchedAfter.pop_front();
    run.report.visited += unmatched;
    if (run.control && unmatched > 0)
        run.control->advance(unmatched);
}

void BatchFileManager::passOver()
{
    Run& run = *m_run;
    // Counted after the files handed out before it, so that progress keeps walk order.
    if (!run.unmatchedAfter.empty()) {
        ++run.unmatchedAfter.back();
        return;
    }
    ++run.report.visited;
    if (run.control)
        run.control->advance();
}

void BatchFileManager::endOnEmptyTypeList(const NativePath& folder)
{
    if (m_run->workers)
        m_run->workers->finish(); // the lines of the files before come before the message
    m_run->report.emptyListFolders.append(folder);
    if (onEmptyTypeList)
        onEmptyTypeList(folder);
}

// The design calls this routine sf.
void BatchFileManager::actOnFolder(const NativePath& folder, bool subfolders)
{
    Run& run = *m_run;
    RunReport& report = run.report;
    const bool root = std::exchange(run.atRoot, false);
    auto entries = m_fs.list(folder);
    if (!entries) {
        report.unlistedFolders.append(folder);
        return;
    }
    // The listing is taken once, so files that arrive while the folder is processed are not
    // visited. Links to files count as files; links to folders are never walked into.
    const auto files =
        std::count_if(entries->begin(), entries->end(), [](const DirEntry& e) { return e.kind == EntryKind::File; });
    report.found += int(files);
    if (run.control)
        run.control->addToTotal(files);
    // A stop among this folder's files leaves its subfolders unwalked.
    const bool hasSubfolders = subfolders && std::any_of(entries->begin(), entries->end(), [](const DirEntry& e) {
                                   return e.kind == EntryKind::Folder && !e.isSymlink;
                               });
    for (const DirEntry& entry : *entries) {
        if (entry.kind != EntryKind::File)
            continue;
        if (run.control && run.control->stopRequested()) {
            report.stopped = true;
            report.foldersLeft |= hasSubfolders;
            return;
        }
        bool match = false;
        if (matchFile(entry.name, match)) {
            endOnEmptyTypeList(folder);
            return;
        }
        if (!match) {
            passOver();
            continue;
        }
        ++report.matched;
        const NativePath file = joinPath(folder, entry.name);
        if (run.control)
            run.control->begin(platform::displayPath(file));
        act(file, entry.isSymlink);
        if (report.stopped) {
            report.foldersLeft |= hasSubfolders;
            return; // undone in the middle: still pending
        }
        // Recorded after its own step, which met itself as the target ("same file").
        if (root && run.rootIsTarget)
            run.rootSources.insert(entry.name);
    }
    if (!subfolders)
        return;
    for (const DirEntry& entry : *entries) {
        if (entry.kind != EntryKind::Folder || entry.isSymlink)
            continue;
        const NativePath child = joinPath(folder, entry.name);
        if (report.stopped) {
            report.foldersLeft = true;
            return;
        }
        if (isTarget(child)) {
            report.skippedTargetFolders.append(child);
            continue;
        }
        actOnFolder(child, true);
    }
}

} // namespace korvane::filemanager
