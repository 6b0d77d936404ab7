#include "platform/placement.h"

#include <QPushButton>
#include <QWidget>

namespace korvane::platform {

void centerOver(QWidget* window, const QWidget* owner)
{
    if (!owner)
        return;
    const QRect frame = owner->frameGeometry();
    const QSize own = window->frameGeometry().size();
    window->move(int(frame.left() + frame.width() / 2.0 - own.width() / 2.0),
                 int(frame.top() + frame.height() / 2.0 - own.height() / 2.0));
}

void alignWithTopLeft(QWidget* window, const QWidget* owner)
{
    if (owner)
        window->move(owner->frameGeometry().topLeft());
}

void placeInTwips(QWidget* widget, int left, int top, int width, int height)
{
    widget->setGeometry(twips(left), twips(top), twips(width), twips(height));
}

void nameAndPlace(QWidget* widget, const char* name, int left, int top, int width, int height)
{
    widget->setObjectName(QString::fromLatin1(name));
    placeInTwips(widget, left, top, width, height);
}

QPushButton* addButton(QWidget* parent, const char* name, const QString& caption, int left, int top, int width,
                       int height)
{
    auto* button = new QPushButton(caption, parent);
    button->setAutoDefault(false);
    nameAndPlace(button, name, left, top, width, height);
    return button;
}

} // namespace korvane::platform
