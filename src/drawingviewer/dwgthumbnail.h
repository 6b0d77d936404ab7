#pragma once

#include <QImage>
#include <QString>
#include <QWidget>

namespace korvane::drawingviewer {

struct LoadedPreview;

/// Shows the preview a drawing file carries, scaled to fill the widget. Placement is kept in
/// twips as single-precision values, so a caller's zoom arithmetic is not rounded to pixels.
class DwgThumbnail : public QWidget {
    Q_OBJECT
public:
    explicit DwgThumbnail(QWidget* parent = nullptr);

    /// The drawing shown; "" when none. Setting a path reads its preview at once; a drawing
    /// whose preview cannot be shown says why in the middle of the white area (previewNotice()),
    /// a missing or foreign file shows the white area alone; "" clears the display.
    QString DwgFileName() const { return m_fileName; }
    void setDwgFileName(const QString& path);
    /// The same with the preview already read (off the user-interface thread).
    void setDwgFileName(const QString& path, const QImage& preview);
    void setDwgFileName(const QString& path, const LoadedPreview& preview);
    /// What the area says in place of the picture; "" when it shows one, or nothing.
    const QString& notice() const { return m_notice; }

    /// 1 BLACKONWHITE, 2 WHITEONBLACK, 3 COLORONCOLOR, 4 HALFTONE (see StretchMode); other
    /// values are ignored, as the system ignores them.
    int StretchBltMode() const { return m_mode; }
    void setStretchBltMode(int mode);

    /// The rendered preview at the widget's current size; null with no drawing shown, or
    /// when the size is too large to hold in memory.
    QImage picture() const;
    /// The decoded preview at its stored size; null when the drawing has none.
    const QImage& preview() const { return m_preview; }

    float Left() const { return m_left; }
    float Top() const { return m_top; }
    float Width() const { return m_width; }
    float Height() const { return m_height; }
    void setLeft(float twips);
    void setTop(float twips);
    void setWidth(float twips);
    void setHeight(float twips);

signals:
    void Click();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void applyGeometry();
    const QImage& reduced() const;

    QString m_fileName;
    QImage m_preview;
    QString m_notice;
    int m_mode = 2;
    float m_left = 0, m_top = 0, m_width = 0, m_height = 0;
    bool m_pressed = false;
    // The preview reduced for the current size and mode, rebuilt when either changes.
    mutable QImage m_reduced;
    mutable QSize m_reducedFor;
    mutable int m_reducedMode = 0;
};

} // namespace korvane::drawingviewer
