#pragma once

// Runs a program as an ordinary user, so that permissions really refuse: CI runs as root,
// which passes every permission check.

#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

#include <sys/stat.h>
#include <unistd.h>

namespace korvane::testsupport {

inline constexpr uid_t kNobody = 65534;

/// Runs `program` as user nobody when this process is root, else as this user. Returns the
/// exit code (-1 when it did not start or end in time); standard output goes to `output`.
inline int runUnprivileged(const QString& program, const QStringList& arguments, QByteArray* output = nullptr,
                           const QStringList& environment = {})
{
    QProcess process;
    if (!environment.isEmpty()) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString& pair : environment)
            env.insert(pair.section(QLatin1Char('='), 0, 0), pair.section(QLatin1Char('='), 1));
        process.setProcessEnvironment(env);
    }
    if (::geteuid() == 0) {
        const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
        if (setpriv.isEmpty())
            return -1;
        process.start(setpriv,
                      QStringList{QStringLiteral("--reuid=%1").arg(kNobody), QStringLiteral("--regid=%1").arg(kNobody),
                                  QStringLiteral("--clear-groups"), QStringLiteral("--"), program} +
                          arguments);
    } else {
        process.start(program, arguments);
    }
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return -1;
    if (output)
        *output = process.readAllStandardOutput();
    return process.exitCode();
}

/// Hands a folder made by root over to the user that runUnprivileged() runs as.
inline void giveToUnprivileged(const QString& path)
{
    if (::geteuid() == 0) {
        const QByteArray raw = path.toLocal8Bit();
        [[maybe_unused]] const int rc = ::chown(raw.constData(), kNobody, kNobody);
    }
}

} // namespace korvane::testsupport
