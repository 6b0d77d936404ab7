#include "platform/datafolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <cerrno>
#include <unistd.h>

// Set by the build from the install directories; the defaults are GNUInstallDirs' own.
#ifndef KORVANE_BIN_TO_DATA
#define KORVANE_BIN_TO_DATA "../share/korvane"
#endif
#ifndef KORVANE_BIN_TO_LIBEXEC
#define KORVANE_BIN_TO_LIBEXEC "../libexec/korvane"
#endif

namespace korvane::platform {

namespace {

QString databaseIn(const QString& folder)
{
    return QDir(folder).filePath(QString::fromLatin1(kDatabaseFileName));
}

QString relativeTo(const QString& folder, const char* relative)
{
    return QDir::cleanPath(QDir(folder).filePath(QString::fromUtf8(relative)));
}

/// Copies the shipped database into place without ever replacing a file: two first starts at
/// once must not overwrite each other's recordings.
void seedDatabase(const QString& shipped, const QString& target)
{
    const QString partial = target + QStringLiteral(".seeding-%1").arg(QCoreApplication::applicationPid());
    QFile::remove(partial);
    if (!QFile::copy(shipped, partial))
        return;
    // The shipped file is read-only for users; the copy is theirs to write.
    QFile::setPermissions(partial, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    // link() fails on an existing name, unlike rename(); a file system without hard links gets
    // Qt's rename, which refuses an existing name too (not atomically).
    const QByteArray from = QFile::encodeName(partial), to = QFile::encodeName(target);
    if (::link(from.constData(), to.constData()) != 0 && errno != EEXIST)
        QFile::rename(partial, target);
    QFile::remove(partial);
}

} // namespace

ProgramLayout ProgramLayout::current()
{
    ProgramLayout layout;
    layout.executableFolder = QCoreApplication::applicationDirPath();
    layout.userDataFolder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    layout.shippedDataFolder = relativeTo(layout.executableFolder, KORVANE_BIN_TO_DATA);
    layout.installedHelperFolder = relativeTo(layout.executableFolder, KORVANE_BIN_TO_LIBEXEC);
    return layout;
}

bool isPortable(const ProgramLayout& layout)
{
    // access() rather than the mode bits: it knows read-only mounts and ACLs.
    return !layout.executableFolder.isEmpty() &&
           ::access(QFile::encodeName(layout.executableFolder).constData(), W_OK) == 0 &&
           QFileInfo(databaseIn(layout.executableFolder)).isFile();
}

QString korvaneFolder(const ProgramLayout& layout)
{
    if (isPortable(layout))
        return layout.executableFolder;
    const QString folder = layout.userDataFolder;
    if (folder.isEmpty())
        return folder;
    QDir().mkpath(folder);
    const QString database = databaseIn(folder);
    // A dangling link or any other entry under the name counts as present: never replaced.
    if (!QFileInfo(database).exists() && !QFileInfo(database).isSymLink()) {
        const QString shipped = databaseIn(layout.shippedDataFolder);
        if (QFileInfo(shipped).isFile())
            seedDatabase(shipped, database);
    }
    return folder;
}

QString helperFolder(const ProgramLayout& layout)
{
    if (!layout.installedHelperFolder.isEmpty() && QFileInfo(layout.installedHelperFolder).isDir())
        return layout.installedHelperFolder;
    return layout.executableFolder;
}

} // namespace korvane::platform
