#include "drawingviewer/dwgthumbnail.h"

#include "drawingviewer/dwgpreview.h"
#include "drawingviewer/stretch.h"

#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>

#include <cmath>

namespace korvane::drawingviewer {

namespace {

constexpr double kTwipsPerPixel = 15.0;

/// Twips to pixels, clamped to what a widget can take; repeated zooming can reach any size,
/// even infinity, and converting such a value to int would be undefined.
int toPixels(float twips, int lowest)
{
    const double px = std::round(double(twips) / kTwipsPerPixel);
    if (std::isnan(px))
        return 0;
    return int(std::clamp(px, double(lowest), double(QWIDGETSIZE_MAX)));
}

} // namespace

DwgThumbnail::DwgThumbnail(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void DwgThumbnail::setDwgFileName(const QString& path)
{
    setDwgFileName(path, path.isEmpty() ? LoadedPreview() : loadPreview(path));
}

void DwgThumbnail::setDwgFileName(const QString& path, const QImage& preview)
{
    setDwgFileName(path, LoadedPreview{preview, {}});
}

void DwgThumbnail::setDwgFileName(const QString& path, const LoadedPreview& preview)
{
    m_fileName = path;
    m_preview = preview.image;
    m_notice = path.isEmpty() || !preview.image.isNull() ? QString() : preview.notice;
    m_reduced = QImage();
    m_reducedFor = QSize();
    update();
}

void DwgThumbnail::setStretchBltMode(int mode)
{
    if (!isStretchMode(mode) || mode == m_mode)
        return;
    m_mode = mode;
    update();
}

void DwgThumbnail::setLeft(float twips)
{
    m_left = twips;
    applyGeometry();
}

void DwgThumbnail::setTop(float twips)
{
    m_top = twips;
    applyGeometry();
}

void DwgThumbnail::setWidth(float twips)
{
    m_width = twips;
    applyGeometry();
}

void DwgThumbnail::setHeight(float twips)
{
    m_height = twips;
    applyGeometry();
}

void DwgThumbnail::applyGeometry()
{
    setGeometry(toPixels(m_left, -QWIDGETSIZE_MAX), toPixels(m_top, -QWIDGETSIZE_MAX), toPixels(m_width, 0),
                toPixels(m_height, 0));
}

const QImage& DwgThumbnail::reduced() const
{
    if (m_reducedFor != size() || m_reducedMode != m_mode) {
        m_reduced = reduceForStretch(m_preview, size(), m_mode);
        m_reducedFor = size();
        m_reducedMode = m_mode;
    }
    return m_reduced;
}

QImage DwgThumbnail::picture() const
{
    if (m_fileName.isEmpty())
        return {};
    return renderStretched(m_preview, size(), m_mode);
}

void DwgThumbnail::paintEvent(QPaintEvent* event)
{
    QPainter painter(this);
    painter.fillRect(event->rect(), Qt::white);
    if (!m_preview.isNull()) {
        paintStretched(painter, rect(), reduced(), m_mode);
    } else if (!m_notice.isEmpty()) {
        // Centred in the part of the area that is in view, which zooming may make small.
        QRect shown = rect();
        if (parentWidget())
            shown &= QRect(mapFromParent(QPoint(0, 0)), parentWidget()->size());
        painter.setPen(Qt::darkGray);
        painter.drawText(shown, Qt::AlignCenter | Qt::TextWordWrap, m_notice);
    }
}

void DwgThumbnail::mousePressEvent(QMouseEvent* event)
{
    m_pressed = event->button() == Qt::LeftButton;
    QWidget::mousePressEvent(event);
}

void DwgThumbnail::mouseReleaseEvent(QMouseEvent* event)
{
    const bool click = m_pressed && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
    m_pressed = false;
    if (click)
        emit Click();
    QWidget::mouseReleaseEvent(event);
}

} // namespace korvane::drawingviewer
