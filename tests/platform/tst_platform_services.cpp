// Services with logic of their own: filter translation, path decoding, text files, settings,
// program starting, registry decoding, fault injection.
#include "platform/fakes/fakeservices.h"
#include "platform/localfilesystem.h"
#include "platform/nativepath.h"
#include "platform/qtprogramstarter.h"
#include "platform/registry.h"
#include "platform/runcontrol.h"
#include "platform/webopener.h"
#include "platform/widgets/qtservices.h"

#include "support/testmain.h"
#include "support/testtree.h"
#include <QTemporaryDir>
#include <QtTest>
#include <thread>

using namespace korvane::platform;

class TestPlatformServices : public QObject {
    Q_OBJECT
private slots:
    void fileFilter_data();
    void fileFilter();
    void displayPathDecodesGbkComponents();
    void textFileBytes_data();
    void textFileBytes();
    void joinPathAtRoot();
    void winePath();
    void wineAddressable_data();
    void wineAddressable();
    void registryDecoding_data();
    void registryDecoding();
    void settingsRoundTrip();
    void startedProgramGetsArgumentsIntact();
    void startFailureIsReported();
    void runStopsAtTimeLimit();
    void runFeedsWhileReadingAndStopsWhileWaiting();
    void webAddressOpenerIsHeard_data();
    void webAddressOpenerIsHeard();
    void runSaysWhyItDidNotEnd_data();
    void runSaysWhyItDidNotEnd();
    void boundedRunKeepsTheOutputsTail();
    void injectedFaultsHitOnlyTheirPath();
};

void TestPlatformServices::fileFilter_data()
{
    QTest::addColumn<QString>("pipe");
    QTest::addColumn<QString>("qt");
    QTest::newRow("project") << QStringLiteral("工程文件|*.vbp|所有文件|*.*")
                             << QStringLiteral("工程文件 (*.vbp);;所有文件 (*)");
    QTest::newRow("bitmap") << QStringLiteral("位图文件|*.bmp|所有文件|*.*")
                            << QStringLiteral("位图文件 (*.bmp);;所有文件 (*)");
    QTest::newRow("two patterns") << QStringLiteral("Pictures|*.png;*.bmp") << QStringLiteral("Pictures (*.png *.bmp)");
    QTest::newRow("dangling description") << QStringLiteral("Doc|*.doc|Other") << QStringLiteral("Doc (*.doc)");
}

void TestPlatformServices::fileFilter()
{
    QFETCH(QString, pipe);
    QFETCH(QString, qt);
    QCOMPARE(toQtFileFilter(pipe), qt);
}

void TestPlatformServices::displayPathDecodesGbkComponents()
{
    const QByteArray gbkName = *encodeText(QStringLiteral("中文帮助"), "GBK");
    QVERIFY(!isValidUtf8(gbkName));
    const QByteArray path = "/tmp/" + QStringLiteral("目录").toUtf8() + "/" + gbkName + ".chm";
    QCOMPARE(displayPath(path), QStringLiteral("/tmp/目录/中文帮助.chm"));
    QCOMPARE(displayPath(nativePath(QStringLiteral("/a/b c/文件"))), QStringLiteral("/a/b c/文件"));
}

void TestPlatformServices::textFileBytes_data()
{
    QTest::addColumn<int>("encoding");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("locale") << int(TextEncoding::Locale) << QByteArray("filter=/tmp/a\r\n\xe4\xb8\xad\r\n\r\n");
    QTest::newRow("gbk") << int(TextEncoding::Gbk) << QByteArray("filter=/tmp/a\r\n\xd6\xd0\r\n\r\n");
}

void TestPlatformServices::textFileBytes()
{
    QFETCH(int, encoding);
    QFETCH(QByteArray, expected);
    QTemporaryDir dir;
    LocalFileSystem fs;
    const QByteArray path = nativePath(dir.filePath(QStringLiteral("out.txt")));
    QVERIFY(fs.writeFile(path, "old content that is longer than the new one").ok());
    QVERIFY(writeTextFile(fs, path, {QStringLiteral("filter=/tmp/a"), QStringLiteral("中"), QString()},
                          TextEncoding(encoding))
                .ok());
    QCOMPARE(*fs.readFile(path), expected);
    // Nothing but the file itself is left behind.
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("out.txt")});
}

void TestPlatformServices::joinPathAtRoot()
{
    QCOMPARE(joinPath("/", "a.txt"), QByteArray("/a.txt"));
    QCOMPARE(joinPath("/tmp", "a.txt"), QByteArray("/tmp/a.txt"));
}

void TestPlatformServices::winePath()
{
    QCOMPARE(wineWindowsPath(QStringLiteral("/home/u/my proj/-a.vbp")), QStringLiteral("Z:\\home\\u\\my proj\\-a.vbp"));
}

void TestPlatformServices::wineAddressable_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("refused");
    QTest::newRow("plain") << "/home/u/my proj/-a.dll" << false;
    QTest::newRow("dots inside") << "/opt/a..b/x.y.dll" << false;
    QTest::newRow("device-like but longer") << "/opt/console.dll" << false;
    QTest::newRow("COM0 is no device") << "/opt/com0.dll" << false;
    QTest::newRow("backslash in name") << "/opt/plug/..\\..\\evil.dll" << true;
    QTest::newRow("backslash in folder") << "/opt/a\\b/x.dll" << true;
    QTest::newRow("colon") << "/opt/a:b.dll" << true;
    QTest::newRow("wildcard") << "/opt/a*.dll" << true;
    QTest::newRow("quote") << "/opt/a\"b.dll" << true;
    QTest::newRow("pipe") << "/opt/a|b.dll" << true;
    QTest::newRow("control character") << "/opt/a\tb.dll" << true;
    QTest::newRow("trailing dot") << "/opt/x.dll." << true;
    QTest::newRow("trailing space in folder") << "/opt/dir /x.dll" << true;
    QTest::newRow("dot-dot") << "/opt/link/../x.dll" << true;
    QTest::newRow("dot") << "/opt/./x.dll" << true;
    QTest::newRow("device") << "/opt/nul.dll" << true;
    QTest::newRow("device any case, spaces") << "/opt/Aux .ocx" << true;
    QTest::newRow("numbered device") << "/opt/LPT3.dll" << true;
}

void TestPlatformServices::wineAddressable()
{
    QFETCH(QString, path);
    QFETCH(bool, refused);
    QCOMPARE(!korvane::platform::wineAddressable(path).ok(), refused);
}

void TestPlatformServices::registryDecoding_data()
{
    QTest::addColumn<quint32>("type");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("after");
    QTest::newRow("string with terminator")
        << 1u << QByteArray("C:\\msinfo32.exe", 16) << QString() << QStringLiteral("C:\\msinfo32.exe");
    QTest::newRow("string without terminator") << 1u << QByteArray("abc") << QString() << QStringLiteral("abc");
    QTest::newRow("dword 258") << 4u << QByteArray("\x02\x01\x00\x00", 4) << QString() << QStringLiteral("&h012");
    QTest::newRow("dword appends") << 4u << QByteArray("\xff\x0a", 2) << QStringLiteral("x")
                                   << QStringLiteral("&hxAFF");
    QTest::newRow("binary leaves text") << 3u << QByteArray("\x01\x02", 2) << QStringLiteral("kept")
                                        << QStringLiteral("kept");
}

void TestPlatformServices::registryDecoding()
{
    QFETCH(quint32, type);
    QFETCH(QByteArray, data);
    QFETCH(QString, before);
    QFETCH(QString, after);
    QString text = before;
    decodeRegistryValue({type, data}, text);
    QCOMPARE(text, after);
}

void TestPlatformServices::settingsRoundTrip()
{
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", home.path().toUtf8());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, home.path());
    {
        QtSettingsStore store(QStringLiteral("korvane"));
        QCOMPARE(store.value(QStringLiteral("Options"), QStringLiteral("在启动时显示提示"), QStringLiteral("1")),
                 QStringLiteral("1"));
        store.setValue(QStringLiteral("Options"), QStringLiteral("在启动时显示提示"), QStringLiteral("0"));
    }
    QVERIFY(QFile::exists(home.filePath(QStringLiteral("korvane/korvane.ini"))));
    QtSettingsStore again(QStringLiteral("korvane"));
    QCOMPARE(again.value(QStringLiteral("Options"), QStringLiteral("在启动时显示提示"), QStringLiteral("1")),
             QStringLiteral("0"));
}

void TestPlatformServices::startedProgramGetsArgumentsIntact()
{
    QTemporaryDir dir;
    const QString out = dir.filePath(QStringLiteral("args.txt"));
    QtProgramStarter starter;
    const QStringList args{QStringLiteral("-c"),
                           QStringLiteral("printf '%s\\n' \"$@\" > \"$0\""),
                           out,
                           QStringLiteral("-dash"),
                           QStringLiteral("with space"),
                           QStringLiteral("quo\"te;rm x")};
    QVERIFY(starter.startDetached(QStringLiteral("/bin/sh"), args).ok());
    const auto contents = [&out] {
        QFile file(out);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    QTRY_COMPARE(contents(), QByteArray("-dash\nwith space\nquo\"te;rm x\n"));
}

void TestPlatformServices::startFailureIsReported()
{
    QtProgramStarter starter;
    const Status outcome = starter.startDetached(QStringLiteral("/nonexistent/program"), {});
    QVERIFY(!outcome.ok());
    QVERIFY(!outcome.message().isEmpty());
    QVERIFY(starter.findExecutable(QStringLiteral("/nonexistent/program")).isEmpty());
    QVERIFY(!starter.findExecutable(QStringLiteral("sh")).isEmpty());
}

void TestPlatformServices::webAddressOpenerIsHeard_data()
{
    QTest::addColumn<QByteArray>("opener"); // the xdg-open script's body; empty: none on PATH
    QTest::addColumn<QString>("failure");   // the start of the answer's message; empty: success
    QTest::newRow("opened") << QByteArray("sleep 0.1") << QString();
    QTest::newRow("no browser") << QByteArray("exit 3") << QStringLiteral("没有找到可以打开网页的浏览器");
    QTest::newRow("browser refused") << QByteArray("exit 4") << QStringLiteral("浏览器未能打开网页");
    // Past the window xdg-open may be the browser, and its end says nothing.
    QTest::newRow("ends late") << QByteArray("sleep 1; exit 4") << QString();
    QTest::newRow("no xdg-utils") << QByteArray() << QStringLiteral("没有找到 xdg-open");
}

void TestPlatformServices::webAddressOpenerIsHeard()
{
    QFETCH(QByteArray, opener);
    QFETCH(QString, failure);
    QTemporaryDir bin;
    const QByteArray script = QFile::encodeName(bin.filePath(QStringLiteral("xdg-open")));
    if (!opener.isEmpty())
        korvane::testsupport::writeFile(script, "#!/bin/sh\nprintf '%s|%s' \"$#\" \"$1\" >\"$0.args\"\n" + opener,
                                        0700);
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(bin.path()) + (opener.isEmpty() ? QByteArray() : ":" + path));
    QList<Status> answers;
    const QUrl url(QStringLiteral("https://example.org/a b?q=1&r=中"));
    openWebAddress(
        url, [&answers](const Status& s) { answers << s; }, std::chrono::milliseconds(400));
    qputenv("PATH", path);
    QTRY_COMPARE(answers.size(), 1);
    QCOMPARE(answers[0].ok(), failure.isEmpty());
    QVERIFY2(answers[0].message().startsWith(failure), qPrintable(answers[0].message()));
    QFile args(QFile::decodeName(script + ".args")); // the address arrives whole, as one argument
    QCOMPARE(args.open(QIODevice::ReadOnly) ? args.readAll() : QByteArray(),
             opener.isEmpty() ? QByteArray() : "1|" + url.toEncoded());
    if (failure.isEmpty()) {
        QTest::qWait(900);
        QCOMPARE(answers.size(), 1); // once, even when the opener ends after the window
    }
}

void TestPlatformServices::runStopsAtTimeLimit()
{
    QtProgramStarter starter;
    const RunOutcome quick =
        starter.run(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("echo hi; exit 3")}, 5000);
    QVERIFY(quick.finished);
    QCOMPARE(quick.exitCode, 3);
    QCOMPARE(quick.output, QByteArray("hi\n"));
    const RunOutcome slow = starter.run(QStringLiteral("/bin/sleep"), {QStringLiteral("30")}, 200);
    QVERIFY(slow.started);
    QVERIFY(!slow.finished);
}

void TestPlatformServices::runFeedsWhileReadingAndStopsWhileWaiting()
{
    QtProgramStarter starter;
    // More than a pipe holds, both ways: the input must go in while the output is read.
    QByteArray input(1 << 20, 'x');
    input[12345] = 'y';
    const RunOutcome echoed = starter.run(QStringLiteral("cat"), {}, 60000, input);
    QVERIFY(echoed.finished);
    QCOMPARE(echoed.output, input);
    // A stop that comes while the program runs ends the wait, which has no time slices of its own.
    RunControl control;
    const RunControl::Scope scope(&control);
    std::thread stopper([&control] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        control.requestStop();
    });
    const RunOutcome stopped = starter.run(QStringLiteral("/bin/sleep"), {QStringLiteral("60")}, 120000);
    stopper.join();
    QVERIFY(stopped.stopped);
    QCOMPARE(stopped.status.kind(), ErrorKind::Cancelled);
}

void TestPlatformServices::runSaysWhyItDidNotEnd_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("stop");
    QTest::addColumn<bool>("started");
    QTest::addColumn<ErrorKind>("kind");
    QTest::addColumn<QString>("message"); // "" = any non-empty text
    const QString sh = QStringLiteral("/bin/sh");
    QTest::newRow("failing exit code") << sh << QStringList{QStringLiteral("-c"), QStringLiteral("exit 3")} << false
                                       << true << ErrorKind::None << QString();
    QTest::newRow("crash") << sh << QStringList{QStringLiteral("-c"), QStringLiteral("kill -SEGV $$")} << false << true
                           << ErrorKind::Failed << QString();
    QTest::newRow("time limit") << QStringLiteral("/bin/sleep") << QStringList{QStringLiteral("30")} << false << true
                                << ErrorKind::Failed << QStringLiteral("程序在限定时间内没有结束");
    QTest::newRow("stopped") << QStringLiteral("/bin/sleep") << QStringList{QStringLiteral("30")} << true << true
                             << ErrorKind::Cancelled << QStringLiteral("操作已取消");
    QTest::newRow("missing program") << QStringLiteral("/nonexistent/program") << QStringList() << false << false
                                     << ErrorKind::Failed << QString();
}

void TestPlatformServices::runSaysWhyItDidNotEnd()
{
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    QFETCH(bool, stop);
    QFETCH(bool, started);
    QFETCH(ErrorKind, kind);
    QFETCH(QString, message);
    RunControl control;
    if (stop)
        control.requestStop();
    const RunControl::Scope scope(stop ? &control : nullptr);
    QtProgramStarter starter;
    // Only the sleeps meet the limit; the others end well before it, however busy the machine.
    const int limitMs = program == QLatin1String("/bin/sleep") ? 300 : 30000;
    const RunOutcome outcome = starter.run(program, arguments, limitMs);
    QCOMPARE(outcome.started, started);
    QCOMPARE(outcome.status.kind(), kind);
    QCOMPARE(outcome.stopped, stop);
    if (kind == ErrorKind::None)
        QVERIFY(outcome.status.message().isEmpty());
    else if (message.isEmpty())
        QVERIFY(!outcome.status.message().isEmpty());
    else
        QCOMPARE(outcome.status.message(), message);
}

void TestPlatformServices::boundedRunKeepsTheOutputsTail()
{
    QtProgramStarter starter;
    const QString sh = QStringLiteral("/bin/sh");
    // Both channels, in one.
    const RunOutcome both =
        starter.run(sh, {QStringLiteral("-c"), QStringLiteral("echo out; sleep 0.1; echo err >&2")}, 30000, {}, 100);
    QVERIFY(both.finished);
    QCOMPARE(both.output, QByteArray("out\nerr\n"));
    const RunOutcome ended = starter.run(sh, {QStringLiteral("-c"), QStringLiteral("seq 1 10000")}, 30000, {}, 20);
    QVERIFY(ended.finished);
    QCOMPARE(ended.output, QByteArray("997\n9998\n9999\n10000\n"));
    // A program that never stops printing: killed at its limit with only the tail kept.
    const RunOutcome flood = starter.run(QStringLiteral("yes"), {QStringLiteral("flood")}, 500, {}, 4096);
    QVERIFY(flood.timedOut);
    QCOMPARE(flood.output.size(), 4096);
    QVERIFY(flood.output.contains("flood\nflood\n"));
}

void TestPlatformServices::injectedFaultsHitOnlyTheirPath()
{
    QTemporaryDir dir;
    FaultyFileSystem fs;
    const QByteArray a = nativePath(dir.filePath(QStringLiteral("a.txt")));
    const QByteArray b = nativePath(dir.filePath(QStringLiteral("b.txt")));
    QVERIFY(fs.writeFile(a, "a").ok());
    QVERIFY(fs.writeFile(b, "b").ok());
    fs.failOn(FaultyFileSystem::Op::Delete, a, ErrorKind::ReadOnly);
    QCOMPARE(fs.deleteFile(a, true).kind(), ErrorKind::ReadOnly);
    QVERIFY(fs.fileExists(a));
    QVERIFY(fs.deleteFile(b, false).ok());
    QVERIFY(!fs.fileExists(b));
    QCOMPARE(fs.pathsOf(FaultyFileSystem::Op::Delete), (QList<QByteArray>{a, b}));
}

KORVANE_TEST_GUILESS_MAIN(TestPlatformServices)
#include "tst_platform_services.moc"
