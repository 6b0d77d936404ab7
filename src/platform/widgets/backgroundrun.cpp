#include "platform/widgets/backgroundrun.h"

#include "platform/messageboxes.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDialog>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <QWaitCondition>
#include <exception>

namespace korvane::platform {

/// The progress dialog of one run: what is done, the item in hand and "取消".
class RunProgressDialog final : public QDialog {
public:
    RunProgressDialog(QWidget* window, RunControl& control) : QDialog(window), m_control(control)
    {
        setObjectName(QStringLiteral("runProgress"));
        setWindowTitle(QStringLiteral("Korvane"));
        // Not window-modal: that would block the owner's owner too (the main window of an owned
        // tool window), and with it every other tool and the program's close box. The window's
        // own controls are disabled for the run instead.
        setWindowModality(Qt::NonModal);
        m_line = new QLabel(this);
        m_line->setObjectName(QStringLiteral("progressLine"));
        m_current = new QLabel(this);
        m_current->setObjectName(QStringLiteral("currentItem"));
        m_current->setMinimumWidth(360);
        m_bar = new QProgressBar(this);
        m_bar->setTextVisible(false);
        m_cancel = new QPushButton(QStringLiteral("取消"), this);
        m_cancel->setObjectName(QStringLiteral("cancelButton"));
        connect(m_cancel, &QPushButton::clicked, this, &RunProgressDialog::reject);
        auto* buttons = new QHBoxLayout;
        buttons->addStretch();
        buttons->addWidget(m_cancel);
        auto* layout = new QVBoxLayout(this);
        layout->addWidget(m_line);
        layout->addWidget(m_current);
        layout->addWidget(m_bar);
        layout->addLayout(buttons);
    }

    void refresh(const QString& action)
    {
        const ProgressSnapshot s = m_control.snapshot();
        QString line = action + QStringLiteral(" 已处理 ") + QString::number(s.done);
        if (s.total >= 0 && s.totalFinal)
            line += QStringLiteral(" / ") + QString::number(s.total);
        else if (s.total >= 0)
            line += QStringLiteral(" 个, 已找到 ") + QString::number(s.total); // the walk goes on
        m_line->setText(line + QStringLiteral(" 个"));
        m_current->setText(m_current->fontMetrics().elidedText(s.current, Qt::ElideMiddle, m_current->width()));
        // A total still growing is not the whole: a bar would stand nearly full all along.
        if (s.total > 0 && s.totalFinal) {
            // The bar counts in thousandths: totals beyond int range still fit.
            m_bar->setRange(0, 1000);
            // Large items in hand count as the part of one item they have done.
            const qint64 part = s.partTotal > 0 ? std::min(s.partDone, s.partTotal) * 1000 / s.partTotal : 0;
            m_bar->setValue(int(std::min<qint64>((std::min(s.done, s.total) * 1000 + part) / s.total, 1000)));
        } else {
            m_bar->setRange(0, 0); // busy indicator
        }
        if (s.stopRequested) {
            m_cancel->setEnabled(false);
            m_cancel->setText(QStringLiteral("正在取消…"));
        }
    }

    /// "取消", Escape and the close box all stop the run; the dialog goes when the run ends.
    void reject() override { m_control.requestStop(); }

private:
    RunControl& m_control;
    QLabel* m_line;
    QLabel* m_current;
    QProgressBar* m_bar;
    QPushButton* m_cancel;
};

/// An interaction or call a worker has posted to the user-interface thread and waits for.
struct BackgroundRun::Pending {
    enum class State { Posted, Running, Done, Abandoned };
    QMutex mutex;
    QWaitCondition changed;
    State state = State::Posted;
};

namespace {
QList<BackgroundRun*>& inFlight()
{
    static QList<BackgroundRun*> runs;
    return runs;
}
} // namespace

BackgroundRun::BackgroundRun(QWidget* window, MessageBoxes& messages)
    : QObject(window), m_window(window), m_messages(messages), m_ticker(new QTimer(this))
{
    setObjectName(QStringLiteral("backgroundRun"));
    m_window->installEventFilter(this);
    m_ticker->setInterval(100);
    connect(m_ticker, &QTimer::timeout, this, &BackgroundRun::poll);
}

BackgroundRun::~BackgroundRun()
{
    stopAndWait();
}

void BackgroundRun::stopAndWait()
{
    if (!m_worker)
        return;
    m_control->requestStop();
    abandonPending();
    m_worker->disconnect(this);
    m_worker->wait();
    delete m_worker;
    m_worker = nullptr;
    m_ticker->stop();
    m_finished = {};
    m_running = false;
    inFlight().removeAll(this);
}

QList<BackgroundRun*> BackgroundRun::runsInFlight()
{
    return inFlight();
}

bool BackgroundRun::startJob(const QString& action, Job job, std::function<void()> finished)
{
    if (m_running)
        return false;
    m_running = true;
    m_stopped = false;
    m_closeAfterRun = false;
    m_failure = nullptr;
    m_action = action;
    m_finished = std::move(finished);
    m_control = std::make_unique<RunControl>();
    {
        QMutexLocker lock(&m_pendingMutex);
        m_abandoning = false;
    }

    // Only the window's own controls: the dialog, made later, stays usable.
    m_disabled.clear();
    for (QWidget* child : m_window->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (child->isWindow() || !child->isEnabled())
            continue;
        child->setEnabled(false);
        m_disabled.append(child);
    }

    RunControl& control = *m_control;
    m_worker = QThread::create([this, job = std::move(job), &control] {
        const InteractionBridge::Scope bridge(this);
        try {
            job(control);
        } catch (...) {
            m_failure = std::current_exception();
        }
    });
    connect(m_worker, &QThread::finished, this, &BackgroundRun::finish, Qt::QueuedConnection);
    inFlight().append(this);
    m_interacting = 0;
    m_elapsed.start();
    m_ticker->start();
    m_worker->start();
    return true;
}

void BackgroundRun::requestStop()
{
    if (m_running)
        m_control->requestStop();
}

void BackgroundRun::stopForQuit()
{
    if (!m_running)
        return;
    m_control->requestStop();
    abandonPending();
}

void BackgroundRun::finish()
{
    if (!m_worker || !m_worker->isFinished())
        return;
    m_worker->wait();
    delete m_worker;
    m_worker = nullptr;
    m_ticker->stop();
    inFlight().removeAll(this);

    m_stopped = m_control->stopRequested();
    if (m_dialog)
        delete m_dialog.data();
    for (const QPointer<QWidget>& child : std::as_const(m_disabled)) {
        if (child)
            child->setEnabled(true);
    }
    m_disabled.clear();
    m_running = false;

    if (const std::function<void()> finished = std::exchange(m_finished, {}))
        finished();
    if (const std::exception_ptr failure = std::exchange(m_failure, nullptr)) {
        QString reason;
        try {
            std::rethrow_exception(failure);
        } catch (const std::exception& e) {
            reason = QString::fromLocal8Bit(e.what());
        } catch (...) {
            reason = QStringLiteral("未知错误");
        }
        m_messages.show(m_window, QStringLiteral("操作意外中止: ") + reason, MessageIcon::Information);
    }
    if (m_closeAfterRun)
        QTimer::singleShot(0, m_window, [window = m_window] { window->close(); });
    emit ended();
}

void BackgroundRun::poll()
{
    if (!m_running)
        return;
    if (m_interacting > 0)
        return;
    if (!m_dialog && m_elapsed.elapsed() >= m_dialogDelay) {
        m_dialog = new RunProgressDialog(m_window, *m_control);
        m_dialog->refresh(m_action);
        m_dialog->show();
    } else if (m_dialog && m_dialog->isHidden() && m_elapsed.elapsed() >= m_dialogDelay) {
        m_dialog->show();
    }
    if (m_dialog)
        m_dialog->refresh(m_action);
}

void BackgroundRun::onUiThread(const std::function<void()>& call)
{
    callOnUiThread(call, false);
}

bool BackgroundRun::interact(const std::function<void()>& call)
{
    return callOnUiThread(call, true);
}

void BackgroundRun::runOnUiThread(const std::function<void()>& call, bool interaction)
{
    if (!interaction) {
        call();
        return;
    }
    // The progress dialog must never cover the box or prompt, nor take its clicks.
    ++m_interacting;
    if (m_dialog)
        m_dialog->hide();
    QWidget* const previousOwner = interactionOwner();
    setInteractionOwner(m_window);
    const auto closed = qScopeGuard([this, previousOwner] {
        setInteractionOwner(previousOwner);
        --m_interacting;
        m_elapsed.restart();
    });
    call();
}

bool BackgroundRun::callOnUiThread(const std::function<void()>& call, bool interaction)
{
    if (onUserInterfaceThread()) {
        runOnUiThread(call, interaction);
        return true;
    }
    auto pending = std::make_shared<Pending>();
    {
        QMutexLocker lock(&m_pendingMutex);
        if (m_abandoning && interaction)
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
            runOnUiThread(call, interaction);
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
    QMutexLocker lock(&m_pendingMutex);
    m_pending.removeAll(pending);
    return done;
}

void BackgroundRun::abandonPending()
{
    QMutexLocker lock(&m_pendingMutex);
    m_abandoning = true;
    for (const std::shared_ptr<Pending>& pending : std::as_const(m_pending)) {
        QMutexLocker pendingLock(&pending->mutex);
        // One already open on this thread is closed by whoever quits; it answers then.
        if (pending->state == Pending::State::Posted) {
            pending->state = Pending::State::Abandoned;
            pending->changed.wakeAll();
        }
    }
}

bool BackgroundRun::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != m_window || !m_running)
        return QObject::eventFilter(watched, event);
    if (event->type() == QEvent::Close) {
        m_control->requestStop();
        m_closeAfterRun = true;
        event->ignore();
        return true;
    }
    // A dialog window would hide itself on Escape without a close event: take it as "取消".
    if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
        m_control->requestStop();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

} // namespace korvane::platform
