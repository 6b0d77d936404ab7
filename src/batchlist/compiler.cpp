#include "batchlist/compiler.h"

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

} // namespace korvane::batchlist
