#include "platform/widgets/placement.h"

#include <QFont>
#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <QWidget>
#include <memory>

namespace korvane::platform {

namespace {

/// The frame drawn around a shown window; none is known before.
QMargins frameMargins(const QWidget* window)
{
    if (!window->isVisible())
        return {};
    const QRect outer = window->frameGeometry();
    const QRect inner = window->geometry();
    return {inner.left() - outer.left(), inner.top() - outer.top(), outer.right() - inner.right(),
            outer.bottom() - inner.bottom()};
}

} // namespace

void centerOver(QWidget* window, const QWidget* owner)
{
    if (!owner)
        return;
    const QRect frame = owner->frameGeometry();
    const QSize own = window->frameGeometry().size();
    window->move(int(frame.left() + frame.width() / 2.0 - own.width() / 2.0),
                 int(frame.top() + frame.height() / 2.0 - own.height() / 2.0));
}

void centerOverWhenFramed(QWidget* window, const QWidget* owner)
{
    centerOver(window, owner);
    // Before its first showing the window has no frame: centred by its client area alone, it
    // sits half a title bar low.
    QPointer<const QWidget> ownerLeft(owner);
    onceFramed(window, [window, ownerLeft] {
        if (ownerLeft)
            centerOver(window, ownerLeft);
    });
}

void onceFramed(QWidget* window, std::function<void()> action)
{
    // The window manager frames a window shortly after it is shown; polled, for at most a second.
    auto* timer = new QTimer(window);
    timer->setInterval(20);
    auto waited = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, window, [window, timer, waited, action = std::move(action)] {
        const bool framed = window->isVisible() && window->frameGeometry() != window->geometry();
        if (framed)
            action();
        if (framed || ++*waited > 50)
            timer->deleteLater();
    });
    timer->start();
}

void keepOnScreen(QWidget* window)
{
    const QMargins margins = frameMargins(window);
    QRect outer = window->geometry().marginsAdded(margins);
    const QScreen* screen = QGuiApplication::screenAt(outer.center());
    if (!screen)
        screen = window->screen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    const QRect before = outer;
    // The right and bottom edges first, so that a window larger than the area keeps its
    // title bar and left edge on the screen.
    if (outer.right() > area.right())
        outer.moveRight(area.right());
    if (outer.bottom() > area.bottom())
        outer.moveBottom(area.bottom());
    if (outer.left() < area.left())
        outer.moveLeft(area.left());
    if (outer.top() < area.top())
        outer.moveTop(area.top());
    if (outer != before)
        window->move(outer.topLeft()); // a window's position is its frame's
}

void nameAndPlace(QWidget* widget, const char* name, TwipsRect at)
{
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(twips(at.left), twips(at.top), twips(at.width), twips(at.height));
}

QFont formFont(double points)
{
    QFont face(QStringLiteral("宋体"));
    face.setPixelSize(qRound(points * 96 / 72)); // 9 points are 12 pixels
    return face;
}

} // namespace korvane::platform
