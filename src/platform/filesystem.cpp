#include "platform/filesystem.h"

#include "platform/nativepath.h"

#include <QStringList>
#include <cerrno>
#include <cstring>

namespace korvane::platform {

FsStatus FsStatus::fromErrno(int e)
{
    switch (e) {
    case 0: return {};
    case ENOENT: return {FsError::NotFound, e};
    case EEXIST: return {FsError::AlreadyExists, e};
    case ENOTDIR: return {FsError::NotAFolder, e};
    default: return {FsError::Io, e};
    }
}

QString FsStatus::message() const
{
    switch (error) {
    case FsError::None: return {};
    case FsError::NotFound: return QStringLiteral("文件或文件夹不存在");
    case FsError::AlreadyExists: return QStringLiteral("目标位置已有同名文件");
    case FsError::ReadOnly: return QStringLiteral("文件是只读的");
    case FsError::SameFile: return QStringLiteral("源文件和目标文件是同一个文件");
    case FsError::NotAFolder: return QStringLiteral("路径不是文件夹");
    case FsError::Injected: return QStringLiteral("模拟的错误");
    case FsError::Io: break;
    }
    return QString::fromLocal8Bit(std::strerror(errnum));
}

FsStatus writeTextFile(FileSystem& fs, const NativePath& path, const QStringList& lines, TextEncoding encoding)
{
    QString text;
    for (const QString& line : lines) {
        text += line;
        text += QLatin1String("\r\n");
    }
    QByteArray bytes;
    if (encoding == TextEncoding::Gbk) {
        // A character GBK cannot hold becomes "?", as a Windows ANSI write would do.
        const auto encoded = encodeText(text, "GBK//TRANSLIT");
        bytes = encoded ? *encoded : text.toLocal8Bit();
    } else {
        bytes = text.toLocal8Bit();
    }
    return fs.writeFile(path, bytes);
}

NativePath joinPath(const NativePath& folder, const QByteArray& name)
{
    if (folder.isEmpty())
        return name;
    if (folder.endsWith('/'))
        return folder + name;
    return folder + '/' + name;
}

} // namespace korvane::platform
