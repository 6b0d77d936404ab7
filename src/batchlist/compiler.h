#pragma once

#include "batchlist/batchlist.h"
#include "batchlist/batchrun.h"
#include "platform/status.h"

#include <QString>
#include <QStringList>

#include <QSet>
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

/// Starts the compiler on one list entry without waiting. A failure's message is the
/// information line that says why it did not start.
platform::Status startCompile(platform::ProgramStarter& programs, const QString& compiler, const BatchEntry& entry);

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

/// Starts the compiler for every project at once and waits for each, at most the time limit.
/// Each project is checked first (checkProject); its warnings never stop its compile. A stop
/// through `control` kills the compilers still running. One result per project, in order.
std::vector<ProjectCompile> compileProjects(platform::FileSystem& fs, platform::ProgramStarter& programs,
                                            const QString& compiler, const std::vector<BatchEntry>& projects,
                                            platform::RunControl* control = nullptr,
                                            const CompileOptions& options = {});

/// The lines that follow a project's "编译工程 X" line: the warnings, then "  已完成",
/// "  编译失败(退出码 N)" with the compiler's lines, or why it did not run to its end.
QStringList compileLines(const ProjectCompile& compile);

/// The project compiler's part of a batch list run: every compiler starts at once and is
/// waited for (prepareRun), then comp() reports each in list order.
class CompileRun final : public BatchRunHooks {
public:
    CompileRun(platform::FileSystem& fs, platform::ProgramStarter& programs) : m_fs(fs), m_programs(programs) {}

    QString compiler;       ///< the trimmed path, taken before the run
    CompileOptions options; ///< likewise

    bool prepareRun(BatchRunContext& run, const std::vector<BatchEntry>& entries) override;
    QStringList comp(BatchRunContext& run, const BatchEntry& entry) override;

private:
    platform::FileSystem& m_fs;
    platform::ProgramStarter& m_programs;
    std::vector<ProjectCompile> m_compiles; ///< the run's results, in list order
    size_t m_next = 0;                      ///< the entry comp() reports next
};

/// Type libraries registered in a Wine prefix, as upper-case "{GUID}".
QSet<QString> registeredTypeLibraries(platform::FileSystem& fs, const QString& prefix);

/// Warnings about a project before it is compiled: files it names that do not exist, the
/// type libraries it uses that the prefix has not registered (when `typeLibraries` is given)
/// and sources whose lines end in LF alone. Each one line, indented for the information box.
QStringList checkProject(platform::FileSystem& fs, const QString& project, const QSet<QString>* typeLibraries,
                         const QString& prefix);

} // namespace korvane::batchlist
