#include "platform/filesystem.h"

#include "platform/nativepath.h"

#include <QStringList>
#include <algorithm>

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

Status FileSystem::listInPieces(const NativePath& folder, size_t piece,
                                const std::function<void(std::vector<DirEntry>&&)>& take)
{
    auto entries = list(folder);
    if (!entries)
        return entries.status();
    for (size_t at = 0; at < entries->size(); at += piece) {
        const auto from = entries->begin() + qsizetype(at);
        take(std::vector<DirEntry>(std::make_move_iterator(from),
                                   std::make_move_iterator(from + qsizetype(std::min(piece, entries->size() - at)))));
    }
    return {};
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
