#include "platform/qtprogramstarter.h"

#include "platform/runcontrol.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <algorithm>

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

namespace {

/// Appends `more` to `tail` and keeps only the last `limit` bytes.
void appendTail(QByteArray& tail, const QByteArray& more, qint64 limit)
{
    if (more.size() >= limit) {
        tail = more.right(limit);
        return;
    }
    const qint64 excess = tail.size() + more.size() - limit;
    if (excess > 0)
        tail.remove(0, excess);
    tail += more;
}

} // namespace

RunOutcome QtProgramStarter::run(const QString& program, const QStringList& arguments, int timeoutMs,
                                 const QByteArray& standardInput, qint64 keepOutput)
{
    RunOutcome outcome;
    const bool bounded = keepOutput >= 0;
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    // Bounded: one channel, drained as it fills, so nothing piles up in QProcess's buffers.
    process.setProcessChannelMode(bounded ? QProcess::MergedChannels : QProcess::SeparateChannels);
    process.start();
    if (!process.waitForStarted(timeoutMs)) {
        outcome.status = Status::failure(ErrorKind::Failed, process.errorString());
        return outcome;
    }
    outcome.started = true;
    if (!standardInput.isEmpty())
        process.write(standardInput);
    process.closeWriteChannel();
    // Waits in short slices so that a stopped run kills the program within a fraction of a second.
    const RunControl* control = RunControl::current();
    QDeadlineTimer deadline(timeoutMs);
    bool ended = false;
    while (!ended && !deadline.hasExpired() && !(control && control->stopRequested())) {
        const qint64 left = deadline.remainingTime(); // -1: no limit
        const int slice = control ? int(left < 0 ? 100 : std::min<qint64>(left, 100)) : int(left);
        if (bounded) {
            // Each wakeup reads at most what the pipe holds.
            process.waitForReadyRead(slice);
            appendTail(outcome.output, process.readAll(), keepOutput);
            ended = process.state() == QProcess::NotRunning;
        } else {
            ended = process.waitForFinished(slice);
        }
    }
    if (!ended) {
        process.kill();
        process.waitForFinished(1000);
        outcome.stopped = control && control->stopRequested();
        outcome.timedOut = !outcome.stopped;
        outcome.status = outcome.stopped
                             ? Status::failure(ErrorKind::Cancelled, QStringLiteral("操作已取消"))
                             : Status::failure(ErrorKind::Failed, QStringLiteral("程序在限定时间内没有结束"));
        if (bounded)
            appendTail(outcome.output, process.readAll(), keepOutput);
        return outcome;
    }
    outcome.finished = process.exitStatus() == QProcess::NormalExit;
    outcome.exitCode = process.exitCode();
    if (bounded)
        appendTail(outcome.output, process.readAll(), keepOutput);
    else
        outcome.output = process.readAllStandardOutput();
    if (!outcome.finished)
        outcome.status = Status::failure(ErrorKind::Failed, process.errorString());
    return outcome;
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
