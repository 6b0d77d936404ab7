#pragma once

#include "platform/filesystem.h"
#include "platform/runcontrol.h"

#include <QList>
#include <QString>
#include <functional>
#include <memory>

namespace korvane::filemanager {

using platform::NativePath;

/// The window's operation code: the index of the chosen option plus one.
enum class Operation : qint16 { Move = 1, Copy = 2, Delete = 3, ForceDelete = 4 };

/// What the user set in the window for one run.
struct RunRequest {
    NativePath source; ///< as typed, not trimmed
    NativePath target; ///< as typed, not trimmed; used by move and copy only
    Operation operation = Operation::Move;
    bool includeSubfolders = true;
    bool overwrite = true; ///< copy only: replace a file of the same name in the target
    bool typeListMode = false;
    QString singleType;                ///< the drop-down text, for single-type mode
    std::function<QString()> typeList; ///< the type list, read afresh for every file
    /// Copies or moves at once; 0 leaves it to the file system (FileSystem::concurrentWriters).
    int workers = 0;
};

/// Why a run did not start.
enum class Refusal { None, NoSource, SourceNotFolder, NoTarget, TargetNotFolder };

/// The window's message for a refusal (empty for None).
QString refusalMessage(Refusal refusal);

struct FileFailure {
    NativePath path;
    platform::Status status;
};

/// What a run does, or would do, with one matching file.
enum class FileAction {
    Move,
    Copy,    ///< copy under a name that is free in the target
    Replace, ///< copy over a file of the same name
    Delete,
    SkipExists,   ///< the name is taken in the target (move, or copy without overwrite)
    SkipSameFile, ///< the target name is the file itself
    SkipReadOnly, ///< plain delete of a file whose write bits are all clear
    SkipSource,   ///< copying into the source root: the name there is a file this run copies from
};

/// Why a copy into its own source root leaves a file of the same name alone.
QString sourceInTargetText();

/// One matching file of a run or a plan.
struct FileStep {
    NativePath source;
    NativePath target; ///< the file's name in the target folder; empty when deleting
    FileAction action = FileAction::Move;
    platform::Status status; ///< what the real run met; success in a plan
};

/// What a run did. The window shows none of it; tests and callers may.
struct RunReport {
    Refusal refusal = Refusal::None;
    int matched = 0;                        ///< files whose name matched the type
    int done = 0;                           ///< matched files the operation succeeded on
    QList<FileFailure> failures;            ///< matched files left unchanged, and why
    QList<NativePath> unlistedFolders;      ///< folders that could not be read, skipped
    QList<NativePath> emptyListFolders;     ///< folders whose walk the empty type list ended
    QList<NativePath> skippedTargetFolders; ///< the target met inside the source tree, not walked
    bool stopped = false;                   ///< the run was stopped before the walk ended
    bool foldersLeft = false;               ///< the stop left folders of the tree unwalked
    int found = 0;                          ///< files in the folders listed so far, matching or not
    int visited = 0;                        ///< files of those that were judged (and acted on when they matched)
};

/// The closing message of a run that left matching files undone: their number and up to
/// twelve names (and the folders that could not be read); empty when every matching file was
/// done or is already in place, and the window then says nothing.
QString unfinishedText(const RunReport& report);
/// Its details: every such file with why it was left, every folder that could not be read.
QString unfinishedDetails(const RunReport& report);

/// Moves, copies or deletes the files of a folder tree chosen by type. Failures inside the
/// walk are recorded and skipped; nothing here talks to the user.
class BatchFileManager {
public:
    explicit BatchFileManager(platform::FileSystem& fs);

    /// Called for every folder whose walk ends because type-list mode has an empty list.
    std::function<void(const NativePath& folder)> onEmptyTypeList;

    /// Called for every matching file with what was done to it, or with planOnly what would be.
    std::function<void(const FileStep& step)> onFile;
    /// Walks and reports every file through onFile as the real run would treat it, changing
    /// nothing. Names an earlier step would have filled in the target count as taken.
    bool planOnly = false;

    /// The input checks made before anything starts.
    Refusal check(const RunRequest& request) const;
    /// Checks, then walks the source folder and acts on every matching file. A stop through
    /// `control` ends the walk before the next file; a copy or move in hand is undone.
    RunReport run(const RunRequest& request, platform::RunControl* control = nullptr);

    ~BatchFileManager();
    /// Between runs only.
    BatchFileManager(BatchFileManager&&) noexcept;

private:
    struct Run;
    struct Job;
    struct Outcome {
        platform::Status status;
        bool replaced = false;
    };

    /// Acts on every matching file of `folder`, then walks its subfolders when `subfolders`.
    void actOnFolder(const NativePath& folder, bool subfolders);
    /// Counts a file judged not to match.
    void passOver();
    /// The empty type list ends this folder's walk: the files before it are recorded first.
    void endOnEmptyTypeList(const NativePath& folder);
    /// True when the walk of this folder must end (empty type list); sets `match` otherwise.
    bool matchFile(const QByteArray& name, bool& match);
    /// Acts on the file now, or hands it to a worker; `link` when it is a symbolic link.
    void act(const NativePath& file, bool link);
    /// The file-system call for one file; safe on any worker.
    Outcome perform(const NativePath& file, bool sourceInTarget);
    /// Counts and reports one file's outcome, on the walk's thread and in walk order.
    void record(const NativePath& file, bool sourceInTarget, const Outcome& outcome);
    /// Records a file a worker handed back (`ran` false: the stop came first), on the walk's
    /// thread and in walk order.
    void recordHandedBack(const Job& job, bool ran, const Outcome& outcome);
    /// What the run would do with the file, judged as the file system will judge it.
    FileStep plan(const NativePath& file);
    bool isTarget(const NativePath& folder);
    /// True when the target's file of this name is what a move across file systems killed
    /// between placing its copy and removing the source left: the rerun then finishes it.
    bool leftByKilledMove(const NativePath& file);

    platform::FileSystem& m_fs;
    std::unique_ptr<Run> m_run; ///< the state of the run in hand; null between runs
};

} // namespace korvane::filemanager
