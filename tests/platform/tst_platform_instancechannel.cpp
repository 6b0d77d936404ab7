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

sockaddr_un addressOf(const QString& name)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    qstrncpy(address.sun_path, QFile::encodeName(name).constData(), sizeof address.sun_path);
    return address;
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

int exitCodeOf(pid_t child)
{
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
        const pid_t squatter = asNobody([&] {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            const sockaddr_un address = addressOf(name);
            if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 4) != 0)
                return 1;
            (void)!::write(ready[1], "r", 1);
            for (char request[256];;) { // answers "taken" to everything
                const int client = ::accept(fd, nullptr, nullptr);
                (void)!::read(client, request, sizeof request);
                (void)!::write(client, "1", 1);
                ::close(client);
            }
        });
        char byte = 0;
        QCOMPARE(::read(ready[0], &byte, 1), 1);
        const bool taken = InstanceChannel::handOver(name, "/root/secret.dwg", 2000);
        InstanceChannel held;
        QVERIFY(!held.listen(name)); // neither removed nor listened over
        ::kill(squatter, SIGKILL);
        exitCodeOf(squatter);
        QVERIFY(!taken);

        QVERIFY(QFile::remove(name));
        InstanceChannel channel;
        QVERIFY(channel.listen(name));
        QVERIFY(::chmod(QFile::encodeName(name).constData(), 0777) == 0); // as if the mode did not guard it
        QSignalSpy received(&channel, &InstanceChannel::received);
        const pid_t sender = asNobody([&] {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            const sockaddr_un address = addressOf(name);
            const char request[] = {0, 0, 0, 5, '/', 'a', '.', 'd', 'w'};
            char answer = 0;
            if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
                return 2;
            (void)!::write(fd, request, sizeof request);
            return ::read(fd, &answer, 1) == 1 ? 0 : 1;
        });
        int status = 0;
        bool ended = false; // the condition is looked at more than once
        QTRY_VERIFY(ended || (ended = ::waitpid(sender, &status, WNOHANG) == sender));
        QCOMPARE(WEXITSTATUS(status), 1);
        QCOMPARE(received.size(), 0);
    }

    void defaultNameIsThisUsersAlone_data()
    {
        QTest::addColumn<int>("runtimeMode");
        QTest::addColumn<int>("ownFolderMode"); // -1: none yet, 0: a link in its place
        QTest::addColumn<bool>("inRuntime");
        QTest::addColumn<bool>("found");
        QTest::newRow("runtime folder") << 0700 << -1 << true << true;
        QTest::newRow("shared runtime folder") << 01777 << -1 << false << true;
        QTest::newRow("own folder made before") << 0 << 0700 << false << true;
        QTest::newRow("own folder open to others") << 0 << 0755 << false << false;
        QTest::newRow("own folder is a link") << 0 << 0 << false << false;
    }
    void defaultNameIsThisUsersAlone()
    {
        QFETCH(int, runtimeMode);
        QFETCH(int, ownFolderMode);
        QFETCH(bool, inRuntime);
        QFETCH(bool, found);
        QTemporaryDir runtime, temp;
        const QString own = temp.filePath(QStringLiteral("korvane-%1").arg(::geteuid()));
        if (ownFolderMode > 0)
            QVERIFY(QDir().mkdir(own) && ::chmod(QFile::encodeName(own).constData(), ownFolderMode) == 0);
        else if (ownFolderMode == 0)
            QVERIFY(QFile::link(runtime.path(), own));
        QVERIFY(::chmod(QFile::encodeName(runtime.path()).constData(), runtimeMode) == 0);
        qputenv("XDG_RUNTIME_DIR", runtimeMode ? QFile::encodeName(runtime.path()) : QByteArray());
        qputenv("TMPDIR", QFile::encodeName(temp.path()));
        const auto name = InstanceChannel::defaultName();
        qunsetenv("TMPDIR");
        QCOMPARE(name.ok(), found);
        if (!name)
            return;
        QCOMPARE(*name, (inRuntime ? runtime.path() : own) + QStringLiteral("/korvane-viewer"));
        struct stat info {};
        QVERIFY(::lstat(QFile::encodeName(own).constData(), &info) != 0 || (info.st_mode & 0777) == 0700);
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
