#pragma once

// Files that tests make and read on paths held as text. Names that are not UTF-8 need the
// raw-path helpers of rawfiles.h (writeFile, readFile, touch), which come with this header.

#include "support/rawfiles.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>
#include <QtTest>

namespace korvane::testsupport {

/// The file's bytes; empty when it cannot be read.
inline QByteArray bytesOf(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

/// Creates or truncates the file, and any missing parent folders; false when any step failed.
/// For the places that cannot fail the test themselves (writeFile does).
inline bool writeAll(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return QDir().mkpath(QFileInfo(path).absolutePath()) && f.open(QIODevice::WriteOnly) &&
           f.write(bytes) == bytes.size();
}

/// A file of `size` bytes that takes no room: its size is set, nothing is written.
inline bool writeSized(const QString& path, qint64 size)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.resize(size);
}

/// The names of the files in `folder`, hidden and special ones too, sorted; no folders.
inline QStringList filesIn(const QString& folder)
{
    QStringList names = QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    names.sort();
    return names;
}

/// Makes `names` below `root`: a name ending in '/' is a folder, any other a file holding
/// `content`. Missing parent folders are made too.
inline void makeFiles(const QString& root, const QStringList& names, const QByteArray& content = "x")
{
    for (const QString& name : names) {
        const QString path = root + QLatin1Char('/') + name;
        if (name.endsWith(QLatin1Char('/')))
            QVERIFY2(QDir().mkpath(path), qPrintable(path));
        else
            writeFile(path, content);
    }
}

} // namespace korvane::testsupport
