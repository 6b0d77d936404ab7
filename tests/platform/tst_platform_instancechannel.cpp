// Handing a file to the running program: what one start sends, the running one receives whole.

#include "platform/instance/instancechannel.h"
#include "support/testmain.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <future>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using korvane::platform::InstanceChannel;

class TestInstanceChannel : public QObject {
    Q_OBJECT
private slots:
    void handsOverToTheListener()
    {
        QTemporaryDir dir;
        const QString name = dir.filePath(QStringLiteral("viewer"));
        InstanceChannel channel;
        QVERIFY(channel.listen(name));
        QSignalSpy received(&channel, &InstanceChannel::received);
        // Not UTF-8 (a GBK name) and a newline: the bytes arrive as they were.
        for (const QByteArray& path : {QByteArray("/tmp/\xcd\xbc\xd6\xbd.dwg"), QByteArray("/tmp/a\nb.dwg")}) {
            auto sent = std::async(std::launch::async, [&] { return InstanceChannel::handOver(name, path); });
            QTRY_COMPARE(sent.wait_for(std::chrono::seconds(0)), std::future_status::ready);
            QVERIFY(sent.get());
            QCOMPARE(received.takeFirst().value(0).toByteArray(), path);
        }
    }

    void nobodyListening()
    {
        QTemporaryDir dir;
        const QString name = dir.filePath(QStringLiteral("viewer"));
        QVERIFY(!InstanceChannel::handOver(name, "/tmp/a.dwg", 1000));
        // A socket file left by a program that died: not answered, and taken over by the next.
        {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            qstrncpy(address.sun_path, QFile::encodeName(name).constData(), sizeof address.sun_path);
            QVERIFY(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0);
            ::close(fd); // the file stays, nobody behind it
        }
        QVERIFY(QFile::exists(name));
        QVERIFY(!InstanceChannel::handOver(name, "/tmp/a.dwg", 1000));
        InstanceChannel channel;
        QVERIFY(channel.listen(name));
        // A live listener is not taken over.
        InstanceChannel second;
        QVERIFY(!second.listen(name));
    }

    void oversizedRequestIsRefused()
    {
        QTemporaryDir dir;
        const QString name = dir.filePath(QStringLiteral("viewer"));
        InstanceChannel channel;
        QVERIFY(channel.listen(name));
        QSignalSpy received(&channel, &InstanceChannel::received);
        auto sent = std::async(std::launch::async,
                               [&] { return InstanceChannel::handOver(name, QByteArray(70000, 'x'), 2000); });
        QTRY_COMPARE(sent.wait_for(std::chrono::seconds(0)), std::future_status::ready);
        QVERIFY(!sent.get());
        QCOMPARE(received.size(), 0);
    }
};

KORVANE_TEST_GUILESS_MAIN(TestInstanceChannel)
#include "tst_platform_instancechannel.moc"
