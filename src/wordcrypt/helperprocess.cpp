#include "wordcrypt/helperprocess.h"

#include "wordcrypt/officeprotocol.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <iterator>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace korvane::wordcrypt {

namespace protocol = officeprotocol;

namespace {

/// How often a wait for the helper looks at the stop request.
constexpr int kPollMs = 100;

int exitCode(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

HelperProcess::HelperProcess(QString program, int startLimitMs, std::function<bool()> stopRequested)
    : m_program(std::move(program)), m_startLimitMs(startLimitMs), m_stopRequested(std::move(stopRequested))
{}

HelperProcess::~HelperProcess()
{
    shutDown();
}

/// Spawns the helper with its stdin and stdout on `theirs`.
bool HelperProcess::spawn(const QString& office, const platform::UniqueFd& theirs)
{
    QByteArray programBytes = QFile::encodeName(m_program);
    QByteArray officeBytes = QFile::encodeName(office);
    std::vector<char*> argv = {programBytes.data()};
    if (!office.isEmpty())
        argv.push_back(officeBytes.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, theirs.get(), 0);
    posix_spawn_file_actions_adddup2(&actions, theirs.get(), 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const int spawned = ::posix_spawn(&m_pid, programBytes.constData(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        m_pid = -1;
    return spawned == 0;
}

platform::Status HelperProcess::start(const QString& office)
{
    using platform::ErrorKind;
    using platform::Status;
    if (m_program.isEmpty() || !QFileInfo(m_program).isExecutable())
        return Status::failure(ErrorKind::NotFound);
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return Status::failure(ErrorKind::Io, {}, errno);
    platform::UniqueFd ours(pair[0]);
    if (!spawn(office, platform::UniqueFd(pair[1]))) {
        // A helper that cannot run means its LibreOffice libraries are gone.
        return Status::failure(ErrorKind::NotFound);
    }
    m_socket = std::move(ours);
    Reply r = call(protocol::kStart, m_startLimitMs);
    if (r && r->started) {
        m_officeGroup = r->fields.value(0).toInt();
        m_profile = r->fields.value(1);
        r = read(QDeadlineTimer(m_startLimitMs));
        if (r && r->started)
            r = helperFailure(QLatin1String(protocol::kProtocol), {});
    }
    if (!r) {
        // Exit code 127: the loader could not find the LibreOffice libraries the helper uses.
        const bool missing = hasCode(r.status(), protocol::kNoOffice) || m_exitCode == 127;
        kill();
        return Status::failure(missing ? ErrorKind::NotFound : ErrorKind::Failed, failureText(r.status()));
    }
    m_officeGroup = r->fields.value(0).toInt();
    m_profile = r->fields.value(1);
    return {};
}

bool HelperProcess::alive()
{
    if (m_pid <= 0)
        return false;
    int status = 0;
    if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_exitCode = exitCode(status);
        m_pid = -1;
        return false;
    }
    return true;
}

HelperProcess::Reply HelperProcess::call(const QByteArray& line, int limitMs)
{
    if (!alive())
        return gone(QStringLiteral("LibreOffice 已退出"));
    const QByteArray bytes = line + '\n';
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::send(m_socket.get(), bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            kill();
            return gone(QStringLiteral("LibreOffice 意外退出"));
        }
        done += n;
    }
    Reply r = read(QDeadlineTimer(limitMs));
    // "started" answers only "start"; anywhere else the conversation has gone wrong.
    if (r && r->started && line != protocol::kStart)
        return helperFailure(QLatin1String(protocol::kProtocol), {});
    return r;
}

HelperProcess::Reply HelperProcess::read(QDeadlineTimer deadline)
{
    for (;;) {
        if (const qsizetype end = m_buffer.indexOf('\n'); end >= 0) {
            const QByteArray line = m_buffer.left(end);
            m_buffer.remove(0, end + 1);
            return parse(line);
        }
        if (m_stopRequested()) {
            kill();
            return helperFailure(QLatin1String(kStopped), QStringLiteral("已停止"));
        }
        if (deadline.hasExpired()) {
            kill();
            return gone(QStringLiteral("LibreOffice 在限定时间内没有响应，已被终止"));
        }
        pollfd p{m_socket.get(), POLLIN, 0};
        const int ready = ::poll(&p, 1, int(qMin<qint64>(kPollMs, qMax<qint64>(1, deadline.remainingTime()))));
        if (ready < 0 && errno != EINTR) {
            kill();
            return gone(QStringLiteral("LibreOffice 意外退出"));
        }
        if (ready <= 0) {
            // The socket may stay open in a child the helper left behind: watch the helper too.
            if (ready == 0 && !alive()) {
                kill();
                return gone(QStringLiteral("LibreOffice 意外退出"));
            }
            continue;
        }
        char chunk[4096];
        const ssize_t n = ::recv(m_socket.get(), chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            kill();
            return gone(QStringLiteral("LibreOffice 意外退出"));
        }
        m_buffer.append(chunk, n);
    }
}

void HelperProcess::shutDown()
{
    if (alive()) {
        call(protocol::kQuit, 20000);
        const QDeadlineTimer deadline(5000);
        while (alive() && !deadline.hasExpired())
            ::usleep(20000);
    }
    kill();
}

void HelperProcess::kill()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        int status = 0;
        if (::waitpid(m_pid, &status, 0) == m_pid)
            m_exitCode = exitCode(status);
        m_pid = -1;
    }
    if (m_officeGroup > 0)
        ::kill(-m_officeGroup, SIGKILL);
    m_officeGroup = 0;
    if (m_profile.startsWith(QLatin1String("/tmp/korvane-office-")))
        QDir(m_profile).removeRecursively();
    m_profile.clear();
    m_socket.reset();
    m_buffer.clear();
}

platform::Status HelperProcess::gone(const QString& text)
{
    return helperFailure(QLatin1String(kGone), text);
}

HelperProcess::Reply HelperProcess::parse(const QByteArray& line)
{
    const QList<QByteArray> parts = line.split(protocol::kSeparator);
    Answer answer;
    for (qsizetype i = 1; i < parts.size(); ++i)
        answer.fields << QString::fromUtf8(parts[i]);
    answer.started = parts.value(0) == protocol::kStarted;
    if (answer.started || parts.value(0) == protocol::kOk)
        return answer;
    const platform::Status failure = helperFailure(answer.fields.value(0), answer.fields.value(1));
    if (hasCode(failure, protocol::kCrashed))
        kill(); // the helper has ended the office; a new helper serves the next document
    return failure;
}

namespace {

/// Every code a failure can carry; its engine code is the place here plus one.
constexpr const char* kFailureCodes[] = {
    HelperProcess::kGone,   HelperProcess::kStopped,  protocol::kNoOffice, protocol::kStartFailed,
    protocol::kPassword,    protocol::kWrongPassword, protocol::kLocked,   protocol::kLoadFailed,
    protocol::kStoreFailed, protocol::kCloseFailed,   protocol::kProtocol, protocol::kCrashed,
};

} // namespace

platform::Status helperFailure(const QString& code, const QString& text)
{
    const auto* const known = std::find_if(std::begin(kFailureCodes), std::end(kFailureCodes),
                                           [&](const char* c) { return code == QLatin1String(c); });
    const char* const kept = known != std::end(kFailureCodes) ? *known : protocol::kProtocol;
    const auto place = std::find(std::begin(kFailureCodes), std::end(kFailureCodes), kept);
    return platform::Status::engineFailure(int(place - std::begin(kFailureCodes)) + 1, text);
}

QString failureCode(const platform::Status& failure)
{
    const int place = failure.engineCode() - 1;
    if (place < 0 || place >= int(std::size(kFailureCodes)))
        return {};
    return QLatin1String(kFailureCodes[place]);
}

bool isDeath(const platform::Status& failure)
{
    return hasCode(failure, protocol::kCrashed) ||
           (hasCode(failure, HelperProcess::kGone) && failureText(failure).contains(QStringLiteral("意外退出")));
}

} // namespace korvane::wordcrypt
