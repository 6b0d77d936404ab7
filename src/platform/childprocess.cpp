#include "platform/childprocess.h"

#include "platform/runcontrol.h"
#include "platform/uniquefd.h"

#include <QDeadlineTimer>
#include <QFile>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace korvane::platform {

namespace {

/// Appends `more` to `tail` and keeps only the last `limit` bytes (all of them for -1).
void appendTail(QByteArray& tail, const char* more, qsizetype size, qint64 limit)
{
    if (limit < 0) {
        tail.append(more, size);
        return;
    }
    if (size >= limit) {
        tail = QByteArray(more + size - limit, qsizetype(limit));
        return;
    }
    const qint64 excess = tail.size() + size - limit;
    if (excess > 0)
        tail.remove(0, qsizetype(excess));
    tail.append(more, size);
}

/// A reader that went away must fail our write, not end the process (as QProcess does it); the
/// child gets the default back.
void ignoreBrokenPipes()
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction current {};
        if (::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
            struct sigaction ignore {};
            ignore.sa_handler = SIG_IGN;
            sigemptyset(&ignore.sa_mask);
            ::sigaction(SIGPIPE, &ignore, nullptr);
        }
    });
}

/// Starts the program on the given standard input and output; its pid, or -1 with `error` set.
pid_t spawnChild(const QString& program, const QStringList& arguments, int in, int out, bool mergeErrors, int* error)
{
    std::vector<QByteArray> args{QFile::encodeName(program)};
    for (const QString& argument : arguments)
        args.push_back(QFile::encodeName(argument));
    std::vector<char*> argv;
    for (QByteArray& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    if (mergeErrors)
        posix_spawn_file_actions_adddup2(&actions, out, STDERR_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int rc = program.contains(QLatin1Char('/'))
                       ? ::posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ)
                       : ::posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        *error = rc;
        return -1;
    }
    return pid;
}

/// One started child: feeds its input, collects its output and waits for its end.
class ChildWait {
public:
    ChildWait(pid_t pid, UniqueFd output, UniqueFd input, const QByteArray& standardInput, qint64 keepOutput,
              RunOutcome& outcome)
        : m_pid(pid), m_output(std::move(output)), m_input(std::move(input)), m_pending(standardInput),
          m_keep(keepOutput), m_outcome(outcome)
    {
        ::fcntl(m_output.get(), F_SETFL, O_NONBLOCK);
        ::fcntl(m_input.get(), F_SETFL, O_NONBLOCK);
        if (m_pending.isEmpty())
            m_input.reset(); // the program reads the end of its input at once
    }

    void run(int timeoutMs)
    {
        const RunControl* control = RunControl::current();
        const int stopFd = control ? control->stopFd() : -1;
        // The process's own descriptor says when it has ended, whatever it does with its pipes.
        const UniqueFd exitFd(int(::syscall(SYS_pidfd_open, m_pid, 0)));
        const QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            if (control && control->stopRequested())
                return kill(true);
            const qint64 left = deadline.remainingTime(); // -1: no limit
            if (left == 0)
                return kill(false);
            // The process's end first, so that its revents are at a known place.
            pollfd fds[4] = {{exitFd.get(), POLLIN, 0}};
            nfds_t n = 1;
            for (const auto& [fd, events] :
                 {std::pair{stopFd, POLLIN}, std::pair{m_output.get(), POLLIN}, std::pair{m_input.get(), POLLOUT}}) {
                if (fd >= 0)
                    fds[n++] = {fd, short(events), 0};
            }
            if (::poll(fds, n, left < 0 ? -1 : int(std::min<qint64>(left, INT_MAX))) < 0 && errno != EINTR)
                return kill(false);
            readOutput();
            writeInput();
            // Without the process's descriptor (old kernels), the end of its output stands in.
            if (exitFd.valid() ? (fds[0].revents & POLLIN) != 0 : !m_output.valid())
                return reap();
        }
    }

private:
    /// Reads what the pipe holds now, up to 16 pipes' worth, so that a program that floods it
    /// still lets the wait look at its limit and a stop; closes it at its end.
    void readOutput()
    {
        char buffer[65536];
        for (int chunk = 0; chunk < 16 && m_output.valid(); ++chunk) {
            const ssize_t n = ::read(m_output.get(), buffer, sizeof buffer);
            if (n > 0)
                appendTail(m_outcome.output, buffer, qsizetype(n), m_keep);
            else if (n < 0 && errno == EAGAIN)
                return;
            else if (n == 0 || errno != EINTR)
                m_output.reset(); // its end, or a failure
        }
    }

    void writeInput()
    {
        while (m_input.valid() && m_written < m_pending.size()) {
            const ssize_t n =
                ::write(m_input.get(), m_pending.constData() + m_written, size_t(m_pending.size() - m_written));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN)
                return;
            if (n < 0) // the program closed its input: what it did not take is lost, as it is with any reader
                break;
            m_written += n;
        }
        m_input.reset();
    }

    void reap()
    {
        int status = 0;
        while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
        readOutput();
        m_outcome.finished = WIFEXITED(status);
        m_outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (!m_outcome.finished)
            m_outcome.status =
                Status::failure(ErrorKind::Failed, QStringLiteral("程序异常终止(信号 %1)").arg(WTERMSIG(status)));
    }

    void kill(bool stopped)
    {
        ::kill(m_pid, SIGKILL);
        while (::waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        readOutput(); // what it wrote before; a grandchild holding the pipe is not waited for
        m_outcome.stopped = stopped;
        m_outcome.timedOut = !stopped;
        m_outcome.status = stopped ? Status::failure(ErrorKind::Cancelled, QStringLiteral("操作已取消"))
                                   : Status::failure(ErrorKind::Failed, QStringLiteral("程序在限定时间内没有结束"));
    }

    pid_t m_pid;
    UniqueFd m_output;
    UniqueFd m_input;
    const QByteArray& m_pending;
    qsizetype m_written = 0;
    qint64 m_keep;
    RunOutcome& m_outcome;
};

} // namespace

RunOutcome runChildProcess(const QString& program, const QStringList& arguments, int timeoutMs,
                           const QByteArray& standardInput, qint64 keepOutput)
{
    RunOutcome outcome;
    ignoreBrokenPipes();
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) {
        outcome.status = Status::failure(ErrorKind::Failed, QString::fromLocal8Bit(std::strerror(errno)));
        return outcome;
    }
    UniqueFd inRead(in[0]), inWrite(in[1]);
    if (::pipe2(out, O_CLOEXEC) != 0) {
        outcome.status = Status::failure(ErrorKind::Failed, QString::fromLocal8Bit(std::strerror(errno)));
        return outcome;
    }
    UniqueFd outRead(out[0]), outWrite(out[1]);
    int error = 0;
    const pid_t pid = spawnChild(program, arguments, inRead.get(), outWrite.get(), keepOutput >= 0, &error);
    inRead.reset();
    outWrite.reset(); // the program's end closes the last writer
    if (pid < 0) {
        outcome.status = Status::failure(ErrorKind::Failed, QString::fromLocal8Bit(std::strerror(error)));
        return outcome;
    }
    outcome.started = true;
    ChildWait(pid, std::move(outRead), std::move(inWrite), standardInput, keepOutput, outcome).run(timeoutMs);
    return outcome;
}

} // namespace korvane::platform
