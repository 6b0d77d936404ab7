#include "drawingviewer/form2.h"

#include "platform/widgets/placement.h"

#include <QLabel>
#include <QPainter>

namespace korvane::drawingviewer {

using platform::makeNamed;
using platform::twips;

Form2::Form2(const QWidget* viewer) : QWidget(nullptr)
{
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(QStringLiteral("预览"));
    // Sizable, without minimise and maximise buttons.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    resize(twips(9975), twips(7365));

    m_image1 = makeNamed<QLabel>(this, "Image1", {0, 0, 9975, 7335});
    m_image1->setScaledContents(true);

    // Form_Load: centred over the viewer. The frame is not known before the first showing,
    // so assume the viewer's decorations, as both are plain top-level windows.
    if (viewer) {
        const QRect owner = viewer->frameGeometry();
        const QSize margins = owner.size() - viewer->size();
        const QSize own = size() + margins;
        move(int(owner.left() + owner.width() / 2.0 - own.width() / 2.0),
             int(owner.top() + owner.height() / 2.0 - own.height() / 2.0));
    }
}

void Form2::setImage1Picture(const QImage& picture)
{
    m_image1Picture = picture;
    m_image1->setPixmap(picture.isNull() ? QPixmap() : QPixmap::fromImage(picture));
}

void Form2::setBackgroundPicture(const QImage& picture)
{
    m_background = picture;
    update();
}

void Form2::paintEvent(QPaintEvent*)
{
    if (m_background.isNull())
        return;
    QPainter painter(this);
    painter.drawImage(0, 0, m_background);
}

} // namespace korvane::drawingviewer
