#include "platform/instance/instancechannel.h"

#include <QDataStream>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QtEndian>
#include <unistd.h>

namespace korvane::platform {

namespace {

constexpr quint32 kMaxPathBytes = 65536;
constexpr char kTaken = '1';

} // namespace

QString InstanceChannel::defaultName()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir(runtime).exists())
        return runtime + QStringLiteral("/korvane-viewer");
    return QDir::tempPath() + QStringLiteral("/korvane-viewer-%1").arg(::getuid());
}

bool InstanceChannel::handOver(const QString& name, const QByteArray& path, int timeoutMs)
{
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(timeoutMs))
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
        return false;
    QLocalServer::removeServer(name);
    return m_server->listen(name);
}

void InstanceChannel::accept()
{
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
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
