#pragma once

// File fixtures on raw byte paths: QFile would mangle names that are not UTF-8.

#include <QByteArray>

#include <QFile>
#include <QString>
#include <QtTest>
#include <filesystem>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvane::testsupport {

inline QByteArray raw(const QString& path)
{
    return QFile::encodeName(path);
}

inline void makeFolders(const QByteArray& folder)
{
    for (qsizetype slash = folder.indexOf('/', 1); slash > 0; slash = folder.indexOf('/', slash + 1))
        ::mkdir(folder.left(slash).constData(), 0777);
    ::mkdir(folder.constData(), 0777);
}

/// Creates or truncates the file, and any missing parent folders.
inline void writeFile(const QByteArray& path, const QByteArray& content, mode_t mode = 0644)
{
    makeFolders(path.left(path.lastIndexOf('/')));
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    QVERIFY2(fd >= 0, path.constData());
    QCOMPARE(::write(fd, content.constData(), size_t(content.size())), ssize_t(content.size()));
    ::close(fd);
}

/// The same, for a path the test holds as text.
inline void writeFile(const QString& path, const QByteArray& content = {})
{
    writeFile(raw(path), content);
}

/// Creates the file, empty, and any missing parent folders; an existing file keeps its bytes.
inline void touch(const QByteArray& path)
{
    makeFolders(path.left(path.lastIndexOf('/')));
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT, 0644);
    QVERIFY2(fd >= 0, path.constData());
    ::close(fd);
}

/// Everything left to read from `fd`, which it then closes.
inline QByteArray readAllAndClose(int fd)
{
    QByteArray data;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        data.append(buffer, n);
    ::close(fd);
    return data;
}

/// The file's bytes, or "<missing>" when there is no file to read (a folder is none).
inline QByteArray readFile(const QByteArray& path)
{
    const int fd = ::open(path.constData(), O_RDONLY);
    if (fd < 0)
        return "<missing>";
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        return "<missing>";
    }
    return readAllAndClose(fd);
}

/// The same, for a path the test holds as text.
inline QByteArray readFile(const QString& path)
{
    return readFile(raw(path));
}

/// Removes a tree whatever its names: QTemporaryDir cannot see a name that is not UTF-8, and
/// warns that it could not remove its folder.
inline void removeTree(const QByteArray& path)
{
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(path.toStdString()), ignored);
}

inline bool exists(const QByteArray& path)
{
    struct stat st {};
    return ::lstat(path.constData(), &st) == 0;
}

inline bool isLink(const QByteArray& path)
{
    struct stat st {};
    return ::lstat(path.constData(), &st) == 0 && S_ISLNK(st.st_mode);
}

} // namespace korvane::testsupport
