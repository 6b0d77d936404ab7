#pragma once

#include <QIcon>

namespace korvane::shell {

/// The suite's icon, for the main window and the desktop entry.
QIcon suiteIcon();

} // namespace korvane::shell
