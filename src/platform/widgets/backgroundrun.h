#pragma once

// How a window runs a long job:
//
//     m_run = new BackgroundRun(this, services.messages);   // one per window, owned by it
//     if (!m_run->start(QStringLiteral("正在复制文件…"),
//                       [plan](RunControl& control) { return copyAll(plan, control); },
//                       [this](Report report) { showReport(report); }))
//         return; // a run is under way
//
// - start() returns at once. The job runs on a worker thread of its own; it reports progress
//   and sees the stop request through its RunControl, and takes what it needs by value.
// - Its result goes to the completion, which runs on the user-interface thread once the job
//   has returned; ended() follows. stopped() and control() tell how the run ended.
// - While it runs, the window's controls are disabled, a RunProgressDialog shows the counts
//   after a short delay, and a close of the window stops the run and closes it afterwards
//   (all on the user-interface thread).
// - The job never touches a widget: interactWithUser() and UiThreadMessages carry what it
//   needs from the user to the user-interface thread and wait for the answer (interaction.h).

#include "platform/interaction.h"
#include "platform/runcontrol.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <exception>
#include <functional>
#include <memory>
#include <type_traits>

class QThread;
class QTimer;
class QWidget;

namespace korvane::platform {

class MessageBoxes;
class RunProgressDialog;

/// One window's long runs, each a job on a worker thread (the KJob model): start() returns at
/// once, the job reports through its RunControl, and when it has ended the rest of the
/// handler runs on the user-interface thread and ended() is emitted. No handler waits in a
/// local event loop, so runs in different windows never hold each other up.
///
/// For the duration the window's own controls are disabled (the run cannot be re-entered)
/// and, after a short delay, a progress dialog owned by the window shows the job's
/// RunControl with "取消", which requests the stop. A close of the window during a run stops
/// the run first and closes the window once it has ended.
///
/// The job's interactions reach the user through this object as the worker's
/// InteractionBridge. While one is open the progress dialog is hidden; its delay counts again
/// from when the interaction closes.
class BackgroundRun final : public QObject, public InteractionBridge {
    Q_OBJECT
public:
    using Job = std::function<void(RunControl&)>;

    /// Starts `job`, a `R(RunControl&)`, on a worker thread and returns at once; `action` is
    /// the dialog's verb phrase ("正在复制文件…"). `finished`, a `void(R)` (a `void()` for a
    /// job that returns nothing), is the rest of the handler: it gets the job's result on the
    /// user-interface thread once the job has ended, with the window's controls enabled again
    /// (a job that failed with an exception hands on `R{}`). Returns false without starting
    /// anything when a run is under way.
    template <typename JobFunction, typename Finished>
    [[nodiscard]] bool start(const QString& action, JobFunction job, Finished finished)
    {
        using R = std::invoke_result_t<JobFunction&, RunControl&>;
        if constexpr (std::is_void_v<R>) {
            return startJob(action, std::move(job), std::move(finished));
        } else {
            // The result lives here between the two threads, not in the window.
            auto result = std::make_shared<R>();
            return startJob(
                action, [job = std::move(job), result](RunControl& control) mutable { *result = job(control); },
                [finished = std::move(finished), result] { finished(std::move(*result)); });
        }
    }

    /// `window` owns this object and the progress dialog; `messages` reports a job that failed
    /// with an exception.
    BackgroundRun(QWidget* window, MessageBoxes& messages);
    ~BackgroundRun() override;

    bool isRunning() const { return m_running; }
    /// True when the last run was asked to stop (by "取消", by closing the window, by quitting).
    bool stopped() const { return m_stopped; }
    /// The last run's control, for its final counts.
    const RunControl* control() const { return m_control.get(); }
    /// Asks the run in progress to stop, as "取消" does.
    void requestStop();

    /// Calls `call` on the user-interface thread and waits for it (directly when already
    /// there); for work that shows nothing, such as handing an object to the worker.
    void onUiThread(const std::function<void()>& call);
    /// InteractionBridge: a message box or prompt for the job, on the user-interface thread.
    bool interact(const std::function<void()>& call) override;

    /// How long a run goes before its dialog appears.
    void setDialogDelay(int ms) { m_dialogDelay = ms; }

    /// Every run in flight in the program (user-interface thread only).
    static QList<BackgroundRun*> runsInFlight();
    /// For the window's destructor, before the members a job uses go: stops the run in progress
    /// and waits for its job to return; its `finished` part is dropped.
    void stopAndWait();
    /// Stops the run for the program's end: requests the stop, and interactions that have not
    /// been shown yet, or are asked from now on, are answered as cancelled.
    void stopForQuit();

signals:
    /// The run has ended and its `finished` has returned.
    void ended();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool startJob(const QString& action, Job job, std::function<void()> finished);
    void interactAway(const std::function<void()>& call);
    void poll();
    void finish();

    QWidget* m_window;
    MessageBoxes& m_messages;
    std::unique_ptr<RunControl> m_control;
    QThread* m_worker = nullptr;
    QTimer* m_ticker;
    std::exception_ptr m_failure;
    std::function<void()> m_finished;
    QList<QPointer<QWidget>> m_disabled;
    QPointer<RunProgressDialog> m_dialog;
    QString m_action;
    QElapsedTimer m_elapsed;
    int m_dialogDelay = 400;
    int m_interacting = 0; ///< interactions open on the user-interface thread
    bool m_running = false;
    bool m_stopped = false;
    bool m_closeAfterRun = false;
    UiThreadCalls* m_calls; ///< the worker's calls to the user-interface thread
};

} // namespace korvane::platform
