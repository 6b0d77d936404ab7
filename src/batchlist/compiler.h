#pragma once

#include "batchlist/batchlist.h"
#include "batchlist/batchrun.h"
#include "platform/status.h"

#include <QString>
#include <QStringList>

#include <QMutex>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QWaitCondition>
#include <atomic>
#include <memory>
#include <vector>

namespace korvane::platform {
class ProgramStarter;
class RunControl;
class SettingsStore;
} // namespace korvane::platform

namespace korvane::batchlist {

/// The VB98 compiler inside the user's default Wine prefix.
QString defaultCompilerPath();

/// Program and arguments that build one project.
struct CompileCommand {
    QString program;
    QStringList arguments;
};

/// `compiler` is the trimmed compiler path, `project` the trimmed entry. A compiler named
/// "*.exe" (any case) is a Windows program: it runs as `wine <compiler> /MAKE <Z:\project>`;
/// any other is started directly with `/MAKE <project>`. Relative paths, the project's too, are
/// made absolute so that neither a PATH search nor an option-like leading dash can change what runs.
/// A non-empty `log` adds `/out <log>` after them: the file the compiler writes its errors to.
CompileCommand compileCommand(const QString& compiler, const QString& project, const QString& log = {});

/// Success when the trimmed compiler path can build; otherwise why not (no such file; a Windows
/// compiler without Wine, or at a path Wine cannot name), its message the one the user reads.
/// Said once before a run rather than as one start failure per project.
platform::Status compilerProblem(platform::FileSystem& fs, platform::ProgramStarter& programs, const QString& compiler);

/// True for a compiler that is a Windows program ("*.exe", any case) and so runs through Wine.
bool runsUnderWine(const QString& compiler);

/// Whether Wine finds the file at `path` (made absolute first) under its Windows name; a
/// failure says why not.
platform::Status wineAddressable(const QString& path);

/// What became of one project of a run.
struct ProjectCompile {
    enum class Result {
        Done,       ///< the compiler ended with exit code 0
        Failed,     ///< it ended with another code (see exitCode, errorLines)
        TimedOut,   ///< it ran past the time limit and was stopped
        NotStarted, ///< it could not be started (see reason)
        Stopped,    ///< the run was stopped first, or while it ran
    };
    Result result = Result::Stopped;
    int exitCode = -1;
    QString reason;
    QStringList errorLines; ///< the compiler's own lines from its /out log
    QStringList warnings;   ///< the project check (checkProject), already worded
};

struct CompileOptions {
    int timeoutMs = 600'000; ///< per project
    int parallel = 64;       ///< compilers at a time; a list of projects is far shorter
    QString winePrefix;      ///< whose registry the type-library check reads; "" for the default
};

/// The time limit per project, in seconds, from the settings ("Options", "CompileTimeLimit").
int compileTimeLimitSeconds(platform::SettingsStore& settings);

/// The compiles of one list. Each project is checked first, in list order on the calling
/// thread: one that is no regular file (a folder, a named pipe, a device) or that cannot be
/// handed over unaltered is refused unopened; the warnings of the others (see the check in
/// docs/batchlist.md) never stop their compile. Then up to `options.parallel` workers each take
/// the next project, run its compiler and wait for it, at most the time limit. A stop through
/// `control` ends the checks, kills the compilers still running and starts no more.
class ProjectCompiles {
public:
    /// Checks the projects and starts the workers. `countsProgress`: each compile advances `control`.
    ProjectCompiles(platform::FileSystem& fs, platform::ProgramStarter& programs, const QString& compiler,
                    const std::vector<BatchEntry>& projects, platform::RunControl* control,
                    const CompileOptions& options, bool countsProgress);
    /// Waits for the workers.
    ~ProjectCompiles();
    ProjectCompiles(const ProjectCompiles&) = delete;
    ProjectCompiles& operator=(const ProjectCompiles&) = delete;

    size_t size() const { return m_results.size(); }
    /// Project i's outcome, once it is known; the later ones may still be compiling.
    const ProjectCompile& result(size_t i);
    /// Every outcome, in list order, once all are known.
    std::vector<ProjectCompile> takeAll();

private:
    void work();

    static constexpr size_t kNone = size_t(-1);
    platform::FileSystem& m_fs;
    platform::ProgramStarter& m_programs;
    const QString m_compiler;
    const CompileOptions m_options;
    platform::RunControl* const m_control;
    const bool m_countsProgress;
    const QTemporaryDir m_logDir; ///< one /out log per project, removed at the end
    std::vector<ProjectCompile> m_results;
    std::vector<QString> m_projects;
    std::vector<size_t> m_toStart; ///< the projects admitted, in list order
    std::atomic<size_t> m_next{0}; ///< the next of m_toStart a worker takes
    QMutex m_mutex;                ///< guards the three below
    QWaitCondition m_changed;
    std::vector<bool> m_settled; ///< whether each outcome is known
    int m_working = 0;           ///< workers not yet ended
    size_t m_waitingFor = kNone; ///< the project result() waits for
    QThreadPool m_pool;
};

/// Starts the compiler for every project and waits for each (ProjectCompiles). One result per
/// project, in order.
std::vector<ProjectCompile> compileProjects(platform::FileSystem& fs, platform::ProgramStarter& programs,
                                            const QString& compiler, const std::vector<BatchEntry>& projects,
                                            platform::RunControl* control = nullptr,
                                            const CompileOptions& options = {});

/// The lines that follow a project's "编译工程 X" line: the warnings, then "  已完成",
/// "  编译失败(退出码 N)" with the compiler's lines, or why it did not run to its end.
QStringList compileLines(const ProjectCompile& compile);

/// The project compiler's part of a batch list run: prepareRun checks the projects and starts
/// the compiles, then comp() reports each in list order as soon as it has ended, while the
/// later ones still run.
class CompileRun final : public BatchRunHooks {
public:
    CompileRun(platform::FileSystem& fs, platform::ProgramStarter& programs);
    ~CompileRun() override;

    QString compiler;       ///< the trimmed path, taken before the run
    CompileOptions options; ///< likewise

    bool prepareRun(BatchRunContext& run, const std::vector<BatchEntry>& entries) override;
    QStringList comp(BatchRunContext& run, const BatchEntry& entry) override;
    void completeRun(BatchRunContext& run, const std::vector<BatchEntry>& entries) override;

private:
    platform::FileSystem& m_fs;
    platform::ProgramStarter& m_programs;
    std::unique_ptr<ProjectCompiles> m_compiles; ///< the run's compiles
    size_t m_next = 0;                           ///< the entry comp() reports next
};

} // namespace korvane::batchlist
