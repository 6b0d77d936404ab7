// The real office when things go wrong: crashes, locks, stops, huge or odd files, failed stores.

#include "officefixture.h"

#include "support/testmain.h"
#include <QtTest>

using namespace korvane;
using namespace korvane::testsupport;

class TestLibreOfficeFailures : public OfficeTestCase {
    Q_OBJECT

private slots:
    void officeKilledWhileOpening()
    {
        QTemporaryDir dir;
        const QString doc = sample(dir, QStringLiteral("one.doc"));
        const QString next = sample(dir, QStringLiteral("two.doc"));
        QVERIFY(run(doc, QStringLiteral("739")).ok());
        CrashingPrompt prompt; // kills the office just before the document is loaded
        prompt.answer = QStringLiteral("739");
        wordcrypt::LibreOfficeWord word(m_options, prompt);
        QString error;
        auto app = createApp(word, &error);
        QVERIFY2(app, qPrintable(error));
        ScriptedSink sink;
        sink.password = QStringLiteral("new");
        sink.writePassword = QStringLiteral("7591");
        app->setEvents(&sink);
        QVERIFY(app->open(QFile::encodeName(doc), false).ok());
        QVERIFY(prompt.killed > 0);
        QCOMPARE(sink.failures, QStringList());
        QVERIFY(wordcrypt::rc4PasswordMatches(bytesOf(doc), QStringLiteral("new")));
        // The restarted office serves the rest of the run.
        QVERIFY(app->open(QFile::encodeName(next), false).ok());
        QCOMPARE(sink.failures, QStringList());
        QVERIFY(wordcrypt::rc4PasswordMatches(bytesOf(next), QStringLiteral("new")));
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList({QStringLiteral("one.doc"), QStringLiteral("two.doc")}));
        QVERIFY(app->quit().ok());
    }

    void crashesAndLocksAreReportedAndTheRunGoesOn()
    {
        QTemporaryDir dir;
        const QString helper = fakeHelper(dir);
        const QString crash = sample(dir, QStringLiteral("one.doc"), QStringLiteral("crash.doc"));
        const QString stale = sample(dir, QStringLiteral("one.doc"), QStringLiteral("stale.doc"));
        const QString live = sample(dir, QStringLiteral("one.doc"), QStringLiteral("live.doc"));
        const auto lock = [&](const QString& name, const QByteArray& profile) {
            QFile f(dir.filePath(QStringLiteral(".~lock.") + name + u'#'));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(",root,host,08.12.2026 01:00," + profile + ";");
        };
        lock(QStringLiteral("stale.doc"), "file:///tmp/korvane-office-gone00");
        lock(QStringLiteral("live.doc"), "file:///home/someone/.config/libreoffice/4");
        const QByteArray crashBefore = bytesOf(crash);
        const QByteArray liveBefore = bytesOf(live);

        wordcrypt::LibreOfficeWord::Options options;
        options.helperProgram = helper;
        options.officeProgram = QStringLiteral("/bin/true");
        wordcrypt::LibreOfficeWord word(options, m_prompt);
        QString error;
        auto app = createApp(word, &error);
        QVERIFY2(app, qPrintable(error));
        ScriptedSink sink;
        app->setEvents(&sink);
        const auto starts = [&] { return bytesOf(helper + QStringLiteral(".starts")).size(); };

        // Restarted once for the document, which then is reported and skipped.
        Status r = app->open(QFile::encodeName(crash), false);
        QVERIFY(!r.ok() && !platform::retryHelps(r));
        QVERIFY2(r.message().startsWith(QStringLiteral("LibreOffice 在处理此文档时意外退出")), qPrintable(r.message()));
        QCOMPARE(starts(), 2);
        QCOMPARE(bytesOf(crash), crashBefore);

        // A lock left by a dead office of ours goes; the document is processed by a new office.
        r = app->open(QFile::encodeName(stale), false);
        QVERIFY(r.ok());
        QCOMPARE(sink.failures, QStringList());
        QCOMPARE(starts(), 3);
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral(".~lock.stale.doc#"))));

        // Someone else's lock is never touched.
        r = app->open(QFile::encodeName(live), false);
        QVERIFY(!r.ok() && !platform::retryHelps(r));
        QCOMPARE(r.message(), QStringLiteral("文档正被其他程序打开，文档未作改动"));
        QVERIFY(QFile::exists(dir.filePath(QStringLiteral(".~lock.live.doc#"))));
        QCOMPARE(bytesOf(live), liveBefore);
        app->quit();
    }

    void hugeFilesAreRefusedWithinAMemoryLimit()
    {
        if (qEnvironmentVariableIsSet(kChildEnv)) {
            // Child, under an address-space limit smaller than either file.
            QTemporaryDir dir;
            wordcrypt::LibreOfficeWord::Options options;
            options.helperProgram = fakeHelper(dir);
            options.officeProgram = QStringLiteral("/bin/true");
            wordcrypt::LibreOfficeWord word(options, m_prompt);
            QString error;
            auto app = createApp(word, &error);
            QVERIFY2(app, qPrintable(error));
            const QStringList files = qEnvironmentVariable(kChildEnv).split(u'|');
            const Status over = app->open(QFile::encodeName(files.at(0)), false);
            QVERIFY(!over.ok() && !platform::retryHelps(over));
            QVERIFY2(over.message().contains(QStringLiteral("512 MB")), qPrintable(over.message()));
            const Status hollow = app->open(QFile::encodeName(files.at(1)), false);
            QVERIFY(!hollow.ok() && !platform::retryHelps(hollow));
            QVERIFY2(hollow.message().contains(QStringLiteral("不是有效的 Word 97-2003 文档")),
                     qPrintable(hollow.message()));
            app->quit();
            return;
        }
#ifdef __SANITIZE_ADDRESS__
        QSKIP("the sanitizer's shadow memory does not fit under an address-space limit");
#endif
        if (QStandardPaths::findExecutable(QStringLiteral("prlimit")).isEmpty())
            QSKIP("needs prlimit");
        QTemporaryDir dir;
        const auto sparse = [&](const QString& name, qint64 size) {
            QFile f(dir.filePath(name));
            if (!f.open(QIODevice::WriteOnly) || f.write(QByteArray::fromHex("D0CF11E0A1B11AE1")) != 8 ||
                !f.resize(size))
                return QString();
            return f.fileName();
        };
        const QString over = sparse(QStringLiteral("over.doc"), 3ll << 30);
        const QString hollow = sparse(QStringLiteral("hollow.doc"), 500ll << 20);
        QVERIFY(!over.isEmpty() && !hollow.isEmpty());
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QString::fromLatin1(kChildEnv), over + u'|' + hollow);
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(QStringLiteral("prlimit"),
                    {QStringLiteral("--as=%1").arg(400ll << 20), QStringLiteral("--"),
                     QCoreApplication::applicationFilePath(), QStringLiteral("hugeFilesAreRefusedWithinAMemoryLimit")});
        QVERIFY(child.waitForFinished(120000));
        const QByteArray output = child.readAll();
        QVERIFY2(child.exitCode() == 0 &&
                     output.contains("PASS   : TestLibreOfficeFailures::hugeFilesAreRefusedWithinAMemoryLimit"),
                 output.constData());
    }

    void stopOnAWorkerThreadEndsTheOffice()
    {
        // The whole run on a worker thread, as the window's run does; the stop request arrives
        // while the office is about to load the document.
        QTemporaryDir dir;
        const QString doc = sample(dir, QStringLiteral("one.doc"));
        QVERIFY(run(doc, QStringLiteral("739")).ok());
        const QByteArray bytes = bytesOf(doc);
        platform::RunControl control;
        StoppingPrompt prompt;
        prompt.control = &control;
        wordcrypt::LibreOfficeWord word(m_options, prompt);
        word.setRunControl(&control);
        ScriptedSink sink;
        sink.password = QStringLiteral("new");
        Status first, second;
        const QSet<int> before = ourOffices();
        std::shared_ptr<platform::WordApplication> app;
        std::thread worker([&] {
            QString error;
            app = createApp(word, &error);
            if (!app)
                return;
            app->setEvents(&sink);
            first = app->open(QFile::encodeName(doc), false);
            second = app->open(QFile::encodeName(doc), false);
        });
        worker.join();
        QVERIFY(app);
        QTRY_COMPARE(ourOffices(), before); // the office went with the stop, before any quit
        app->quit();
        QVERIFY2(!first.ok() && !platform::retryHelps(first), qPrintable(first.message()));
        QCOMPARE(first.message(), QStringLiteral("运行已停止，文档未作改动"));
        QVERIFY(!second.ok() && !platform::retryHelps(second)); // nothing starts again after a stop
        QCOMPARE(sink.opened, 0);
        QCOMPARE(bytesOf(doc), bytes);
        QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{QStringLiteral("one.doc")});
    }

    void stopEndsAWaitThatWouldTakeMinutes()
    {
        // A store that never answers: the stop, not the call limit, ends the wait.
        QTemporaryDir dir;
        const QString doc = sample(dir, QStringLiteral("one.doc"), QStringLiteral("hang.doc"));
        const QByteArray before = bytesOf(doc);
        wordcrypt::LibreOfficeWord::Options options;
        options.helperProgram = fakeHelper(dir);
        options.officeProgram = QStringLiteral("/bin/true");
        options.callLimitMs = 600000;
        wordcrypt::LibreOfficeWord word(options, m_prompt);
        platform::RunControl control;
        word.setRunControl(&control);
        QString error;
        auto app = createApp(word, &error);
        QVERIFY2(app, qPrintable(error));
        ScriptedSink sink;
        sink.password = QStringLiteral("739");
        std::thread stopper;
        sink.onSave = [&] {
            stopper = std::thread([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                control.requestStop();
            });
        };
        app->setEvents(&sink);
        QVERIFY(app->open(QFile::encodeName(doc), false).ok());
        stopper.join();
        QCOMPARE(sink.failures.filter(QStringLiteral("Save:")),
                 QStringList{QStringLiteral("Save:运行已停止，文档未作改动")});
        QCOMPARE(bytesOf(doc), before);
        app->quit();
    }

    void othersAreLeftUntouched_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("text file named .doc") << QStringLiteral("text");
        QTest::newRow("empty file") << QStringLiteral("empty");
        QTest::newRow("renamed .docx") << QStringLiteral("docx");
        QTest::newRow("mode 0444") << QStringLiteral("readonly");
        QTest::newRow("locked by another office") << QStringLiteral("locked");
    }
    void othersAreLeftUntouched()
    {
        QFETCH(QString, kind);
        QTemporaryDir dir;
        QString doc = dir.filePath(QStringLiteral("x.doc"));
        if (kind == QLatin1String("text")) {
            QFile f(doc);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("plain text, not a document\n");
        } else if (kind == QLatin1String("empty")) {
            QFile f(doc);
            QVERIFY(f.open(QIODevice::WriteOnly));
        } else if (kind == QLatin1String("docx")) {
            sample(dir, QStringLiteral("one.docx"), QStringLiteral("x.doc"));
        } else {
            sample(dir, QStringLiteral("one.doc"), QStringLiteral("x.doc"));
            if (kind == QLatin1String("readonly")) {
                QVERIFY(QFile::setPermissions(doc, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
            } else {
                QFile lock(dir.filePath(QStringLiteral(".~lock.x.doc#")));
                QVERIFY(lock.open(QIODevice::WriteOnly));
                lock.write(",someone,otherhost,08.12.2026 01:00,file:///home/someone/.config/libreoffice/4;");
            }
        }
        const QByteArray before = bytesOf(doc);
        const Status r = run(doc, QStringLiteral("739"));
        // Either the office refuses to open it, or saving refuses: never a replaced file.
        QVERIFY(!r.ok() || m_sink.failures.filter(QStringLiteral("Save:")).size() == 1);
        QCOMPARE(bytesOf(doc), before);
        const QStringList left = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden);
        QVERIFY2(left.filter(QStringLiteral(".bak")).isEmpty(),
                 qPrintable(left.join(u' '))); // no backup left behind
    }

    void missingFileFailsWithoutRetry()
    {
        QTemporaryDir dir;
        const int openedBefore = m_sink.opened;
        const Status r = run(dir.filePath(QStringLiteral("none.doc")), QStringLiteral("x"));
        QVERIFY(!r.ok());
        QVERIFY(!platform::retryHelps(r));
        QCOMPARE(m_sink.opened, openedBefore); // no event for a document that never opened
    }

    void readOnlyForAnotherUser()
    {
        if (qEnvironmentVariableIsSet(kChildEnv)) {
            // Child, running as nobody: the document belongs to root.
            const QString doc = qEnvironmentVariable(kChildEnv);
            QString error;
            m_app = createApp(*m_word, &error);
            QVERIFY2(m_app, qPrintable(error));
            m_app->setEvents(&m_sink);
            const QByteArray before = bytesOf(doc);
            const Status r = run(doc, QStringLiteral("739"));
            QVERIFY(!r.ok() || m_sink.failures.filter(QStringLiteral("Save:")).size() == 1);
            QCOMPARE(bytesOf(doc), before);
            return;
        }
        if (::getuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
            QSKIP("needs root and setpriv to run a part as nobody");
        QTemporaryDir dir;
        QVERIFY(QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                                      QFile::ReadOther | QFile::ExeOther | QFile::ReadGroup |
                                                      QFile::ExeGroup));
        const QString doc = sample(dir, QStringLiteral("one.doc"));
        const QByteArray before = bytesOf(doc);
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QString::fromLatin1(kChildEnv), doc);
        env.insert(QStringLiteral("HOME"), QStringLiteral("/tmp"));
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(QStringLiteral("setpriv"),
                    {QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                     QStringLiteral("--clear-groups"), QStringLiteral("--"), QCoreApplication::applicationFilePath(),
                     QStringLiteral("readOnlyForAnotherUser")});
        QVERIFY(child.waitForFinished(180000));
        const QByteArray output = child.readAll();
        QVERIFY2(child.exitCode() == 0 && output.contains("PASS   : TestLibreOfficeFailures::readOnlyForAnotherUser"),
                 output.constData());
        QCOMPARE(bytesOf(doc), before);
    }

    void failedStoresAreUndone_data()
    {
        QTest::addColumn<QString>("store"); ///< what the scripted helper does on "store"
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("outcome");
        QTest::newRow("garbage written") << QStringLiteral("garbage") << QStringLiteral("不是有效的 Word 97-2003 文档")
                                         << QStringLiteral("文档未作改动");
        QTest::newRow("stored without the password")
            << QStringLiteral("plain") << QStringLiteral("未按所给密码加密") << QStringLiteral("文档未作改动");
        QTest::newRow("refused as read-only")
            << QStringLiteral("refuse") << QStringLiteral("文档只读或已被锁定") << QStringLiteral("文档未作改动");
        QTest::newRow("office dies mid-write")
            << QStringLiteral("die") << QStringLiteral("意外退出") << QStringLiteral("文档未作改动");
        QTest::newRow("helper dies while connecting") << QStringLiteral("diestart") << QString() << QString();
        QTest::newRow("office hangs") << QStringLiteral("hang") << QStringLiteral("没有响应")
                                      << QStringLiteral("文档未作改动");
    }
    void failedStoresAreUndone()
    {
        QFETCH(QString, store);
        QFETCH(QString, reason);
        QFETCH(QString, outcome);
        // A helper of our own stands in for the office, to make the store go wrong on purpose.
        QTemporaryDir dir;
        const QString helper = dir.filePath(QStringLiteral("fakehelper"));
        QVERIFY(writeFakeHelper(helper));

        const QString doc = sample(dir, QStringLiteral("one.doc"));
        const QByteArray before = bytesOf(doc);
        wordcrypt::LibreOfficeWord::Options options;
        options.helperProgram = helper;
        options.officeProgram = store; // handed to the helper as its first argument
        options.callLimitMs = 3000;
        wordcrypt::LibreOfficeWord word(options, m_prompt);
        QString error;
        auto app = createApp(word, &error);
        if (store == QLatin1String("diestart")) {
            // The helper died while connecting: the office it had started goes too.
            QVERIFY(!app);
            QVERIFY2(error.contains(QStringLiteral("意外退出")), qPrintable(error));
            const QByteArray pid = bytesOf(helper + QStringLiteral(".pid"));
            QVERIFY(!pid.isEmpty());
            const QString statPath = QStringLiteral("/proc/%1/stat").arg(QString::fromLatin1(pid));
            const auto gone = [&statPath] {
                QFile stat(statPath); // opened afresh at every look
                return !stat.exists() || (stat.open(QIODevice::ReadOnly) && stat.readAll().contains(") Z "));
            };
            QTRY_VERIFY(gone());
            return;
        }
        QVERIFY2(app, qPrintable(error));
        ScriptedSink sink;
        sink.password = QStringLiteral("739");
        app->setEvents(&sink);
        app->open(QFile::encodeName(doc), false);
        const QStringList saves = sink.failures.filter(QStringLiteral("Save:"));
        QCOMPARE(saves.size(), 1);
        QVERIFY2(saves.first().contains(reason) && saves.first().contains(outcome), qPrintable(saves.first()));
        QCOMPARE(bytesOf(doc), before);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).filter(QStringLiteral(".bak")), QStringList());
        app->quit();
    }

    void documentIsLookedAtThroughTheFileSystem_data()
    {
        QTest::addColumn<int>("op"); ///< the FaultyFileSystem operation that fails on the document
        QTest::addColumn<QString>("reason");
        QTest::newRow("signature unreadable")
            << int(platform::FaultyFileSystem::Op::ReadFile) << QStringLiteral("不是 Word 97-2003 格式的文件");
        QTest::newRow("no file information") << int(platform::FaultyFileSystem::Op::Info) << QStringLiteral("不是文件");
    }
    void documentIsLookedAtThroughTheFileSystem()
    {
        QFETCH(int, op);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        const QString helper = dir.filePath(QStringLiteral("fakehelper"));
        QVERIFY(writeFakeHelper(helper));
        const QString doc = sample(dir, QStringLiteral("one.doc"));
        const QByteArray before = bytesOf(doc);
        platform::FaultyFileSystem fs;
        const auto failing = platform::FaultyFileSystem::Op(op);
        fs.failOn(failing, QFile::encodeName(QFileInfo(doc).canonicalFilePath()));
        wordcrypt::LibreOfficeWord::Options options;
        options.helperProgram = helper;
        options.officeProgram = QStringLiteral("plain");
        options.callLimitMs = 3000;
        options.fileSystem = &fs;
        wordcrypt::LibreOfficeWord word(options, m_prompt);
        QString error;
        auto app = createApp(word, &error);
        QVERIFY2(app, qPrintable(error));
        ScriptedSink sink;
        sink.password = QStringLiteral("739");
        app->setEvents(&sink);
        const Status opened = app->open(QFile::encodeName(doc), false);
        QVERIFY(!opened.ok() && !platform::retryHelps(opened));
        QVERIFY2(opened.message().startsWith(reason), qPrintable(opened.message()));
        QCOMPARE(sink.opened, 0); // the office never saw the document
        QCOMPARE(bytesOf(doc), before);
        app->quit();
    }

    void missingOfficeIsReportedClearly_data()
    {
        QTest::addColumn<QString>("helper");
        QTest::addColumn<QString>("office");
        QTest::newRow("no helper") << QStringLiteral("/nonexistent/korvane-unohelper") << QString();
        QTest::newRow("no office") << QString() << QStringLiteral("/nonexistent/soffice");
        QTest::newRow("helper without its libraries") << QStringLiteral("exit 127") << QString();
    }
    void missingOfficeIsReportedClearly()
    {
        QFETCH(QString, helper);
        QFETCH(QString, office);
        wordcrypt::LibreOfficeWord::Options options = m_options;
        QTemporaryDir dir;
        if (helper == QLatin1String("exit 127")) {
            // What the loader does when the UNO libraries are gone.
            helper = dir.filePath(QStringLiteral("korvane-unohelper"));
            QFile script(helper);
            QVERIFY(script.open(QIODevice::WriteOnly));
            script.write("#!/bin/sh\nexit 127\n");
            script.close();
            QVERIFY(script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        }
        if (!helper.isEmpty())
            options.helperProgram = helper;
        options.officeProgram = office;
        wordcrypt::LibreOfficeWord word(options, m_prompt);
        QString error;
        QVERIFY(!word.getObject(QStringLiteral("word.Application")));
        QVERIFY(!createApp(word, &error));
        QCOMPARE(error, wordcrypt::libreOfficeMissingText());
    }
};

KORVANE_TEST_GUILESS_MAIN(TestLibreOfficeFailures)
#include "tst_wordcrypt_libreofficefailures.moc"
