#include "platform/instance/instancechannel.h"

#include <QDataStream>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QtEndian>
#include <cerrno>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace korvane::platform {

namespace {

constexpr quint32 kMaxPathBytes = 65536;
constexpr char kTaken = '1';
const QString kSocketName = QStringLiteral("/korvane-viewer");

/// A folder nobody else can put a socket into or read one from: a real folder (not a link) of
/// this user's, mode 0700.
Status ownPrivateFolder(const QString& folder)
{
    struct stat info {};
    if (::lstat(QFile::encodeName(folder).constData(), &info) != 0)
        return Status::fromErrno(errno);
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() || (info.st_mode & 07777) != 0700)
        return Status::failure(ErrorKind::Failed, QStringLiteral("%1 不是本用户专用的文件夹").arg(folder));
    return {};
}

/// Whether the other end of a connected local socket runs as this user.
bool peerIsThisUser(qintptr descriptor)
{
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0)
        return false;
    return peer.uid == ::geteuid();
}

} // namespace

Result<QString> InstanceChannel::defaultName()
{
    // An ssh, su or cron session without logind has no runtime folder, or one that is shared
    // (`XDG_RUNTIME_DIR=/tmp`): another user could bind our name there first.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (runtime.startsWith(QLatin1Char('/')) && ownPrivateFolder(runtime))
        return runtime + kSocketName;
    const QString folder = QDir::tempPath() + QStringLiteral("/korvane-%1").arg(::geteuid());
    if (::mkdir(QFile::encodeName(folder).constData(), 0700) != 0 && errno != EEXIST)
        return Status::fromErrno(errno);
    if (const Status own = ownPrivateFolder(folder); !own)
        return own;
    return folder + kSocketName;
}

bool InstanceChannel::handOver(const QString& name, const QByteArray& path, int timeoutMs)
{
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(timeoutMs) || !peerIsThisUser(socket.socketDescriptor()))
        return false;
    QByteArray request;
    QDataStream out(&request, QIODevice::WriteOnly);
    out << path;
    socket.write(request);
    if (!socket.waitForBytesWritten(timeoutMs))
        return false;
    while (socket.bytesAvailable() < 1)
        if (!socket.waitForReadyRead(timeoutMs))
            return false;
    return socket.read(1) == QByteArray(1, kTaken);
}

InstanceChannel::InstanceChannel(QObject* parent) : QObject(parent), m_server(new QLocalServer(this))
{
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, &InstanceChannel::accept);
}

InstanceChannel::~InstanceChannel() = default;

bool InstanceChannel::listen(const QString& name)
{
    // Qt would put its socket over a live one's (it binds under a temporary name and renames it
    // into place): ask first. A socket file nobody answers on is what a program that died leaves.
    QLocalSocket probe;
    probe.connectToServer(name);
    if (probe.waitForConnected(1000))
        return false; // ours, or another user's we must not remove
    QLocalServer::removeServer(name);
    return m_server->listen(name);
}

void InstanceChannel::accept()
{
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        if (!peerIsThisUser(socket->socketDescriptor())) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            // The request is a QDataStream byte array: a big-endian 32-bit size, then the bytes.
            const QByteArray head = socket->peek(4);
            if (head.size() < 4)
                return;
            if (qFromBigEndian<quint32>(head.constData()) > kMaxPathBytes) {
                socket->abort();
                return;
            }
            QDataStream in(socket);
            in.startTransaction();
            QByteArray path;
            in >> path;
            if (!in.commitTransaction())
                return; // more to come
            emit received(path);
            socket->write(QByteArray(1, kTaken));
            socket->flush();
        });
    }
}

} // namespace korvane::platform
