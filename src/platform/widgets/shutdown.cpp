#include "platform/widgets/shutdown.h"

#include "platform/widgets/backgroundrun.h"

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QSocketNotifier>
#include <QTimer>
#include <QVBoxLayout>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace korvane::platform {

namespace {

bool s_quitting = false;

/// "正在停止…": no button, the runs are already told to stop.
QDialog* stoppingDialog(QWidget* owner)
{
    auto* dialog = new QDialog(owner);
    dialog->setObjectName(QStringLiteral("stoppingRuns"));
    dialog->setWindowTitle(QStringLiteral("Korvane"));
    dialog->setWindowModality(Qt::ApplicationModal);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    auto* label = new QLabel(QStringLiteral("正在停止…"), dialog);
    auto* bar = new QProgressBar(dialog);
    bar->setRange(0, 0);
    bar->setTextVisible(false);
    auto* layout = new QVBoxLayout(dialog);
    layout->addWidget(label);
    layout->addWidget(bar);
    return dialog;
}

/// A box or prompt a run asked for, or a window's message at the end of its run: the user is
/// leaving, nobody will answer it.
void closeOpenBoxes(const QDialog* keep)
{
    QWidget* modal = QApplication::activeModalWidget();
    if (modal && modal != keep && modal->objectName() != QLatin1String("runProgress"))
        modal->close();
}

int s_signalPipe[2] = {-1, -1};

void writeSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(s_signalPipe[1], &byte, 1);
    errno = saved;
}

} // namespace

bool quitting()
{
    return s_quitting;
}

void closeWindowsAndQuit()
{
    QApplication::closeAllWindows();
    QCoreApplication::exit(0);
}

void stopRunsThenQuit(QWidget* owner, std::function<void()> quit)
{
    if (s_quitting)
        return;
    const QList<BackgroundRun*> runs = BackgroundRun::runsInFlight();
    if (runs.isEmpty()) {
        quit();
        return;
    }
    s_quitting = true;
    for (BackgroundRun* run : runs)
        run->stopForQuit();

    auto* watch = new QTimer(qApp);
    auto* since = new QElapsedTimer;
    since->start();
    const qint64 limit = qint64(runs.size()) * kStopLimitPerRunMs;
    auto dialog = std::make_shared<QPointer<QDialog>>();
    watch->setInterval(50);
    QObject::connect(watch, &QTimer::timeout, watch, [=] {
        closeOpenBoxes(*dialog);
        if (!BackgroundRun::runsInFlight().isEmpty()) {
            if (since->elapsed() >= limit)
                ::_exit(1); // a run that ignores its stop must not keep the program alive
            if (!*dialog && since->elapsed() >= 400) {
                *dialog = stoppingDialog(owner);
                (*dialog)->show();
            }
            return;
        }
        watch->stop();
        watch->deleteLater();
        delete since;
        if (*dialog)
            delete dialog->data();
        s_quitting = false;
        quit();
    });
    watch->start();
}

void onQuitSignals(QObject* context, std::function<void()> handler)
{
    if (s_signalPipe[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, s_signalPipe) != 0)
        return;
    ::fcntl(s_signalPipe[1], F_SETFL, O_NONBLOCK);
    auto* notifier = new QSocketNotifier(s_signalPipe[0], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [handler = std::move(handler)] {
        char buffer[16];
        [[maybe_unused]] const ssize_t n = ::read(s_signalPipe[0], buffer, sizeof buffer);
        handler();
    });
    struct sigaction action = {};
    action.sa_handler = writeSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}

} // namespace korvane::platform
