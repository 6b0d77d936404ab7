#pragma once

#include <Qt>

namespace korvane::platform {

/// Shows a cursor over the whole program while it lives (the wait cursor by default) and
/// restores the previous one when it goes, also when the work in between throws.
class BusyCursor {
public:
    explicit BusyCursor(Qt::CursorShape shape = Qt::WaitCursor);
    ~BusyCursor();
    BusyCursor(const BusyCursor&) = delete;
    BusyCursor& operator=(const BusyCursor&) = delete;
};

} // namespace korvane::platform
