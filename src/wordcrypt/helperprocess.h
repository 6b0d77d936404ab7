#pragma once

#include "platform/status.h"
#include "platform/uniquefd.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QString>
#include <QStringList>
#include <functional>
#include <sys/types.h>

namespace korvane::wordcrypt {

/// The conversation with one korvane-unohelper process, and through it with one office. Plain
/// POSIX (spawn, socket, poll), so it belongs to no thread.
class HelperProcess {
public:
    /// What follows the helper's "ok" or "started".
    struct Answer {
        QStringList fields;
        bool started = false; ///< the office process exists; the outcome of "start" follows
    };
    /// The answer, or a failure that carries the error code (failureCode()) and its text.
    using Reply = platform::Result<Answer>;
    /// The codes of failures found on this side of the socket (the helper's own are in the
    /// protocol header).
    static constexpr char kGone[] = "gone";
    static constexpr char kStopped[] = "stopped";

    /// `stopRequested` is polled while waiting for a reply.
    HelperProcess(QString program, int startLimitMs, std::function<bool()> stopRequested);
    ~HelperProcess();
    HelperProcess(const HelperProcess&) = delete;
    HelperProcess& operator=(const HelperProcess&) = delete;

    /// Starts the helper and the office. A failure of kind NotFound when LibreOffice is not
    /// there at all.
    platform::Status start(const QString& office);
    bool alive();
    const QString& profile() const { return m_profile; }
    /// Sends one command line and reads its reply, within `limitMs`.
    Reply call(const QByteArray& line, int limitMs);
    /// Reads one reply line. Kills helper and office when none comes in time or when the run
    /// is asked to stop meanwhile.
    Reply read(QDeadlineTimer deadline);
    /// Asks the helper to stop the office; kills both when they do not end in time.
    void shutDown();
    /// Ends helper and office at once, and removes the office's profile.
    void kill();

    /// A failure made on this side: the helper is gone, `text` says why.
    static platform::Status gone(const QString& text);

private:
    bool spawn(const QString& office, const platform::UniqueFd& theirs);
    Reply parse(const QByteArray& line);

    QString m_program;
    int m_startLimitMs;
    std::function<bool()> m_stopRequested;
    pid_t m_pid = -1;
    platform::UniqueFd m_socket;
    int m_exitCode = 0;
    QByteArray m_buffer;
    int m_officeGroup = 0;
    QString m_profile;
};

/// A failure with `code` (kGone, kStopped or one of the helper's) and the text that came with it.
platform::Status helperFailure(const QString& code, const QString& text);
/// The code of a failure made by helperFailure(); the helper's codes this side does not know
/// read as the protocol's error.
QString failureCode(const platform::Status& failure);
/// The failure's text as it came, "" when none came.
inline const QString& failureText(const platform::Status& failure)
{
    return failure.givenMessage();
}
inline bool hasCode(const platform::Status& failure, const char* code)
{
    return failureCode(failure) == QLatin1String(code);
}

/// Whether the failure says the office (or the helper) died during the call.
bool isDeath(const platform::Status& failure);

} // namespace korvane::wordcrypt
