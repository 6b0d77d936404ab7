#pragma once

// Files that tests make and read. Paths are raw bytes where names need not be UTF-8 (QFile
// would mangle them); a TestTree owns a temporary folder and names everything in it by its
// relative path.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QtTest>
#include <filesystem>

#include <dirent.h>
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

/// The file's bytes; empty when it cannot be read.
inline QByteArray bytesOf(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
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

/// The names in `folder`, hidden and special ones too, sorted; with `filesOnly`, no folders.
inline QStringList namesIn(const QString& folder, bool filesOnly = false)
{
    QStringList names = QDir(folder).entryList((filesOnly ? QDir::Files : QDir::AllEntries) | QDir::Hidden |
                                               QDir::System | QDir::NoDotAndDotDot);
    names.sort();
    return names;
}

/// The names of the files in `folder`, hidden and special ones too, sorted; no folders.
inline QStringList filesIn(const QString& folder)
{
    return namesIn(folder, true);
}

/// Every regular file below `root`: its path relative to `root`, raw, and its bytes. Links are
/// not followed; empty folders do not show.
inline QMap<QByteArray, QByteArray> treeListing(const QByteArray& root)
{
    QMap<QByteArray, QByteArray> files;
    const auto walk = [&](const auto& self, const QByteArray& relative) -> void {
        DIR* dir = ::opendir((relative.isEmpty() ? root : root + '/' + relative).constData());
        if (!dir)
            return;
        while (const dirent* d = ::readdir(dir)) {
            const QByteArray name(d->d_name);
            if (name == "." || name == "..")
                continue;
            const QByteArray rel = relative.isEmpty() ? name : relative + '/' + name;
            struct stat st {};
            if (::lstat((root + '/' + rel).constData(), &st) != 0)
                continue;
            if (S_ISDIR(st.st_mode))
                self(self, rel);
            else if (S_ISREG(st.st_mode))
                files.insert(rel, readFile(root + '/' + rel));
        }
        ::closedir(dir);
    };
    walk(walk, QByteArray());
    return files;
}

inline QMap<QByteArray, QByteArray> treeListing(const QString& root)
{
    return treeListing(raw(root));
}

/// A temporary folder a test fills and reads by relative raw paths ("a/b.txt"), removed with
/// the fixture whatever the names in it.
class TestTree {
public:
    TestTree()
    {
        QByteArray pattern = raw(QDir::tempPath()) + "/korvane-test-XXXXXX";
        if (::mkdtemp(pattern.data()))
            m_root = pattern;
    }
    ~TestTree() { removeTree(m_root); }
    TestTree(const TestTree&) = delete;
    TestTree& operator=(const TestTree&) = delete;

    bool isValid() const { return !m_root.isEmpty(); }
    /// `relative` below the root, absolute; "" is the root itself.
    QByteArray path(const QByteArray& relative = {}) const
    {
        return relative.isEmpty() ? m_root : m_root + '/' + relative;
    }
    /// The same as text, for the interfaces that take one.
    QString text(const QByteArray& relative = {}) const { return QFile::decodeName(path(relative)); }
    /// Writes the file, making the folders above it; its absolute path.
    QByteArray file(const QByteArray& relative, const QByteArray& bytes = {}, mode_t mode = 0644)
    {
        writeFile(path(relative), bytes, mode);
        return path(relative);
    }
    /// Makes the folder and those above it; its absolute path.
    QByteArray folder(const QByteArray& relative)
    {
        makeFolders(path(relative));
        return path(relative);
    }
    /// Makes each of `names`: one ending in '/' is a folder, any other a file holding `bytes`.
    void make(const QStringList& names, const QByteArray& bytes = "x")
    {
        for (const QString& name : names) {
            if (name.endsWith(QLatin1Char('/')))
                folder(raw(name.chopped(1)));
            else
                file(raw(name), bytes);
        }
    }
    /// Every regular file below `relative`, by its path relative to that folder, with its bytes.
    QMap<QByteArray, QByteArray> listing(const QByteArray& relative = {}) const { return treeListing(path(relative)); }

private:
    QByteArray m_root;
};

} // namespace korvane::testsupport
