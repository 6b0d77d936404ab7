#pragma once

#include "helpdecompiler/chmextractor.h"
#include "helpdecompiler/fullproject.h"
#include "platform/filesystem.h"
#include "platform/runcontrol.h"
#include "platform/settingsstore.h"

#include <QList>
#include <QString>
#include <algorithm>
#include <functional>
#include <optional>

namespace korvane::helpdecompiler {

/// A name counts as a help file when its last three characters are "chm" in any case.
bool isHelpFileName(const QByteArray& name);
/// The part of the name before its first "."; nullopt when it has no "." or nothing before it.
std::optional<QByteArray> projectNameOf(const QByteArray& name);
/// The target box after the run's first steps: trimmed of spaces, ending in "/".
/// Empty stays empty.
QString normalizedTarget(const QString& text);
/// The same rule for a path in the kernel's bytes.
platform::NativePath normalizedTarget(const platform::NativePath& path);

/// The project kind the window uses, from korvane.ini (kProjectKindKey).
ProjectKind projectKindSetting(platform::SettingsStore& settings);

/// What happened to one help file of a run.
struct HelpFileOutcome {
    platform::NativePath helpFile;
    platform::NativePath outputFolder; ///< empty when the file was skipped
    QString skipped;                   ///< why no decompile was tried
    ExtractReport extract;
    bool projectWritten = false;
    QString projectError;
    bool stopped = false; ///< the run was stopped while this file was extracted

    bool clean() const
    {
        return skipped.isEmpty() && extract.opened && extract.error.empty() && extract.problems.empty() &&
               projectError.isEmpty();
    }
};

/// Extracts one help file into targetFolder/projectName; see ExtractProcess.
using Extractor =
    std::function<ExtractReport(const platform::NativePath& helpFile, const platform::NativePath& targetFolder,
                                const QByteArray& projectName, quint64 fileSize)>;

/// The decompile run: walks a folder (the target, or a source given apart), decompiles every
/// help file into a folder named after it directly under the target, and writes a project
/// file for each.
class DecompileRun {
public:
    DecompileRun(platform::FileSystem& fs, Extractor extractor);

    /// `target` ends in "/". Returns one outcome per help file, in the order handled. A stop
    /// through `control` ends the run before the next help file and kills an extraction in
    /// hand (its file then has an outcome with `stopped` set).
    QList<HelpFileOutcome> run(const platform::NativePath& target, bool includeSubfolders, bool writeProjects,
                               platform::RunControl* control = nullptr);
    /// The same, walking `source` instead: its help files, wherever they lie in its tree, get
    /// their output folders directly under `target`.
    QList<HelpFileOutcome> run(const platform::NativePath& source, const platform::NativePath& target,
                               bool includeSubfolders, bool writeProjects, platform::RunControl* control = nullptr);
    /// With ProjectKind::Full every project file is followed by the full project.
    void setProjectKind(ProjectKind kind) { m_kind = kind; }
    /// How many help files of a folder are extracted at once, on as many workers
    /// (platform::OrderedParallel; the extractor must allow that); 1, the default, extracts on
    /// the calling thread. Files
    /// with one output folder still go one after the other, and outcomes, progress and project
    /// files come in list order whatever finishes first.
    void setParallelHelpers(int helpers) { m_parallel = std::max(1, helpers); }
    /// One helper per core this process may run on.
    static int helpersForThisMachine();
    /// Help files found in the folders walked so far, handled or not.
    int found() const { return m_found; }
    /// The last run was stopped before it had walked every folder: found() misses their files.
    bool foldersLeft() const { return m_foldersLeft; }

    /// Decompiles one help file into a folder beside it, whatever its name ends in.
    HelpFileOutcome runFile(const platform::NativePath& helpFile, bool writeProjects,
                            platform::RunControl* control = nullptr);

private:
    /// Decompiles the help files of `folder`, then walks its subfolders when asked to.
    void decompileFolder(const platform::NativePath& folder, bool includeSubfolders);
    void decompile(const platform::NativePath& folder, const QByteArray& name);
    /// The help files of one folder, several at once (setParallelHelpers).
    void decompileSideBySide(const platform::NativePath& folder, const QList<QByteArray>& names);
    /// A help file's outcome before extraction; nullopt for the project name when it is skipped.
    std::optional<QByteArray> prepare(const platform::NativePath& folder, const QByteArray& name,
                                      HelpFileOutcome& outcome, quint64& size);
    /// The project files after extraction, then the outcome joins the list.
    void finish(const QByteArray& name, const QByteArray& project, HelpFileOutcome& outcome);
    bool stopped() const;
    void writeFull(const QByteArray& name, const QByteArray& project, HelpFileOutcome& outcome);

    platform::FileSystem& m_fs;
    Extractor m_extract;
    platform::NativePath m_target;
    bool m_writeProjects = true;
    ProjectKind m_kind = ProjectKind::Hhp;
    platform::RunControl* m_control = nullptr;
    int m_found = 0;
    bool m_foldersLeft = false;
    int m_parallel = 1;
    QList<HelpFileOutcome> m_outcomes;
};

/// Success for an outcome with nothing to report; otherwise why the help file did not go
/// through completely. The first entry that failed stands for all of them, its name shortened
/// when `elide`.
platform::Status outcomeProblem(const HelpFileOutcome& outcome, bool elide = false);

/// The text of the closing message: the fixed sentence when every help file went through,
/// otherwise the files with problems and why (the first of them only).
QString runSummary(const QList<HelpFileOutcome>& outcomes);
/// The closing message's details: every file with problems, every reason and every entry that
/// was not extracted, names in full; empty when every help file went through.
QString runDetails(const QList<HelpFileOutcome>& outcomes);

} // namespace korvane::helpdecompiler
