#pragma once

#include "platform/messageboxes.h"
#include "platform/runcontrol.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>
#include <memory>

class QWidget;

namespace korvane::platform {

class RunProgressDialog;

/// Runs a window's long job on a worker thread while the handler that started it waits in a
/// local event loop, so the handler keeps its sequential shape and its messages their order,
/// and the window keeps painting.
///
/// For the duration the window's own controls are disabled (the run cannot be re-entered)
/// and, after a short delay, a progress dialog owned by the window shows the job's
/// RunControl with a "取消" button that requests the stop. A close of the window during a run
/// stops the run first and closes the window once the handler has returned.
///
/// The job must not touch widgets or services: what it needs from the user goes through
/// onUiThread().
class BackgroundRun final : public QObject {
    Q_OBJECT
public:
    /// `window` owns this object and the progress dialog.
    explicit BackgroundRun(QWidget* window);
    ~BackgroundRun() override;

    /// Runs `job` and returns once it has ended; `action` is the dialog's verb phrase
    /// ("正在复制文件…"). Returns false without running anything when a run is under way.
    bool run(const QString& action, const std::function<void(RunControl&)>& job);

    bool isRunning() const { return m_running; }
    /// True when the last run was asked to stop (by "取消" or by closing the window).
    bool stopped() const { return m_stopped; }
    /// The last run's control, for its final counts.
    const RunControl* control() const { return m_control.get(); }

    /// Calls `call` on the user-interface thread and waits for it; directly when already there.
    void onUiThread(const std::function<void()>& call);

    /// How long a run goes before its dialog appears.
    void setDialogDelay(int ms) { m_dialogDelay = ms; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void poll();

    QWidget* m_window;
    std::unique_ptr<RunControl> m_control;
    QList<QPointer<QWidget>> m_disabled;
    QPointer<RunProgressDialog> m_dialog;
    QString m_action;
    QElapsedTimer m_elapsed;
    int m_dialogDelay = 400;
    bool m_running = false;
    bool m_stopped = false;
    bool m_closeAfterRun = false;
};

/// Message boxes that a run's worker thread may ask for: the box is shown on the
/// user-interface thread while the worker waits, so its messages keep their order.
class UiThreadMessages final : public QObject, public MessageBoxes {
public:
    explicit UiThreadMessages(MessageBoxes& target, QObject* parent = nullptr) : QObject(parent), m_target(target) {}
    void show(QWidget* parent, const QString& text, MessageIcon icon) override;

private:
    MessageBoxes& m_target;
};

} // namespace korvane::platform
