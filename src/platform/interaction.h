#pragma once

#include "platform/messageboxes.h"

#include <QList>
#include <QMutex>
#include <QObject>
#include <functional>
#include <memory>

class QWidget;

namespace korvane::platform {

/// Carries what a run's worker thread needs from the user (a message box, a password prompt,
/// a choice) to the user-interface thread, where every widget lives, and waits for the answer.
/// A window's run installs one for its worker (Scope); code deep inside a job reaches it
/// through current(), as a copy reaches its stop token through RunControl::current().
class InteractionBridge {
public:
    virtual ~InteractionBridge() = default;
    /// Runs `call` on the user-interface thread and returns once it has returned. False when
    /// it was not run because the run is being abandoned (the program is quitting): the
    /// caller takes that as the user's Cancel.
    virtual bool interact(const std::function<void()>& call) = 0;

    /// The bridge of the run on this thread; null outside a run's worker.
    static InteractionBridge* current() noexcept { return t_current; }

    class Scope {
    public:
        explicit Scope(InteractionBridge* bridge) noexcept : m_previous(t_current) { t_current = bridge; }
        ~Scope() { t_current = m_previous; }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        InteractionBridge* m_previous;
    };

private:
    static inline thread_local InteractionBridge* t_current = nullptr;
};

/// On the user-interface thread while a run's interaction is open: the run's window, which owns
/// any dialog the interaction shows. Null otherwise.
QWidget* interactionOwner();
/// Set by the run around each interaction it carries out (user-interface thread only).
void setInteractionOwner(QWidget* window);

/// True on the thread the application's event loop and widgets live on.
bool onUserInterfaceThread();

/// Runs an interaction with the user where it may run: at once on the user-interface thread;
/// through the run's bridge on a run's worker. On another thread of a program without a
/// graphical interface (a terminal prompt of the command line) it runs at once; in a
/// graphical program it is refused, since a widget made there would crash. False when not run.
bool interactWithUser(const std::function<void()>& call);

/// Carries calls from worker threads to the user-interface thread, where this object lives, and
/// waits for each to return. Once abandoned (the program is quitting), interactions not yet
/// begun, and any asked from then on, are answered as not run; plain calls still run.
class UiThreadCalls final : public QObject {
public:
    /// Carries out one interaction on the user-interface thread: whatever must hold around it,
    /// then `call`.
    using InteractionWrapper = std::function<void(const std::function<void()>& call)>;

    explicit UiThreadCalls(InteractionWrapper wrapper, QObject* parent = nullptr);
    ~UiThreadCalls() override;

    /// Runs `call` on the user-interface thread and waits for it (directly when already there);
    /// for work that shows nothing, such as handing an object to a worker.
    void run(const std::function<void()>& call) { post(call, false); }
    /// Runs `call` through the wrapper there; false when refused since abandoned.
    bool interact(const std::function<void()>& call) { return post(call, true); }

    /// Answers the interactions that have not begun as not run, and refuses new ones. One
    /// already open is closed by whoever quits; it answers then.
    void abandon();
    /// Carries interactions again, for a new run.
    void resume();

private:
    struct Pending;
    bool post(const std::function<void()>& call, bool interaction);
    void carryOut(const std::function<void()>& call, bool interaction);

    InteractionWrapper m_wrapper;
    QMutex m_mutex; ///< guards the two below, shared with the workers
    QList<std::shared_ptr<Pending>> m_pending;
    bool m_abandoned = false;
};

/// Message boxes that any thread may ask for: each is shown through interactWithUser(), so a
/// run's worker waits while its box is open on the user-interface thread, and the boxes keep
/// their order. A box that cannot be shown (the program is quitting) is skipped.
class UiThreadMessages final : public MessageBoxes {
public:
    explicit UiThreadMessages(MessageBoxes& target) : m_target(target) {}
    void show(QWidget* parent, const QString& text, MessageIcon icon) override;
    void showWithDetails(QWidget* parent, const QString& text, MessageIcon icon, const QString& details) override;

private:
    MessageBoxes& m_target;
};

} // namespace korvane::platform
