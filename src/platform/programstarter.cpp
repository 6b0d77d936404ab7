#include "platform/programstarter.h"

namespace korvane::platform {

QString wineWindowsPath(const QString& unixPath)
{
    QString path = unixPath;
    path.replace(QLatin1Char('/'), QLatin1Char('\\'));
    return QStringLiteral("Z:") + path;
}

} // namespace korvane::platform
