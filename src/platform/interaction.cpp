#include "platform/interaction.h"

#include <QCoreApplication>
#include <QThread>

namespace korvane::platform {

namespace {
QWidget* s_interactionOwner = nullptr;
}

QWidget* interactionOwner()
{
    return s_interactionOwner;
}

void setInteractionOwner(QWidget* window)
{
    s_interactionOwner = window;
}

bool onUserInterfaceThread()
{
    const QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

bool interactWithUser(const std::function<void()>& call)
{
    if (onUserInterfaceThread()) {
        call();
        return true;
    }
    if (InteractionBridge* bridge = InteractionBridge::current())
        return bridge->interact(call);
    const QCoreApplication* app = QCoreApplication::instance();
    if (app && app->inherits("QGuiApplication"))
        return false;
    call();
    return true;
}

void UiThreadMessages::show(QWidget* parent, const QString& text, MessageIcon icon)
{
    interactWithUser([&] { m_target.show(parent, text, icon); });
}

void UiThreadMessages::showWithDetails(QWidget* parent, const QString& text, MessageIcon icon, const QString& details)
{
    interactWithUser([&] { m_target.showWithDetails(parent, text, icon, details); });
}

} // namespace korvane::platform
