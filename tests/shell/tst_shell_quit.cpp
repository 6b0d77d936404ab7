// The program ended during a copy of a large file, by 退出, by the main window's close box and by
// SIGTERM: the copy in hand is stopped and undone, nothing is left in the target, the source is
// untouched and the process is gone within seconds.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "support/testmain.h"
#include "support/testtree.h"
#include <csignal>

namespace {

constexpr qint64 kBigFile = qint64(2) << 30; // takes well over a second to copy

} // namespace

class TestQuit : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void endsDuringACopyLeavingNothing_data();
    void endsDuringACopyLeavingNothing();

private:
    QTemporaryDir m_dir;
    QString m_source;
    QByteArray m_head; ///< the source's first and last MiB, to tell it is intact
};

void TestQuit::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_source = m_dir.filePath(QStringLiteral("源 folder"));
    QVERIFY(QDir().mkpath(m_source));
    QFile big(m_source + QStringLiteral("/big.dat"));
    QVERIFY(big.open(QIODevice::WriteOnly));
    QByteArray block(1 << 20, '\0');
    for (qint64 written = 0; written < kBigFile; written += block.size()) {
        for (int i = 0; i < block.size(); i += 4096)
            block[i] = char(written >> 20); // no two MiB alike
        QCOMPARE(big.write(block), qint64(block.size()));
    }
    big.close();
    QVERIFY(big.open(QIODevice::ReadOnly));
    m_head = big.read(1 << 20);
    big.seek(kBigFile - (1 << 20));
    m_head += big.read(1 << 20);
}

void TestQuit::endsDuringACopyLeavingNothing_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("退出") << QStringLiteral("exit");
    QTest::newRow("close box") << QStringLiteral("close");
    QTest::newRow("SIGTERM") << QStringLiteral("signal");
}

void TestQuit::endsDuringACopyLeavingNothing()
{
    QFETCH(QString, how);
    QTemporaryDir home;
    const QString target = m_dir.filePath(QStringLiteral("目标 ") + how);
    QVERIFY(QDir().mkpath(target));

    QProcess korvane;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral(".config")));
    env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(KORVANE_QUIT_DRIVER));
    env.insert(QStringLiteral("KORVANE_QUIT_SOURCE"), m_source);
    env.insert(QStringLiteral("KORVANE_QUIT_TARGET"), target);
    env.insert(QStringLiteral("KORVANE_QUIT_HOW"), how);
    korvane.setProcessEnvironment(env);
    korvane.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    korvane.start(QStringLiteral(KORVANE_BIN), {});
    QVERIFY(korvane.waitForStarted());

    QByteArray said;
    while (!said.contains("copying\n") && korvane.state() == QProcess::Running) {
        korvane.waitForReadyRead(100);
        said += korvane.readAllStandardOutput();
    }
    QVERIFY2(said.contains("copying\n"), said.constData());
    QElapsedTimer ending;
    ending.start();
    if (how == QLatin1String("signal"))
        ::kill(pid_t(korvane.processId()), SIGTERM);

    QVERIFY(korvane.waitForFinished(5000));
    QVERIFY2(ending.elapsed() < 5000, qPrintable(QString::number(ending.elapsed())));
    QCOMPARE(korvane.exitStatus(), QProcess::NormalExit);
    QCOMPARE(korvane.exitCode(), 0);

    // Stopped in hand: no copy under the final name, no temporary beside it.
    QCOMPARE(korvane::testsupport::namesIn(target), QStringList());
    QFile big(m_source + QStringLiteral("/big.dat"));
    QCOMPARE(big.size(), kBigFile);
    QVERIFY(big.open(QIODevice::ReadOnly));
    QByteArray head = big.read(1 << 20);
    big.seek(kBigFile - (1 << 20));
    head += big.read(1 << 20);
    QVERIFY(head == m_head);
}

KORVANE_TEST_GUILESS_MAIN(TestQuit)
#include "tst_shell_quit.moc"
