#include "platform/widgets/shutdown.h"

#include "platform/widgets/backgroundrun.h"
#include "platform/widgets/x11.h"

#include <QAbstractNativeEventFilter>
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
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <xcb/xcb.h>

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

/// Watches the X server's close requests for windows a modal window blocks.
class BlockedCloseFilter final : public QAbstractNativeEventFilter {
public:
    BlockedCloseFilter(xcb_connection_t* c)
        : m_protocols(internAtom(c, "WM_PROTOCOLS")), m_delete(internAtom(c, "WM_DELETE_WINDOW"))
    {}
    struct Watched {
        QPointer<QWidget> window;
        std::function<void()> close;
    };
    QList<Watched> watched;

    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override
    {
        if (type != "xcb_generic_event_t" || !QApplication::activeModalWidget())
            return false;
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        if ((event->response_type & 0x7f) != XCB_CLIENT_MESSAGE)
            return false;
        const auto* client = static_cast<const xcb_client_message_event_t*>(message);
        if (client->format != 32 || client->type != m_protocols || client->data.data32[0] != m_delete)
            return false;
        for (const Watched& w : std::as_const(watched)) {
            if (!w.window || !w.window->testAttribute(Qt::WA_WState_Created) ||
                xcb_window_t(w.window->winId()) != client->window || w.window == QApplication::activeModalWidget())
                continue;
            // Qt drops it after this filter; answered from the event loop, outside native dispatch.
            QTimer::singleShot(0, w.window, [close = w.close] { closeBehindBoxes(close); });
        }
        return false;
    }

private:
    xcb_atom_t m_protocols;
    xcb_atom_t m_delete;
};

} // namespace

void passBlockedCloses(QWidget* window, std::function<void()> close)
{
    static BlockedCloseFilter* filter = nullptr;
    if (!filter) {
        xcb_connection_t* c = x11Connection();
        if (!c)
            return; // no X server: no window manager to send such a close
        filter = new BlockedCloseFilter(c);
        qApp->installNativeEventFilter(filter);
    }
    filter->watched.append({window, std::move(close)});
}

void closeBehindBoxes(const std::function<void()>& close)
{
    // A box closed here returns from its handler's wait; the handler may show the next one.
    QList<QWidget*> closed;
    while (QWidget* modal = QApplication::activeModalWidget()) {
        if (closed.contains(modal) || !modal->close())
            break;
        closed.append(modal);
    }
    QTimer::singleShot(0, qApp, close);
}

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
