#include "platform/filesystem.h"

#include "platform/nativepath.h"

#include <QStringList>

#include <sys/stat.h>

namespace korvane::platform {

Status writeTextFile(FileSystem& fs, const NativePath& path, const QStringList& lines, TextEncoding encoding)
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

bool isReadOnlyByMode(quint32 mode)
{
    return !S_ISLNK(mode) && (mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
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
