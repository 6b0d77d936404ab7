#pragma once

#include "platform/filesystem.h"

#include <QList>
#include <functional>

class QLineEdit;
class QWidget;

namespace korvane::platform {

using DroppedPaths = QList<NativePath>;

/// Lets `target` take files and folders dropped onto it (for a list or other scroll area, onto
/// its viewport). `accepts` decides while the drag is over it, so a refused drag shows the
/// refusing cursor and nothing happens on release; `take` gets the paths of an accepted drop.
/// Every drag of local files is handled here, refused ones included: a text box never
/// inserts the dragged addresses as text.
void takeDrops(QWidget* target, std::function<bool(const DroppedPaths&)> accepts,
               std::function<void(const DroppedPaths&)> take);

/// A path box: one dropped file or folder puts its path into the box, as a chooser would;
/// several are refused and the box keeps its text.
void takePathDrops(QLineEdit* box);

} // namespace korvane::platform
