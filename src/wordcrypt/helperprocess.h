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
    struct Reply {
        bool ok = false;
        bool started = false; ///< the office process exists; the outcome of "start" follows
        QString code;         ///< error code when !ok
        QStringList fields;
        QString text; ///< error text when !ok
    };
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

    /// A reply made on this side: the helper is gone, `text` says why.
    static Reply gone(const QString& text);

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

/// Whether the reply says the office (or the helper) died during the call.
bool isDeath(const HelperProcess::Reply& r);

} // namespace korvane::wordcrypt
