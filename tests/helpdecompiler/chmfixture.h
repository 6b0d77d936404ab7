#pragma once
// Helpers shared by the decompiler tests: help files compiled with chmcmd from small
// projects, and folder snapshots for comparing extracted trees.

#include "support/samples.h"
#include "support/testtree.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QStandardPaths>
#include <QString>

namespace chmtest {

inline QString projectsFolder()
{
    return qEnvironmentVariable("KORVANE_SOURCE_DIR") + QStringLiteral("/tests/helpdecompiler/projects");
}

using korvane::testsupport::removeTree;

/// The shared help file samples, or "" when they (or their manifest) are missing.
inline QString testdataFolder()
{
    return korvane::testsupport::sampleFolder(QStringLiteral("chm"), QStringLiteral("MANIFEST.tsv"));
}

/// Why testdataFolder() is empty, for QSKIP.
inline const char* missingTestdata()
{
    return korvane::testsupport::missingSamples(QStringLiteral("chm"), QStringLiteral("MANIFEST.tsv"));
}

inline QString helperPath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/korvane-chmextract");
}

inline bool haveChmcmd()
{
    return !QStandardPaths::findExecutable(QStringLiteral("chmcmd")).isEmpty();
}

inline bool copyTree(const QString& from, const QString& to)
{
    QDir().mkpath(to);
    QDirIterator it(from, QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString target = to + QLatin1Char('/') + QDir(from).relativeFilePath(path);
        if (it.fileInfo().isDir()) {
            QDir().mkpath(target);
        } else if (!QFile::copy(path, target)) {
            return false;
        }
    }
    return true;
}

/// Runs chmcmd on a project in its own folder; returns the compiled file's path, or "" on failure.
inline QString compile(const QString& hhpPath, const QString& compiledName)
{
    QProcess chmcmd;
    chmcmd.setWorkingDirectory(QFileInfo(hhpPath).absolutePath());
    chmcmd.setProcessChannelMode(QProcess::MergedChannels);
    chmcmd.start(QStringLiteral("chmcmd"), {QStringLiteral("--no-html-scan"), QFileInfo(hhpPath).fileName()});
    if (!chmcmd.waitForFinished(60000) || chmcmd.exitStatus() != QProcess::NormalExit || chmcmd.exitCode() != 0) {
        qWarning("chmcmd failed: %s", chmcmd.readAll().constData());
        return {};
    }
    const QString compiled = QFileInfo(hhpPath).absolutePath() + QLatin1Char('/') + compiledName;
    return QFileInfo(compiled).size() > 0 ? compiled : QString();
}

/// Copies a project of the test tree into `workFolder` and compiles it there.
inline QString compileProject(const QString& project, const QString& hhpName, const QString& compiledName,
                              const QString& workFolder)
{
    const QString folder = workFolder + QLatin1Char('/') + project;
    if (!copyTree(projectsFolder() + QLatin1Char('/') + project, folder))
        return {};
    return compile(folder + QLatin1Char('/') + hhpName, compiledName);
}

/// Writes a project from raw names and contents (names may be GBK bytes), with a .hhp that
/// lists them in the given bytes, and compiles it.
inline QString buildHelpFile(const QByteArray& folder, const QByteArray& compiledName,
                             const QList<QPair<QByteArray, QByteArray>>& files)
{
    QByteArray hhp = "[OPTIONS]\r\nCompatibility=1.1 or later\r\nCompiled file=" + compiledName +
                     "\r\nDisplay compile progress=No\r\nLanguage=0x409 English (United States)\r\n\r\n[FILES]\r\n";
    for (const auto& [name, content] : files) {
        korvane::testsupport::writeFile(folder + '/' + name, content);
        hhp += name + "\r\n";
    }
    hhp += "\r\n[INFOTYPES]\r\n";
    korvane::testsupport::writeFile(folder + "/project.hhp", hhp);
    return compile(QString::fromLocal8Bit(folder + "/project.hhp"), QString::fromLocal8Bit(compiledName));
}

} // namespace chmtest

using korvane::testsupport::treeListing;
