#pragma once

#include <QIcon>

namespace korvane::shell {

/// The suite's icon, for the main window and the desktop entry.
QIcon suiteIcon();

/// Gives the whole program the suite's icon and ties its windows to the installed desktop entry
/// (Wayland finds the icon through it): every window without an icon of its own gets it,
/// ownerless dialogs included.
void setApplicationIdentity();

} // namespace korvane::shell
