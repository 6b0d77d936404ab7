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
/// any other is started directly with `/MAKE <project>`. Relative paths are made absolute so
/// that neither a PATH search nor an option-like leading dash can change what runs.
CompileCommand compileCommand(const QString& compiler, const QString& project);

/// True when the trimmed compiler path names an existing file.
bool compilerFound(platform::FileSystem& fs, const QString& compiler);

/// Starts the compiler on one list entry without waiting. Empty when it started, else the
/// information line that says why not.
QString startCompile(platform::ProgramStarter& programs, const QString& compiler, const BatchEntry& entry);

} // namespace korvane::batchlist
