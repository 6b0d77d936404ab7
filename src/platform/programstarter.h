#pragma once

#include "platform/status.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace korvane::platform {

/// What a program that was waited for did. `status` is success when it ran to its end,
/// whatever its exit code; else it says why not: it could not start or it crashed (Failed, in
/// the system's words), the time limit ran out (Failed) or the run was stopped (Cancelled).
struct RunOutcome {
    bool started = false;
    bool finished = false; ///< false when the time limit ran out (the program was killed)
    int exitCode = -1;
    QByteArray output; ///< standard output (with standard error and only its tail when bounded)
    Status status;
    bool stopped = false;  ///< the thread's run was stopped (RunControl::current()): the program was killed
    bool timedOut = false; ///< the time limit ran out: the program was killed
};

/// Starts outside programs with an argument vector, never through a shell.
class ProgramStarter {
public:
    virtual ~ProgramStarter() = default;
    /// Starts and returns at once; nothing is waited for. A failure to start is Failed, with
    /// the system's words as message.
    virtual Status startDetached(const QString& program, const QStringList& arguments,
                                 const QString& workingFolder = {}) = 0;
    /// Starts and waits at most timeoutMs for the program to end; a stop of the thread's
    /// current run (RunControl::current()) kills it at once. With `keepOutput` >= 0 standard
    /// output and standard error are read as they come and only their last `keepOutput` bytes
    /// are kept, so a program that floods them costs no more memory; with -1 all of standard
    /// output is kept.
    virtual RunOutcome run(const QString& program, const QStringList& arguments, int timeoutMs,
                           const QByteArray& standardInput = {}, qint64 keepOutput = -1) = 0;
    /// Full path of a program found on the PATH (or the path itself if it names an executable), "" if none.
    virtual QString findExecutable(const QString& name) = 0;
};

/// Wine's Windows form of a Unix path: "Z:" and the path with "\" separators.
QString wineWindowsPath(const QString& unixPath);

/// The Wine prefix Windows programs run in: WINEPREFIX when set, else ~/.wine.
QString winePrefix();

/// Whether the Windows form of an absolute Unix path leads Wine to the same file; a failure
/// says why not. Wine splits names at "\", drops trailing dots and spaces, resolves
/// "." and ".." by text, treats "*?\"<>|:" and control characters as syntax and takes CON,
/// NUL, COM1 and the like for devices, whatever the extension.
Status wineAddressable(const QString& unixPath);

} // namespace korvane::platform
