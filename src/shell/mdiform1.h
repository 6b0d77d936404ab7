#pragma once

#include <QHash>
#include <QMainWindow>
#include <QPointer>
#include <functional>
#include <unistd.h>

namespace korvane::platform {
struct Services;
}

namespace korvane::shell {

/// How a menu command shows its tool window.
/// Written with designated initialisers: `{.modal = true, .ownedByMain = true, …}`.
struct ToolWindowBinding {
    bool modal = false;
    bool ownedByMain = false;
    /// Whether the taskbar lists the window; an owned window stays out of it unless listed.
    bool listedInTaskbar = true;
    /// Creates the window (its load runs in the constructor). `parent` is the main window for
    /// owned windows, null otherwise. May return null when the window closed itself while loading.
    std::function<QWidget*(QWidget* parent)> create;
};

/// The main window: an empty workspace and the menu that opens every tool window.
class MDIForm1 : public QMainWindow {
    Q_OBJECT
public:
    explicit MDIForm1(platform::Services& services, QWidget* parent = nullptr);

    /// Binds a menu command (by its object name, e.g. "menumove") to its tool window.
    void setToolWindow(const QString& menuItem, ToolWindowBinding binding);
    /// Shows the command's window: creates it when not loaded, else brings it to the front.
    /// Returns the window, or null when none is shown.
    QWidget* showToolWindow(const QString& menuItem);
    /// The loaded window of a command, or null.
    QWidget* toolWindow(const QString& menuItem) const;

    /// Shared with the tip window: true once "每日一帖" was used; never set back.
    const bool& tipRequested() const { return m_tipRequested; }

    /// The load handler: centres the window and shows the tip window.
    void Form_Load();
    /// Start-up: the load handler runs first, so the window appears where it belongs.
    void start();

    /// What "退出" does when no run is in flight; tests replace the immediate process end.
    void setExitAction(std::function<void()> exit) { m_exit = std::move(exit); }

    /// The way out for a signal (SIGTERM, SIGINT, SIGHUP) or the end of the desktop session:
    /// runs in flight are stopped and waited for, then every window unloads and the program ends.
    void quitGracefully();

protected:
    /// With runs in flight, the close waits until they have stopped; the program then ends.
    void closeEvent(QCloseEvent* event) override;

private:
    void buildMenu();
    /// 每日一帖: shows the tip window, even where tips are not wanted at start-up.
    void menuTip_Click();
    /// 退出: ends the program (once runs in flight have stopped).
    void menuexit_Click();

    platform::Services& m_services;
    bool m_tipRequested = false;
    QHash<QString, ToolWindowBinding> m_bindings;
    QHash<QString, QPointer<QWidget>> m_windows;
    std::function<void()> m_exit = [] { ::_exit(0); };
};

} // namespace korvane::shell
