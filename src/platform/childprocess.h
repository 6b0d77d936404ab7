#pragma once

#include "platform/programstarter.h"

namespace korvane::platform {

/// Starts `program` (searched on the PATH when it holds no "/") with an argument vector and
/// waits for its end in one poll() on its exit, its pipes and the stop descriptor of the
/// thread's current run: it wakes when something happens, never to look, so a short program
/// costs no wait and a stop kills it at once. See ProgramStarter::run for the arguments.
/// Standard error goes with standard output when `keepOutput` >= 0, else nowhere.
RunOutcome runChildProcess(const QString& program, const QStringList& arguments, int timeoutMs,
                           const QByteArray& standardInput, qint64 keepOutput);

} // namespace korvane::platform
