#pragma once

#include "platform/status.h"

#include <QByteArray>
#include <QObject>
#include <QString>

class QLocalServer;

namespace korvane::platform {

/// Hands files to an already running Korvane: the file manager starts `korvane --view-dwg FILE`
/// once per file, and each should open in the running program's viewer rather than start another
/// copy. A local socket per user (`$XDG_RUNTIME_DIR/korvane-viewer`); each request is one raw
/// path (the kernel's bytes, so any name survives), answered with one byte once it was taken.
/// Both ends check that the other runs as the same user (`SO_PEERCRED`): a socket that another
/// user bound first, or a connection from another user, is never talked to.
class InstanceChannel : public QObject {
    Q_OBJECT
public:
    /// The socket's path for this user: in `$XDG_RUNTIME_DIR` when that is a runtime folder as
    /// it should be (this user's, mode 0700, not a link), else in `korvane-UID` in the temporary
    /// folder, made 0700 and checked the same way. A failure when neither is this user's alone:
    /// then no running Korvane can be reached safely, and the caller neither hands over nor
    /// listens.
    static Result<QString> defaultName();

    /// Hands `path` to the program listening on `name`. False when nobody listens (or answers
    /// within `timeoutMs`) or the listener runs as another user: then the caller opens it
    /// itself. Blocking; any thread.
    static bool handOver(const QString& name, const QByteArray& path, int timeoutMs = 5000);

    explicit InstanceChannel(QObject* parent = nullptr);
    ~InstanceChannel() override;

    /// Listens on `name`. A socket file left by a program that died is replaced; one with a
    /// live listener is not (false). Connections from another user are dropped unread.
    bool listen(const QString& name);

signals:
    /// A path handed over by another start; emitted before the sender gets its answer.
    void received(const QByteArray& path);

private:
    void accept();
    QLocalServer* m_server;
};

} // namespace korvane::platform
