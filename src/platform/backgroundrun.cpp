#include "platform/backgroundrun.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDialog>
#include <QEventLoop>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <exception>

namespace korvane::platform {

/// The progress dialog of one run: what is done, the item in hand and "取消".
class RunProgressDialog final : public QDialog {
public:
    RunProgressDialog(QWidget* window, RunControl& control) : QDialog(window), m_control(control)
    {
        setObjectName(QStringLiteral("runProgress"));
        setWindowTitle(QStringLiteral("Korvane"));
        setWindowModality(Qt::WindowModal);
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
        if (s.total >= 0)
            line += QStringLiteral(" / ") + QString::number(s.total);
        m_line->setText(line + QStringLiteral(" 个"));
        m_current->setText(m_current->fontMetrics().elidedText(s.current, Qt::ElideMiddle, m_current->width()));
        if (s.total > 0) {
            // The bar counts in thousandths: totals beyond int range still fit.
            m_bar->setRange(0, 1000);
            m_bar->setValue(int(std::min<qint64>(s.done, s.total) * 1000 / s.total));
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

BackgroundRun::BackgroundRun(QWidget* window) : QObject(window), m_window(window)
{
    m_window->installEventFilter(this);
}

BackgroundRun::~BackgroundRun() = default;

bool BackgroundRun::run(const QString& action, const std::function<void(RunControl&)>& job)
{
    if (m_running)
        return false;
    m_running = true;
    m_stopped = false;
    m_closeAfterRun = false;
    m_action = action;
    m_control = std::make_unique<RunControl>();
    RunControl& control = *m_control;

    // Only the window's own controls: the dialog, made later, stays usable.
    m_disabled.clear();
    for (QWidget* child : m_window->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (child->isWindow() || !child->isEnabled())
            continue;
        child->setEnabled(false);
        m_disabled.append(child);
    }

    std::exception_ptr failure;
    QEventLoop loop;
    QThread* worker = QThread::create([&job, &control, &failure] {
        try {
            job(control);
        } catch (...) {
            failure = std::current_exception();
        }
    });
    connect(worker, &QThread::finished, &loop, &QEventLoop::quit, Qt::QueuedConnection);
    QTimer ticker;
    ticker.setInterval(100);
    connect(&ticker, &QTimer::timeout, this, &BackgroundRun::poll);
    m_elapsed.start();
    worker->start();
    ticker.start();
    if (!worker->isFinished())
        loop.exec();
    if (!worker->isFinished())
        control.requestStop(); // the application is quitting: every event loop was told to exit
    worker->wait();
    delete worker;
    ticker.stop();

    m_stopped = control.stopRequested();
    if (m_dialog)
        delete m_dialog.data();
    for (const QPointer<QWidget>& child : std::as_const(m_disabled)) {
        if (child)
            child->setEnabled(true);
    }
    m_disabled.clear();
    m_running = false;
    if (m_closeAfterRun) {
        // After the handler that started the run has returned, never under it.
        QTimer::singleShot(0, m_window, [window = m_window] { window->close(); });
    }
    if (failure)
        std::rethrow_exception(failure);
    return true;
}

void BackgroundRun::poll()
{
    if (!m_dialog && m_elapsed.elapsed() >= m_dialogDelay) {
        m_dialog = new RunProgressDialog(m_window, *m_control);
        m_dialog->refresh(m_action);
        m_dialog->show();
    }
    if (m_dialog)
        m_dialog->refresh(m_action);
}

void BackgroundRun::onUiThread(const std::function<void()>& call)
{
    if (QThread::currentThread() == thread())
        call();
    else
        QMetaObject::invokeMethod(this, call, Qt::BlockingQueuedConnection);
}

void UiThreadMessages::show(QWidget* parent, const QString& text, MessageIcon icon)
{
    if (QThread::currentThread() == thread())
        m_target.show(parent, text, icon);
    else
        QMetaObject::invokeMethod(
            this, [&] { m_target.show(parent, text, icon); }, Qt::BlockingQueuedConnection);
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
