// Handing a file to the running program: what one start sends, the running one receives whole.

#include "platform/instance/instancechannel.h"
#include "support/testmain.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <future>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using korvane::platform::InstanceChannel;

namespace {

/// A socket listening on `name`, or connected to it; -1 when that failed.
int unixSocket(const QString& name, bool listening)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    qstrncpy(address.sun_path, QFile::encodeName(name).constData(), sizeof address.sun_path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const auto* at = reinterpret_cast<const sockaddr*>(&address);
    const bool done = listening ? ::bind(fd, at, sizeof address) == 0 && ::listen(fd, 4) == 0
                                : ::connect(fd, at, sizeof address) == 0;
    return done ? fd : -1;
}

/// Runs `body` in a child as user nobody; its result is the child's exit code. Root only.
template <class Body> pid_t asNobody(Body body)
{
    const pid_t child = ::fork();
    if (child == 0) {
        ::signal(SIGPIPE, SIG_DFL); // a peer that hangs up ends the child quietly, not Qt Test's handler
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(99);
        ::_exit(body());
    }
    return child;
}

} // namespace

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

    // A shared folder (XDG_RUNTIME_DIR=/tmp, or /tmp itself) where another user got there first,
    // or could connect: neither end talks to the other user.
    void anotherUserIsNeverTalkedTo()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to run the other end as nobody");
        QTemporaryDir dir;
        QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 01777) == 0);
        const QString name = dir.filePath(QStringLiteral("viewer"));
        int ready[2];
        QVERIFY(::pipe(ready) == 0);
        const pid_t squatter = asNobody([&] { // bound first, answers "taken" to everything
            const int fd = unixSocket(name, true);
            if (fd < 0 || ::write(ready[1], "r", 1) != 1)
                return 1;
            for (char request[256];;) {
                const int client = ::accept(fd, nullptr, nullptr);
                (void)!::read(client, request, sizeof request);
                (void)!::send(client, "1", 1, MSG_NOSIGNAL); // a client gone first must not end it
                ::close(client);
            }
        });
        char byte = 0;
        QCOMPARE(::read(ready[0], &byte, 1), 1);
        const bool taken = InstanceChannel::handOver(name, "/root/secret.dwg", 2000);
        InstanceChannel held;
        const bool listened = held.listen(name);
        ::kill(squatter, SIGKILL);
        ::waitpid(squatter, nullptr, 0);
        QVERIFY(!taken && !listened); // neither talked to nor removed and listened over

        QVERIFY(QFile::remove(name));
        InstanceChannel channel;
        QVERIFY(channel.listen(name));
        QVERIFY(::chmod(QFile::encodeName(name).constData(), 0777) == 0); // as if the mode did not guard it
        QSignalSpy received(&channel, &InstanceChannel::received);
        const pid_t sender = asNobody([&] {
            const int fd = unixSocket(name, false);
            const char request[] = {0, 0, 0, 5, '/', 'a', '.', 'd', 'w'};
            char answer = 0;
            if (fd < 0 || ::write(fd, request, sizeof request) != sizeof request)
                return 2;
            return ::read(fd, &answer, 1) == 1 ? 0 : 1;
        });
        int status = 0;
        bool ended = false; // the condition is looked at more than once
        QTRY_VERIFY(ended || (ended = ::waitpid(sender, &status, WNOHANG) == sender));
        QCOMPARE(WEXITSTATUS(status), 1); // connected, refused unanswered
        QCOMPARE(received.size(), 0);
    }

    void defaultNameIsThisUsersAlone_data()
    {
        QTest::addColumn<int>("runtimeMode");  // 0: no runtime folder
        QTest::addColumn<int>("ownFolder");    // mode of a korvane-UID made before; -1 none, 0 a link
        QTest::addColumn<QString>("expected"); // the folder of the socket, "" none
        QTest::newRow("runtime folder") << 0700 << -1 << "runtime";
        QTest::newRow("shared runtime folder") << 01777 << -1 << "own";
        QTest::newRow("own folder made before") << 0 << 0700 << "own";
        QTest::newRow("own folder open to others") << 0 << 0755 << "";
        QTest::newRow("own folder is a link") << 0 << 0 << "";
    }
    void defaultNameIsThisUsersAlone()
    {
        QFETCH(int, runtimeMode);
        QFETCH(int, ownFolder);
        QFETCH(QString, expected);
        QTemporaryDir runtime, temp;
        const QString own = temp.filePath(QStringLiteral("korvane-%1").arg(::geteuid()));
        if (ownFolder > 0)
            QVERIFY(QDir().mkdir(own) && ::chmod(QFile::encodeName(own).constData(), mode_t(ownFolder)) == 0);
        else if (ownFolder == 0)
            QVERIFY(QFile::link(runtime.path(), own));
        QVERIFY(::chmod(QFile::encodeName(runtime.path()).constData(), mode_t(runtimeMode)) == 0);
        qputenv("XDG_RUNTIME_DIR", runtimeMode ? QFile::encodeName(runtime.path()) : QByteArray());
        qputenv("TMPDIR", QFile::encodeName(temp.path()));
        const auto name = InstanceChannel::defaultName();
        qunsetenv("TMPDIR");
        const QString folder = expected == QLatin1String("runtime") ? runtime.path() : own;
        QCOMPARE(name.ok() ? *name : QString(), expected.isEmpty() ? QString() : folder + "/korvane-viewer");
        struct stat info {};
        QVERIFY(ownFolder >= 0 || ::lstat(QFile::encodeName(own).constData(), &info) != 0 ||
                (info.st_mode & 0777) == 0700);
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
