// Finding the office, and the office's life tied to the helper's; no real office is started here.

#include "wordcrypt/libreofficeword.h"

#include "support/testmain.h"
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>

namespace {

/// Processes of process group `group` that still run (zombies do not count: in a container
/// nobody may reap the orphans).
int liveMembers(int group)
{
    int live = 0;
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList({QStringLiteral("[0-9]*")}, QDir::Dirs);
    for (const QString& pid : pids) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        // pid (comm) state ppid pgrp …; comm may hold spaces, so count from its closing bracket.
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 2 && fields[2].toInt() == group && fields[0] != "Z")
            ++live;
    }
    return live;
}

} // namespace

using namespace korvane;

class TestOfficeProcess : public QObject {
    Q_OBJECT
private slots:
    void officeIsFoundOnPath_data()
    {
        QTest::addColumn<QStringList>("onPath"); ///< programs placed in the PATH folders, "dir/name"
        QTest::addColumn<QString>("found");
        QTest::newRow("soffice first") << QStringList{"a/libreoffice", "b/soffice"} << "b/soffice";
        QTest::newRow("libreoffice alone") << QStringList{"b/libreoffice"} << "b/libreoffice";
        QTest::newRow("earlier folder wins") << QStringList{"a/soffice", "b/soffice"} << "a/soffice";
    }
    void officeIsFoundOnPath()
    {
        QFETCH(QStringList, onPath);
        QFETCH(QString, found);
        QTemporaryDir dir;
        QDir(dir.path()).mkpath(QStringLiteral("a"));
        QDir(dir.path()).mkpath(QStringLiteral("b"));
        for (const QString& p : onPath) {
            QFile f(dir.filePath(p));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("#!/bin/sh\n");
            f.close();
            QVERIFY(f.setPermissions(QFile::ReadOwner | QFile::ExeOwner));
        }
        const QByteArray path = qgetenv("PATH");
        const auto restore = qScopeGuard([&] { qputenv("PATH", path); });
        qputenv("PATH",
                QFile::encodeName(dir.filePath(QStringLiteral("a")) + u':' + dir.filePath(QStringLiteral("b"))));
        QCOMPARE(wordcrypt::LibreOfficeWord::findOffice(), QFileInfo(dir.filePath(found)).canonicalFilePath());
    }

    void officeEndsWithTheHelper_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("terminal hung up") << QStringLiteral("hang-up");
        QTest::newRow("helper terminated") << QStringLiteral("terminate");
        QTest::newRow("Korvane gone while the office starts") << QStringLiteral("gone");
    }
    void officeEndsWithTheHelper()
    {
#ifndef KORVANE_UNOHELPER
        QSKIP("korvane-unohelper is not built here");
#else
        QFETCH(QString, how);
        QProcess helper;
        helper.start(QStringLiteral(KORVANE_UNOHELPER), {QStringLiteral(KORVANE_FAKEOFFICE)});
        QVERIFY(helper.waitForStarted());
        helper.write("start\n");
        QVERIFY(helper.waitForReadyRead(10000));
        // The fake office never answers, so the helper stays in its connection attempt.
        const QList<QByteArray> started = helper.readLine().trimmed().split('\t');
        QCOMPARE(started.value(0), QByteArray("started"));
        const int group = started.value(1).toInt();
        const QString profile = QString::fromUtf8(started.value(2));
        QTRY_COMPARE(liveMembers(group), 2);
        QVERIFY(QFileInfo(profile).isDir());
        if (how == QLatin1String("hang-up"))
            ::kill(pid_t(helper.processId()), SIGHUP);
        else if (how == QLatin1String("terminate"))
            ::kill(pid_t(helper.processId()), SIGTERM);
        else
            helper.closeWriteChannel();
        QTRY_COMPARE_WITH_TIMEOUT(liveMembers(group), 0, 5000);
        QVERIFY(!QFileInfo::exists(profile));
        QTRY_COMPARE_WITH_TIMEOUT(helper.state(), QProcess::NotRunning, 5000);
#endif
    }
};

KORVANE_TEST_GUILESS_MAIN(TestOfficeProcess)
#include "tst_wordcrypt_officeprocess.moc"
