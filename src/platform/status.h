#pragma once

#include <QString>
#include <QtGlobal>
#include <optional>
#include <utility>

namespace korvane::platform {

/// What kind of failure a call met: what callers branch on. The words for the user are in
/// Status::message().
enum class ErrorKind {
    None,
    NotFound,      ///< the file, folder or program does not exist
    AlreadyExists, ///< move onto an existing name, or copy without overwrite
    ReadOnly,      ///< plain delete of a file whose write bits are all clear
    SameFile,      ///< copy or move of a file onto itself
    NotAFolder,
    Cancelled, ///< the user, or a stop of the run, ended the call
    Injected,  ///< a failure scripted by a test
    Io,        ///< any other system error; see errnum
    Failed,    ///< a program or application reported the failure in its own words
};

/// The outcome of one platform call: success, or the kind of failure, the errno where the
/// kernel gave one, and a message for the user.
class Status {
public:
    Status() = default;
    static Status success() { return {}; }
    /// The kind the errno stands for (0 is success).
    static Status fromErrno(int errnum);
    /// A failure; `message` replaces the text message() would derive from the kind and errno.
    static Status failure(ErrorKind kind, QString message = {}, int errnum = 0)
    {
        Q_ASSERT(kind != ErrorKind::None);
        Status status;
        status.m_kind = kind;
        status.m_errnum = errnum;
        status.m_message = std::move(message);
        return status;
    }
    /// A failure an engine (SQLite, a helper program) reported with its own result code.
    static Status engineFailure(int code, QString message)
    {
        Status status = failure(ErrorKind::Failed, std::move(message));
        status.m_engineCode = code;
        return status;
    }

    bool ok() const { return m_kind == ErrorKind::None; }
    explicit operator bool() const { return ok(); }
    ErrorKind kind() const { return m_kind; }
    int errnum() const { return m_errnum; }
    /// The engine's own code of an engineFailure(); 0 for any other status.
    int engineCode() const { return m_engineCode; }
    /// For the user: the message the failure was given, else a text for its kind and errno.
    QString message() const;
    /// The message the failure was given, "" when it was given none.
    const QString& givenMessage() const { return m_message; }

private:
    ErrorKind m_kind = ErrorKind::None;
    int m_errnum = 0;
    int m_engineCode = 0;
    QString m_message;
};

/// A value, or the failure that stood in its way.
template <class T> class Result {
public:
    Result(T value) : m_value(std::move(value)) {}
    Result(Status failure) : m_status(std::move(failure)) { Q_ASSERT(!m_status.ok()); }

    bool ok() const { return m_value.has_value(); }
    explicit operator bool() const { return ok(); }
    const Status& status() const { return m_status; }

    /// Only on success.
    const T& value() const& { return *m_value; }
    T& value() & { return *m_value; }
    T&& value() && { return std::move(*m_value); }
    const T& operator*() const& { return *m_value; }
    T& operator*() & { return *m_value; }
    const T* operator->() const { return &*m_value; }
    T* operator->() { return &*m_value; }
    T valueOr(T fallback) const { return m_value ? *m_value : std::move(fallback); }

private:
    std::optional<T> m_value;
    Status m_status;
};

} // namespace korvane::platform
