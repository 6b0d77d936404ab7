#include "filemanager/batchrun.h"

#include "filemanager/typematch.h"
#include "platform/nativepath.h"

#include <algorithm>
#include <cerrno>
#include <sys/stat.h>
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

RunReport BatchFileManager::run(const RunRequest& request, platform::RunControl* control)
{
    RunReport report;
    report.refusal = check(request);
    if (report.refusal != Refusal::None)
        return report;

    m_request = &request;
    m_report = &report;
    m_target = request.target;
    m_guardTarget = false;
    m_plannedNames.clear();
    m_rootSources.clear();
    m_rootIsTarget = false;
    if (request.operation == Operation::Move || request.operation == Operation::Copy) {
        // Files arriving in a target inside the source tree must not be walked again.
        // Identify it by device and inode: a path alias or a link to it is the same folder.
        if (const auto target = m_fs.info(m_target, platform::Links::Follow)) {
            m_guardTarget = true;
            m_targetDevice = target->device;
            m_targetInode = target->inode;
            // The root itself is always walked: copying into it, a subfolder's file of a root
            // file's name would replace a file this run has just read as a source.
            m_rootIsTarget = request.operation == Operation::Copy && isTarget(request.source);
        }
    }
    m_atRoot = true;
    m_control = control;
    const platform::RunControl::Scope scope(control);
    actOnFolder(request.source, request.includeSubfolders);
    m_control = nullptr;
    m_request = nullptr;
    m_report = nullptr;
    return report;
}

bool BatchFileManager::isTarget(const NativePath& folder)
{
    if (!m_guardTarget)
        return false;
    const auto info = m_fs.info(folder);
    return info && info->device == m_targetDevice && info->inode == m_targetInode;
}

bool BatchFileManager::matchFile(const QByteArray& name, bool& match)
{
    // Match on the name as the user sees it: a GBK name from a Windows archive still ends in "txt".
    const QString shown = platform::displayPath(name);
    if (!m_request->typeListMode) {
        match = matchesSingleType(shown, m_request->singleType);
        return false;
    }
    const QStringList entries = typeListEntries(m_request->typeList ? m_request->typeList() : QString());
    if (entries.isEmpty())
        return true;
    match = matchesTypeList(shown, entries);
    return false;
}

FileStep BatchFileManager::plan(const NativePath& file)
{
    FileStep step;
    step.source = file;
    const Operation op = m_request->operation;
    if (op == Operation::Delete || op == Operation::ForceDelete) {
        step.action = FileAction::Delete;
        const auto info = m_fs.info(file);
        if (op == Operation::Delete && info && !info->isSymlink && (info->mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
            step.action = FileAction::SkipReadOnly;
        return step;
    }
    const QByteArray name = file.mid(file.lastIndexOf('/') + 1);
    step.target = joinPath(m_target, name);
    if (m_rootSources.contains(name)) {
        step.action = FileAction::SkipSource;
        return step;
    }
    const bool move = op == Operation::Move;
    if (m_plannedNames.contains(name)) {
        step.action = move || !m_request->overwrite ? FileAction::SkipExists : FileAction::Replace;
        return step;
    }
    // The same tests the file system makes: a move looks at the names themselves, a copy at
    // the files they lead to.
    const platform::Links links = move ? platform::Links::Own : platform::Links::Follow;
    const auto dst = m_fs.info(step.target, links);
    if (!dst) {
        if (!move && m_fs.info(step.target)) // a dangling link holds the name
            step.action = m_request->overwrite ? FileAction::Replace : FileAction::SkipExists;
        else
            step.action = move ? FileAction::Move : FileAction::Copy;
    } else if (const auto src = m_fs.info(file, links); src && src->device == dst->device && src->inode == dst->inode) {
        step.action = FileAction::SkipSameFile;
    } else {
        step.action = move || !m_request->overwrite ? FileAction::SkipExists : FileAction::Replace;
    }
    if (step.action == FileAction::Move || step.action == FileAction::Copy || step.action == FileAction::Replace)
        m_plannedNames.insert(name);
    return step;
}

void BatchFileManager::act(const NativePath& file)
{
    FileStep step;
    if (planOnly) {
        if (onFile)
            onFile(plan(file));
        return;
    }
    if (onFile) {
        // The file system's answer tells every skip and whether a copy replaced a file.
        step.source = file;
        switch (m_request->operation) {
        case Operation::Move: step.action = FileAction::Move; break;
        case Operation::Copy: step.action = FileAction::Copy; break;
        case Operation::Delete:
        case Operation::ForceDelete: step.action = FileAction::Delete; break;
        }
        if (step.action != FileAction::Delete)
            step.target = joinPath(m_target, file.mid(file.lastIndexOf('/') + 1));
    }
    const bool sourceInTarget = m_rootSources.contains(file.mid(file.lastIndexOf('/') + 1));
    platform::Status status;
    bool replaced = false;
    switch (m_request->operation) {
    case Operation::Move: status = m_fs.moveFile(file, m_target); break;
    case Operation::Copy:
        if (sourceInTarget) {
            status = platform::Status::failure(platform::ErrorKind::AlreadyExists, sourceInTargetText());
            break;
        }
        status = m_fs.copyFile(file, m_target, m_request->overwrite, &replaced);
        break;
    case Operation::Delete: status = m_fs.deleteFile(file, false); break;
    case Operation::ForceDelete: status = m_fs.deleteFile(file, true); break;
    }
    if (status.ok())
        ++m_report->done;
    else if (m_control && m_control->stopRequested() && status.errnum() == ECANCELED) {
        m_report->stopped = true; // the copy in hand was removed: the file counts as untouched
        return;
    } else
        m_report->failures.append({file, status});
    if (onFile) {
        // What the file system found decides: a replacement, or why the file was skipped.
        step.status = status;
        if (replaced)
            step.action = FileAction::Replace;
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
}

// The design calls this routine sf.
void BatchFileManager::actOnFolder(const NativePath& folder, bool subfolders)
{
    const bool root = std::exchange(m_atRoot, false);
    auto entries = m_fs.list(folder);
    if (!entries) {
        m_report->unlistedFolders.append(folder);
        return;
    }
    // The listing is taken once, so files that arrive while the folder is processed are not
    // visited. Links to files count as files; links to folders are never walked into.
    const auto files =
        std::count_if(entries->begin(), entries->end(), [](const DirEntry& e) { return e.kind == EntryKind::File; });
    m_report->found += int(files);
    if (m_control)
        m_control->addToTotal(files);
    for (const DirEntry& entry : *entries) {
        if (entry.kind != EntryKind::File)
            continue;
        if (m_control && m_control->stopRequested()) {
            m_report->stopped = true;
            return;
        }
        bool match = false;
        if (matchFile(entry.name, match)) {
            m_report->emptyListFolders.append(folder);
            if (onEmptyTypeList)
                onEmptyTypeList(folder);
            return;
        }
        if (match) {
            ++m_report->matched;
            const NativePath file = joinPath(folder, entry.name);
            if (m_control)
                m_control->begin(platform::displayPath(file));
            act(file);
            if (m_report->stopped)
                return; // undone in the middle: still pending
            // Recorded after its own step, which met itself as the target ("same file").
            if (root && m_rootIsTarget)
                m_rootSources.insert(entry.name);
        }
        ++m_report->visited;
        if (m_control)
            m_control->advance();
    }
    if (!subfolders)
        return;
    for (const DirEntry& entry : *entries) {
        if (entry.kind != EntryKind::Folder || entry.isSymlink)
            continue;
        const NativePath child = joinPath(folder, entry.name);
        if (m_report->stopped)
            return;
        if (isTarget(child)) {
            m_report->skippedTargetFolders.append(child);
            continue;
        }
        actOnFolder(child, true);
    }
}

} // namespace korvane::filemanager
