#include "platform/interaction.h"

#include <QCoreApplication>
#include <QThread>
#include <QWaitCondition>

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

/// A call a worker has posted to the user-interface thread and waits for.
struct UiThreadCalls::Pending {
    enum class State { Posted, Running, Done, Abandoned };
    QMutex mutex;
    QWaitCondition changed;
    State state = State::Posted;
};

UiThreadCalls::UiThreadCalls(InteractionWrapper wrapper, QObject* parent)
    : QObject(parent), m_wrapper(std::move(wrapper))
{}

UiThreadCalls::~UiThreadCalls()
{
    abandon();
}

void UiThreadCalls::carryOut(const std::function<void()>& call, bool interaction)
{
    if (interaction && m_wrapper)
        m_wrapper(call);
    else
        call();
}

bool UiThreadCalls::post(const std::function<void()>& call, bool interaction)
{
    if (onUserInterfaceThread()) {
        carryOut(call, interaction);
        return true;
    }
    auto pending = std::make_shared<Pending>();
    {
        QMutexLocker lock(&m_mutex);
        if (m_abandoned && interaction)
            return false;
        m_pending.append(pending);
    }
    QMetaObject::invokeMethod(
        this,
        [this, pending, &call, interaction] {
            {
                QMutexLocker lock(&pending->mutex);
                if (pending->state != Pending::State::Posted)
                    return;
                pending->state = Pending::State::Running;
            }
            carryOut(call, interaction);
            QMutexLocker lock(&pending->mutex);
            pending->state = Pending::State::Done;
            pending->changed.wakeAll();
        },
        Qt::QueuedConnection);
    bool done = false;
    {
        QMutexLocker lock(&pending->mutex);
        while (pending->state == Pending::State::Posted || pending->state == Pending::State::Running)
            pending->changed.wait(&pending->mutex);
        done = pending->state == Pending::State::Done;
    }
    QMutexLocker lock(&m_mutex);
    m_pending.removeAll(pending);
    return done;
}

void UiThreadCalls::abandon()
{
    QMutexLocker lock(&m_mutex);
    m_abandoned = true;
    for (const std::shared_ptr<Pending>& pending : std::as_const(m_pending)) {
        QMutexLocker pendingLock(&pending->mutex);
        if (pending->state == Pending::State::Posted) {
            pending->state = Pending::State::Abandoned;
            pending->changed.wakeAll();
        }
    }
}

void UiThreadCalls::resume()
{
    QMutexLocker lock(&m_mutex);
    m_abandoned = false;
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
