#pragma once

class QAbstractItemView;
class QModelIndex;

namespace korvane::platform {

/// Gives each entry of `view` that it shows cut off (elided, or running past the visible part
/// of the list) a tooltip holding the whole entry. An entry that fits gets none, and an entry's
/// own tooltip is left as it is. The view keeps its other delegate behaviour.
void tipCutOffEntries(QAbstractItemView& view);

/// Whether `view` shows the text of `index` only in part.
bool entryCutOff(const QAbstractItemView& view, const QModelIndex& index);

} // namespace korvane::platform
