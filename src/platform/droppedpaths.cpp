#include "platform/droppedpaths.h"

#include <QFile>
#include <QMimeData>
#include <QUrl>

namespace korvane::platform {

namespace {

/// "file:///a/b" or "file://localhost/a/b" to "/a/b"; empty for anything else.
NativePath localPath(const QByteArray& uri)
{
    static const QByteArray scheme("file://");
    if (!uri.startsWith(scheme))
        return {};
    QByteArray rest = uri.mid(scheme.size());
    if (rest.startsWith("localhost/"))
        rest = rest.mid(9);
    if (!rest.startsWith('/'))
        return {}; // another host's file
    return QByteArray::fromPercentEncoding(rest);
}

} // namespace

QList<NativePath> droppedPaths(const QMimeData& data)
{
    QList<NativePath> paths;
    if (data.hasFormat(QStringLiteral("text/uri-list"))) {
        for (QByteArray line : data.data(QStringLiteral("text/uri-list")).split('\n')) {
            line = line.trimmed();
            if (line.isEmpty() || line.startsWith('#'))
                continue;
            const NativePath path = localPath(line);
            if (path.isEmpty())
                return {};
            paths.append(path);
        }
        return paths;
    }
    for (const QUrl& url : data.urls()) {
        if (!url.isLocalFile())
            return {};
        paths.append(QFile::encodeName(url.toLocalFile()));
    }
    return paths;
}

} // namespace korvane::platform
