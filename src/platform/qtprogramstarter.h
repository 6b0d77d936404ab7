#pragma once

#include "platform/programstarter.h"

namespace korvane::platform {

/// Starts programs through QProcess with an argument vector.
class QtProgramStarter final : public ProgramStarter {
public:
    Status startDetached(const QString& program, const QStringList& arguments,
                         const QString& workingFolder = {}) override;
    RunOutcome run(const QString& program, const QStringList& arguments, int timeoutMs,
                   const QByteArray& standardInput = {}, qint64 keepOutput = -1) override;
    QString findExecutable(const QString& name) override;
};

} // namespace korvane::platform
