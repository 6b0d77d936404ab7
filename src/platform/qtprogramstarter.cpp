#include "platform/qtprogramstarter.h"

#include "platform/childprocess.h"

#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

namespace korvane::platform {

Status QtProgramStarter::startDetached(const QString& program, const QStringList& arguments,
                                       const QString& workingFolder)
{
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    if (!workingFolder.isEmpty())
        process.setWorkingDirectory(workingFolder);
    process.setStandardInputFile(QProcess::nullDevice());
    if (!process.startDetached())
        return Status::failure(ErrorKind::Failed, process.errorString());
    return Status::success();
}

RunOutcome QtProgramStarter::run(const QString& program, const QStringList& arguments, int timeoutMs,
                                 const QByteArray& standardInput, qint64 keepOutput)
{
    return runChildProcess(program, arguments, timeoutMs, standardInput, keepOutput);
}

QString QtProgramStarter::findExecutable(const QString& name)
{
    if (name.contains(QLatin1Char('/'))) {
        const QFileInfo fi(name);
        return fi.isFile() && fi.isExecutable() ? fi.absoluteFilePath() : QString();
    }
    return QStandardPaths::findExecutable(name);
}

} // namespace korvane::platform
