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
};

} // namespace korvane::platform
