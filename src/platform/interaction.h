#pragma once

#include "platform/messageboxes.h"

#include <functional>

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
