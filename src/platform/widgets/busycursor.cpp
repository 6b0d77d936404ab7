#include "platform/widgets/busycursor.h"

#include <QApplication>
#include <QCursor>

namespace korvane::platform {

BusyCursor::BusyCursor(Qt::CursorShape shape)
{
    QApplication::setOverrideCursor(shape);
}

BusyCursor::~BusyCursor()
{
    QApplication::restoreOverrideCursor();
}

} // namespace korvane::platform
