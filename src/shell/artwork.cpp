#include "shell/artwork.h"

#include <QGuiApplication>

namespace korvane::shell {

QIcon suiteIcon()
{
    QIcon icon;
    icon.addFile(QStringLiteral(":/shell/korvane-32.png"));
    icon.addFile(QStringLiteral(":/shell/korvane.png"));
    return icon;
}

void setApplicationIdentity()
{
    QGuiApplication::setDesktopFileName(QStringLiteral("org.korvane.Korvane"));
    QGuiApplication::setWindowIcon(suiteIcon());
}

} // namespace korvane::shell
