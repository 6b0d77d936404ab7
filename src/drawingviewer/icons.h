#pragma once

#include <QPixmap>

namespace korvane::drawingviewer {

// The viewer's 32 x 32 pictures, painted in code so they stay sharp and need no files.
QPixmap browseIcon();  ///< an open folder holding a drawing sheet
QPixmap zoomInIcon();  ///< a magnifier with a plus
QPixmap zoomOutIcon(); ///< a magnifier with a minus
QPixmap previewIcon(); ///< a framed picture with an eye

} // namespace korvane::drawingviewer
