#include "platform/programstarter.h"

#include <QDir>

namespace korvane::platform {

QString winePrefix()
{
    const QString set = qEnvironmentVariable("WINEPREFIX");
    if (!set.isEmpty())
        return QDir::cleanPath(QDir(set).absolutePath());
    return QDir::homePath() + QStringLiteral("/.wine");
}

QString wineWindowsPath(const QString& unixPath)
{
    QString path = QStringLiteral("Z:") + unixPath;
    path.replace(QLatin1Char('/'), QLatin1Char('\\'));
    return path;
}

namespace {

bool isDeviceName(const QString& name)
{
    // The device is named by what comes before the first dot, trailing spaces ignored.
    qsizetype end = name.indexOf(QLatin1Char('.'));
    if (end < 0)
        end = name.size();
    while (end > 0 && name[end - 1] == QLatin1Char(' '))
        --end;
    // From "CON" to "CONOUT$": a longer or shorter name is none, without the upper-casing.
    if (end < 3 || end > 7)
        return false;
    const QString base = name.left(end).toUpper();
    static const QStringList plain = {QStringLiteral("CON"), QStringLiteral("PRN"),    QStringLiteral("AUX"),
                                      QStringLiteral("NUL"), QStringLiteral("CONIN$"), QStringLiteral("CONOUT$")};
    if (plain.contains(base))
        return true;
    return base.size() == 4 && (base.startsWith(QLatin1String("COM")) || base.startsWith(QLatin1String("LPT"))) &&
           base[3] >= QLatin1Char('1') && base[3] <= QLatin1Char('9');
}

} // namespace

Status wineAddressable(const QString& unixPath)
{
    const QStringList parts = unixPath.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString& part : parts) {
        if (part == QLatin1String(".") || part == QLatin1String(".."))
            return Status::failure(ErrorKind::Failed,
                                   QStringLiteral("路径中含有\"%1\", wine会按文字解析而不按实际目录").arg(part));
        for (const QChar c : part) {
            if (c.unicode() < 0x20)
                return Status::failure(ErrorKind::Failed,
                                       QStringLiteral("名称\"%1\"含有控制字符, wine无法原样传递").arg(part));
            if (QStringLiteral("\\*?\"<>|:").contains(c))
                return Status::failure(ErrorKind::Failed,
                                       QStringLiteral("名称\"%1\"含有字符\"%2\", wine会另作解释").arg(part, c));
        }
        if (part.endsWith(QLatin1Char('.')) || part.endsWith(QLatin1Char(' ')))
            return Status::failure(ErrorKind::Failed,
                                   QStringLiteral("名称\"%1\"以点或空格结尾, wine会将其去掉").arg(part));
    }
    if (!parts.isEmpty() && isDeviceName(parts.last()))
        return Status::failure(ErrorKind::Failed, QStringLiteral("名称\"%1\"在wine中是设备名").arg(parts.last()));
    return Status::success();
}

} // namespace korvane::platform
