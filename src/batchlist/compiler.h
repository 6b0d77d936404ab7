#pragma once

#include "batchlist/batchlist.h"

#include <QString>
#include <QStringList>

namespace korvane::platform {
class ProgramStarter;
}

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
CompileCommand compileCommand(const QString& compiler, const QString& project);

/// Why the trimmed compiler path cannot build anything (no such file; a Windows compiler
/// without Wine, or at a path Wine cannot name), as the message the user reads; "" when it can.
/// Said once before a run rather than as one start failure per project.
QString compilerProblem(platform::FileSystem& fs, platform::ProgramStarter& programs, const QString& compiler);

/// Starts the compiler on one list entry without waiting. Empty when it started, else the
/// information line that says why not.
QString startCompile(platform::ProgramStarter& programs, const QString& compiler, const BatchEntry& entry);

/// True for a compiler that is a Windows program ("*.exe", any case) and so runs through Wine.
bool runsUnderWine(const QString& compiler);

/// Why Wine would not find the file at `path` (made absolute first) under its Windows name,
/// or "" when it would.
QString wineRefusal(const QString& path);

} // namespace korvane::batchlist
