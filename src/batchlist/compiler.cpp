#include "batchlist/compiler.h"

#include "platform/filesystem.h"
#include "platform/nativepath.h"
#include "platform/programstarter.h"

#include <QDir>
#include <QFileInfo>

namespace korvane::batchlist {

QString defaultCompilerPath()
{
    return QDir::homePath() + QStringLiteral("/.wine/drive_c/Program Files/Microsoft Visual Studio/VB98/VB6.EXE");
}

namespace {

QString absolute(const QString& path)
{
    return QDir::isAbsolutePath(path) ? path : QFileInfo(path).absoluteFilePath();
}

} // namespace

CompileCommand compileCommand(const QString& compiler, const QString& project)
{
    const QString program = absolute(compiler);
    if (runsUnderWine(compiler))
        return {QStringLiteral("wine"),
                {program, QStringLiteral("/MAKE"), platform::wineWindowsPath(absolute(project))}};
    return {program, {QStringLiteral("/MAKE"), absolute(project)}};
}

bool runsUnderWine(const QString& compiler)
{
    return compiler.endsWith(QLatin1String(".exe"), Qt::CaseInsensitive);
}

QString wineRefusal(const QString& path)
{
    return platform::wineUnaddressableReason(absolute(path));
}

QString compilerProblem(platform::FileSystem& fs, platform::ProgramStarter& programs, const QString& compiler)
{
    if (compiler.isEmpty() || !fs.fileExists(platform::nativePath(compiler)))
        return QStringLiteral("指定的编译器路径错误!");
    if (runsUnderWine(compiler)) {
        if (programs.findExecutable(QStringLiteral("wine")).isEmpty())
            return QStringLiteral("找不到wine, 无法运行Windows编译器!");
        if (const QString reason = wineRefusal(compiler); !reason.isEmpty())
            return QStringLiteral("编译器路径无法交给wine: ") + reason;
    }
    return {};
}

QString startCompile(platform::ProgramStarter& programs, const QString& compiler, const BatchEntry& entry)
{
    // Arguments travel as UTF-8: a raw name in another encoding would reach the compiler altered.
    if (!platform::isValidUtf8(entry.path))
        return QStringLiteral("编译器启动失败!工程路径含有无法传递的字符。");
    if (runsUnderWine(compiler)) {
        if (const QString reason = wineRefusal(entry.text); !reason.isEmpty())
            return QStringLiteral("编译器启动失败!") + reason;
    }
    const CompileCommand command = compileCommand(compiler, entry.text);
    const platform::Status outcome = programs.startDetached(command.program, command.arguments);
    if (!outcome.ok())
        return QStringLiteral("编译器启动失败!") + outcome.message();
    return {};
}

} // namespace korvane::batchlist
