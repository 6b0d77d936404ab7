#pragma once

#include <QLabel>

namespace korvane::platform {

/// A label or picture that acts on a click, like the original's image and label controls.
class ClickableLabel : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;

signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
};

} // namespace korvane::platform
