#pragma once

#include <QImage>
#include <QWidget>

class QLabel;

namespace korvane::drawingviewer {

/// "预览": the drawing's picture stretched over `Image1`, or as the window's own background
/// at its natural size where `Image1` holds no picture.
class Form2 : public QWidget {
    Q_OBJECT
public:
    /// Loads the window centred over `viewer`; it has no owner, so it outlives the viewer.
    explicit Form2(const QWidget* viewer);

    /// Image1's picture, stretched to Image1's size.
    void setImage1Picture(const QImage& picture);
    QImage image1Picture() const { return m_image1Picture; }
    /// The window's background picture, drawn at its natural size from the top left.
    void setBackgroundPicture(const QImage& picture);
    QImage backgroundPicture() const { return m_background; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QLabel* m_image1;
    QImage m_image1Picture;
    QImage m_background;
};

} // namespace korvane::drawingviewer
