#include "platform/widgets/backgroundrun.h"

#include "platform/messageboxes.h"
#include "platform/widgets/runprogressdialog.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QScopeGuard>
#include <QThread>
#include <QTimer>
#include <exception>

namespace korvane::platform {

namespace {
QList<BackgroundRun*>& inFlight()
{
    static QList<BackgroundRun*> runs;
    return runs;
}
} // namespace

BackgroundRun::BackgroundRun(QWidget* window, MessageBoxes& messages)
    : QObject(window), m_window(window), m_messages(messages), m_ticker(new QTimer(this)),
      m_calls(new UiThreadCalls([this](const std::function<void()>& call) { interactAway(call); }, this))
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
    m_calls->abandon();
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
    m_calls->resume();

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
    m_calls->abandon();
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
    m_calls->run(call);
}

bool BackgroundRun::interact(const std::function<void()>& call)
{
    return m_calls->interact(call);
}

void BackgroundRun::interactAway(const std::function<void()>& call)
{
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
