#include "platform/webopener.h"

#include <QCoreApplication>
#include <QFile>
#include <QStandardPaths>
#include <QTimer>
#include <QUrl>

#include <cerrno>
#include <csignal>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace korvane::platform {

namespace {

/// The reasons xdg-open gives by its exit status.
Status openerFailure(int status)
{
    if (WIFSIGNALED(status))
        return Status::failure(ErrorKind::Failed, QStringLiteral("xdg-open 被中止 (信号 %1)").arg(WTERMSIG(status)));
    switch (WEXITSTATUS(status)) {
    case 3:
        return Status::failure(ErrorKind::NotFound, QStringLiteral("没有找到可以打开网页的浏览器 (xdg-open 退出码 3)"));
    case 4: return Status::failure(ErrorKind::Failed, QStringLiteral("浏览器未能打开网页 (xdg-open 退出码 4)"));
    default:
        return Status::failure(ErrorKind::Failed, QStringLiteral("xdg-open 出错 (退出码 %1)").arg(WEXITSTATUS(status)));
    }
}

/// Starts the opener in a session of its own with default signal handling, so that the browser
/// outlives us and a signal meant for us does not reach it.
Result<pid_t> spawnOpener(const QByteArray& program, const QByteArray& address)
{
    posix_spawnattr_t attributes;
    ::posix_spawnattr_init(&attributes);
    sigset_t none, reset;
    sigemptyset(&none);
    sigemptyset(&reset);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGCHLD})
        sigaddset(&reset, signal);
    ::posix_spawnattr_setsigmask(&attributes, &none);
    ::posix_spawnattr_setsigdefault(&attributes, &reset);
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    QByteArray programCopy = program, addressCopy = address;
    char* arguments[] = {programCopy.data(), addressCopy.data(), nullptr};
    pid_t pid = 0;
    const int error = ::posix_spawn(&pid, program.constData(), nullptr, &attributes, arguments, environ);
    ::posix_spawnattr_destroy(&attributes);
    if (error != 0)
        return Status::fromErrno(error);
    return pid;
}

constexpr std::chrono::milliseconds kWatchTick(50);

/// Reaps the opener whenever it ends, and answers once: at its end within the window, or at
/// the window's end.
void watch(pid_t pid, std::function<void(const Status&)> answer, std::chrono::milliseconds failureWindow)
{
    auto* timer = new QTimer(QCoreApplication::instance()); // gone at our end at the latest
    // The connection keeps this one functor: its captures are the watch's state.
    QObject::connect(timer, &QTimer::timeout, timer,
                     [timer, pid, answer = std::move(answer), left = failureWindow, answered = false]() mutable {
                         int status = 0;
                         const pid_t ended = ::waitpid(pid, &status, WNOHANG);
                         const bool gone = ended == pid || (ended < 0 && errno == ECHILD);
                         left -= kWatchTick;
                         if (!answered && (gone || left <= std::chrono::milliseconds::zero())) {
                             answered = true;
                             const bool failed = ended == pid && !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
                             answer(failed ? openerFailure(status) : Status::success());
                         }
                         if (gone)
                             timer->deleteLater();
                         else if (answered)
                             timer->setInterval(std::chrono::seconds(2)); // a browser in the foreground: reap it later
                     });
    timer->start(kWatchTick);
}

} // namespace

void openWebAddress(const QUrl& url, std::function<void(const Status&)> answer, std::chrono::milliseconds failureWindow)
{
    // QDesktopServices would do the same but, without xdg-utils or a browser, only print a
    // warning: the user would see a click do nothing.
    const QString opener = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (opener.isEmpty()) {
        answer(Status::failure(ErrorKind::NotFound, QStringLiteral("没有找到 xdg-open (请安装 xdg-utils)")));
        return;
    }
    const Result<pid_t> started = spawnOpener(QFile::encodeName(opener), url.toString(QUrl::FullyEncoded).toLatin1());
    if (!started) {
        answer(Status::failure(ErrorKind::Failed,
                               QStringLiteral("xdg-open 无法启动 (%1)").arg(started.status().message())));
        return;
    }
    watch(*started, std::move(answer), failureWindow);
}

} // namespace korvane::platform
