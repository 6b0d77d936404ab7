#include "shell/artwork.h"

namespace korvane::shell {

QIcon suiteIcon()
{
    QIcon icon;
    icon.addFile(QStringLiteral(":/shell/korvane-32.png"));
    icon.addFile(QStringLiteral(":/shell/korvane.png"));
    return icon;
}

} // namespace korvane::shell
