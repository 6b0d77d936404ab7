#pragma once

#include <functional>

class QObject;
class QWidget;

namespace korvane::platform {

/// How long the program waits for one run to stop before it ends without it.
inline constexpr int kStopLimitPerRunMs = 5000;

/// Ends the program around the runs in flight. With none, calls `quit` at once. Otherwise
/// stops every run through its stop token, closes any box a run has open, waits until every
/// run has ended (a "正在停止…" dialog over `owner` after 400 ms; at most kStopLimitPerRunMs a
/// run, then the process ends with status 1) and then calls `quit`, so copies in hand are
/// undone and temporary files removed before the windows unload.
/// Returns at once; calling it again while it waits does nothing more.
void stopRunsThenQuit(QWidget* owner, std::function<void()> quit);

/// True while stopRunsThenQuit() waits.
bool quitting();

/// The usual way out once no run is left: every window closes (their unload handlers run),
/// then the event loop ends.
void closeWindowsAndQuit();

/// Qt drops a window manager's close of a window that a box or another modal window blocks, so
/// the close box of `window` would do nothing while, say, a run's last box is up. From now on
/// such a close goes to closeBehindBoxes() with `close`, what the close box does.
void passBlockedCloses(QWidget* window, std::function<void()> close);

/// A close asked while boxes block its window: each box is closed, which answers it, so its
/// handler goes on to its end; `close` follows from the event loop, once that handler has returned.
void closeBehindBoxes(const std::function<void()>& close);

/// Delivers SIGTERM, SIGINT and SIGHUP to `handler` on the user-interface thread, through a
/// pipe written by the signal handler, so the usual way out runs for them too.
void onQuitSignals(QObject* context, std::function<void()> handler);

} // namespace korvane::platform
