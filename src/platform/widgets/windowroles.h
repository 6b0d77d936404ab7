#pragma once

#include <QMargins>

class QWidget;

namespace korvane::platform {

/// Tells the window manager how a top-level window relates to the rest of the program. With an
/// owner the window stays above it and is minimised with it (a transient window on X11);
/// without one it is independent. Windows not listed in the taskbar ask to be skipped by it.
/// Kept for every later showing of the window. Does nothing on platforms without a window
/// manager to tell (the offscreen tests).
void setWindowRole(QWidget* window, QWidget* owner, bool listedInTaskbar);

/// Raises and activates a top-level window at the user's request from outside the program (a
/// file handed over by another start). A window manager that prevents focus stealing ignores
/// Qt's own request there, so on X11 the window also asks for it as a pager would
/// (_NET_ACTIVE_WINDOW, source 2), which such managers honour.
void bringToFront(QWidget* window);

/// The frame the window manager will draw around a window not shown yet, asked of it ahead,
/// so that the window can be placed by its outer size before it first appears. Empty where
/// there is no window manager to ask or it does not answer at once.
QMargins expectedFrameMargins(QWidget* window);

} // namespace korvane::platform
