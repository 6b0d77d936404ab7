#include "platform/widgets/clickablelabel.h"

#include <QMouseEvent>

namespace korvane::platform {

void ClickableLabel::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit clicked();
    QLabel::mouseReleaseEvent(event);
}

} // namespace korvane::platform
