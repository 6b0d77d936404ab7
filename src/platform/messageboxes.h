#pragma once

#include <QString>

class QWidget;

namespace korvane::platform {

enum class MessageIcon { None, Information };

/// Modal message box with one OK button and the title "Korvane".
class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;
    /// Returns when the user has closed the box.
    virtual void show(QWidget* parent, const QString& text, MessageIcon icon) = 0;
    /// The same box with a button that unfolds `details`, a longer text the user may scroll
    /// and copy ("显示详细信息…"); a plain box when `details` is empty.
    virtual void showWithDetails(QWidget* parent, const QString& text, MessageIcon icon, const QString& details)
    {
        (void)details;
        show(parent, text, icon);
    }
};

} // namespace korvane::platform
