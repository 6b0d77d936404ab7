#include "components/peimage.h"
#include "components/registration.h"
#include "platform/fakes/fakeservices.h"
#include "support/pesynth.h"
#include "support/testtree.h"

#include "support/testmain.h"
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <unistd.h>

using namespace korvane;
using components::RegistrationRun;
using platform::NativePath;

namespace {

/// Component libraries get a registrable image, other files stay empty.
void touch(const QByteArray& path)
{
    testsupport::writeFile(path, components::isComponentLibrary(path) ? testsupport::registrableLibrary() : "");
}

/// A Wine with both halves and a prepared 64-bit prefix in `prefix`.
components::WineEnvironment fakeWine(const QString& prefix)
{
    testsupport::writeFile(QFile::encodeName(prefix + "/system.reg"), "WINE REGISTRY Version 2\n");
    components::WineEnvironment wine;
    wine.wine = "/opt/wine";
    wine.prefix = prefix;
    wine.run32 = wine.run64 = wine.prefix64 = true;
    wine.builtin32 = {"kernel32.dll", "ntdll.dll", "ole32.dll"};
    wine.builtin64 = wine.builtin32;
    return wine;
}

/// A file under a raw byte name, which neither QFile nor QTemporaryDir's clean-up can handle
/// for non-UTF-8 bytes; removed again when it goes out of scope.
struct RawFile {
    explicit RawFile(const QByteArray& p) : path(p)
    {
        if (FILE* f = std::fopen(path.constData(), "wb"))
            std::fclose(f);
    }
    ~RawFile() { ::unlink(path.constData()); }
    void fill(const QByteArray& bytes) const { testsupport::writeFile(path, bytes); }
    QByteArray path;
};

QList<NativePath> sorted(QList<NativePath> list)
{
    std::sort(list.begin(), list.end());
    return list;
}

} // namespace

class TestRegistration : public QObject {
    Q_OBJECT
private slots:
    void isComponentLibrary_data();
    void isComponentLibrary();
    void registrationArguments_data();
    void registrationArguments();
    void folderPath_data();
    void folderPath();
    void scanCountsEveryFileButOnlyThisFolder();
    void nonUtf8LibraryIsReportedNotStarted();
    void nameWineWouldSplitIsReportedNotStarted();
    void failedStartsAreReported();
    void noRegistrarStartsNothing();
    void noRegistrarNeededWithoutLibraries();
    void unreadableAndMissingFolders();
    void peReaderReadsTablesAndRefusesBrokenOnes();
    void checkLibraryReasons_data();
    void checkLibraryReasons();
    void exitCodesTimeLimitAndMessage();
    void missingPrefixIsPreparedFirst();
};

void TestRegistration::isComponentLibrary_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("library");
    QTest::newRow("dll") << QByteArray("a.dll") << true;
    QTest::newRow("upper OCX") << QByteArray("b.OCX") << true;
    QTest::newRow("mixed case") << QByteArray("c.DlL") << true;
    QTest::newRow("text") << QByteArray("c.txt") << false;
    QTest::newRow("no dot needed") << QByteArray("readme.xdll") << true;
    QTest::newRow("bare name") << QByteArray("ocx") << true;
    QTest::newRow("too short") << QByteArray("ll") << false;
    QTest::newRow("backup") << QByteArray("a.dll.bak") << false;
    QTest::newRow("trailing space") << QByteArray("a.dll ") << false;
    QTest::newRow("chinese") << QByteArray("组件 控件.ocx") << true;
    QTest::newRow("chinese tail") << QByteArray("说明文档") << false;
    QTest::newRow("gbk name") << QByteArray("\xd7\xe9\xbc\xfe.dll") << true;
    // GBK 0x81 0x64 is one character whose second byte is "d": the bytes end in "dll", the
    // characters do not.
    QTest::newRow("gbk trail byte") << QByteArray("a\x81"
                                                  "dll")
                                    << false;
}

void TestRegistration::isComponentLibrary()
{
    QFETCH(QByteArray, name);
    QFETCH(bool, library);
    QCOMPARE(components::isComponentLibrary(name), library);
}

void TestRegistration::registrationArguments_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("windowsPath");
    QTest::newRow("plain") << "/srv/com/a.dll"
                           << "Z:\\srv\\com\\a.dll";
    QTest::newRow("space and dash") << "/srv/my com/-x.ocx"
                                    << "Z:\\srv\\my com\\-x.ocx";
}

void TestRegistration::registrationArguments()
{
    QFETCH(QString, path);
    QFETCH(QString, windowsPath);
    components::WineEnvironment wine;
    wine.prefix64 = true;
    // A 64-bit prefix keeps the 32-bit regsvr32 in syswow64; `wine regsvr32` would be the 64-bit one.
    QCOMPARE(components::registrationArguments(wine, false, path),
             (QStringList{"C:\\windows\\syswow64\\regsvr32.exe", "/s", windowsPath}));
    QCOMPARE(components::registrationArguments(wine, true, path), (QStringList{"regsvr32", "/s", windowsPath}));
    wine.prefix64 = false;
    QCOMPARE(components::registrationArguments(wine, false, path), (QStringList{"regsvr32", "/s", windowsPath}));
}

void TestRegistration::folderPath_data()
{
    QTest::addColumn<QByteArray>("typed");
    QTest::addColumn<QByteArray>("expected");
    const QByteArray cwd = QFile::encodeName(QDir::currentPath());
    QTest::newRow("empty stays empty") << QByteArray() << QByteArray();
    QTest::newRow("plain") << QByteArray("/srv/libs") << QByteArray("/srv/libs");
    QTest::newRow("trailing slashes") << QByteArray("/srv/libs//") << QByteArray("/srv/libs");
    QTest::newRow("root") << QByteArray("/") << QByteArray("/");
    QTest::newRow("root twice") << QByteArray("//") << QByteArray("/");
    QTest::newRow("relative") << QByteArray("libs/") << cwd + "/libs";
    QTest::newRow("leading space is a name") << QByteArray(" libs") << cwd + "/ libs";
}

void TestRegistration::folderPath()
{
    QFETCH(QByteArray, typed);
    QTEST(components::folderPath(typed), "expected");
}

void TestRegistration::scanCountsEveryFileButOnlyThisFolder()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray root = QFile::encodeName(dir.path());
    for (const char* name : {"a.dll", "b.OCX", "c.txt", ".hidden.ocx", "readme.xdll"})
        touch(root + '/' + name);
    const RawFile gbk(root + "/\xd7\xe9\xbc\xfe.dll");
    QVERIFY(::access(gbk.path.constData(), F_OK) == 0);
    QVERIFY(QDir(dir.path()).mkpath("sub"));
    touch(root + "/sub/inner.dll");
    QVERIFY(QDir(dir.path()).mkpath("folder.dll")); // a folder is never registered
    QVERIFY(::symlink((root + "/a.dll").constData(), (root + "/link.dll").constData()) == 0);
    QVERIFY(::symlink((root + "/gone").constData(), (root + "/dangling.dll").constData()) == 0);

    platform::FaultyFileSystem fs;
    const auto scanned = components::scanFolder(fs, root);
    QVERIFY(scanned.ok());
    const components::FolderScan& scan = *scanned;
    // a.dll b.OCX c.txt .hidden.ocx readme.xdll <gbk>.dll link.dll
    QCOMPARE(scan.fileCount, 7);
    QCOMPARE(sorted(scan.libraries),
             sorted({root + "/a.dll", root + "/b.OCX", root + "/.hidden.ocx", root + "/readme.xdll",
                     root + "/\xd7\xe9\xbc\xfe.dll", root + "/link.dll"}));
}

void TestRegistration::nonUtf8LibraryIsReportedNotStarted()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray root = QFile::encodeName(dir.path());
    touch(root + "/a.dll");
    const RawFile gbk(root + "/\xd7\xe9\xbc\xfe.dll");
    gbk.fill(testsupport::registrableLibrary());
    QVERIFY(::access(gbk.path.constData(), F_OK) == 0);
    platform::FaultyFileSystem fs;
    platform::FakeProgramStarter programs;
    const components::WineEnvironment wine = fakeWine(dir.filePath("prefix"));

    const RegistrationRun run = components::registerFolder(fs, programs, root, nullptr, &wine);
    QCOMPARE(run.outcome, RegistrationRun::Outcome::Registered);
    QCOMPARE(programs.calls.size(), 1);
    QCOMPARE(programs.calls[0].arguments.last(), platform::wineWindowsPath(dir.path() + "/a.dll"));
    QCOMPARE(run.failures.size(), 1);
    QCOMPARE(run.failures[0].file, dir.path() + "/组件.dll");
}

void TestRegistration::nameWineWouldSplitIsReportedNotStarted()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray root = QFile::encodeName(dir.path());
    QVERIFY(QDir().mkpath(dir.filePath("plug")));
    touch(root + "/plug/a.dll");
    touch(root + "/plug/..\\..\\evil.dll");
    touch(root + "/evil.dll"); // what Wine would register in its place
    platform::FaultyFileSystem fs;
    platform::FakeProgramStarter programs;
    const components::WineEnvironment wine = fakeWine(dir.filePath("prefix"));

    const RegistrationRun run = components::registerFolder(fs, programs, root + "/plug", nullptr, &wine);
    QCOMPARE(run.outcome, RegistrationRun::Outcome::Registered);
    QCOMPARE(programs.calls.size(), 1);
    QCOMPARE(programs.calls[0].arguments.last(), platform::wineWindowsPath(dir.path() + "/plug/a.dll"));
    QCOMPARE(run.failures.size(), 1);
    QCOMPARE(run.failures[0].file, dir.path() + "/plug/..\\..\\evil.dll");
    QVERIFY(run.failures[0].reason.contains("\\"));
}

void TestRegistration::failedStartsAreReported()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    touch(QFile::encodeName(dir.path()) + "/a.dll");
    touch(QFile::encodeName(dir.path()) + "/b.ocx");
    platform::FaultyFileSystem fs;
    platform::FakeProgramStarter programs;
    const components::WineEnvironment wine = fakeWine(dir.filePath("prefix"));
    programs.failing << "/opt/wine";

    const RegistrationRun run = components::registerFolder(fs, programs, QFile::encodeName(dir.path()), nullptr, &wine);
    QCOMPARE(run.outcome, RegistrationRun::Outcome::Registered);
    QCOMPARE(programs.calls.size(), 2);
    QVERIFY(run.registered.isEmpty());
    QCOMPARE(run.failures.size(), 2);
    QVERIFY(run.failures[0].reason.startsWith("wine无法启动"));
}

void TestRegistration::noRegistrarStartsNothing()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    touch(QFile::encodeName(dir.path()) + "/a.dll");
    platform::FaultyFileSystem fs;
    platform::FakeProgramStarter programs;
    components::WineEnvironment noWine = fakeWine(dir.filePath("prefix"));
    noWine.wine.clear();
    const RegistrationRun run =
        components::registerFolder(fs, programs, QFile::encodeName(dir.path()), nullptr, &noWine);
    QCOMPARE(run.outcome, RegistrationRun::Outcome::NoRegistrar);
    QVERIFY(programs.calls.isEmpty());
}

void TestRegistration::noRegistrarNeededWithoutLibraries()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    touch(QFile::encodeName(dir.path()) + "/notes.txt");
    platform::FaultyFileSystem fs;
    platform::FakeProgramStarter programs;
    const RegistrationRun run = components::registerFolder(fs, programs, QFile::encodeName(dir.path()));
    QCOMPARE(run.outcome, RegistrationRun::Outcome::Registered);
    QCOMPARE(run.fileCount, 1);
    QVERIFY(programs.calls.isEmpty());
}

void TestRegistration::unreadableAndMissingFolders()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray root = QFile::encodeName(dir.path());
    touch(root + "/a.dll");
    platform::FaultyFileSystem fs;
    platform::FakeProgramStarter programs;

    QCOMPARE(components::registerFolder(fs, programs, root + "/missing").outcome, RegistrationRun::Outcome::NotAFolder);
    QCOMPARE(components::registerFolder(fs, programs, root + "/a.dll").outcome, RegistrationRun::Outcome::NotAFolder);
    QCOMPARE(components::registerFolder(fs, programs, QByteArray()).outcome, RegistrationRun::Outcome::NotAFolder);
    fs.failOn(platform::FaultyFileSystem::Op::List, root, platform::ErrorKind::Io);
    const RegistrationRun run = components::registerFolder(fs, programs, root + "/");
    QCOMPARE(run.outcome, RegistrationRun::Outcome::Unreadable);
    QCOMPARE(run.error.kind(), platform::ErrorKind::Io);
    QVERIFY(programs.calls.isEmpty());
}

void TestRegistration::peReaderReadsTablesAndRefusesBrokenOnes()
{
    for (const bool is64 : {false, true}) {
        const auto image = components::readPeImage(
            testsupport::syntheticPe(is64, {"DllRegisterServer"}, {"KERNEL32.dll", "MFC42.DLL"}));
        QVERIFY2(image.ok(), qPrintable(image.status().message()));
        QCOMPARE(image->is64(), is64);
        QCOMPARE(image->pe32Plus, is64);
        QVERIFY(image->dll);
        QCOMPARE(image->exports, QStringList{"DllRegisterServer"});
        QCOMPARE(image->importedDlls, (QStringList{"KERNEL32.dll", "MFC42.DLL"}));
    }
    QCOMPARE(components::readPeImage("just some text, named .dll").status().message(), QString("不是Windows程序库"));
    QCOMPARE(components::readPeImage(QByteArray()).status().message(), QString("不是Windows程序库"));
    const QByteArray good = testsupport::syntheticPe(false, {"DllRegisterServer"}, {"KERNEL32.dll"});
    // Cut anywhere inside the section: every table reached is checked against the file's end.
    for (qsizetype cut = 0x200; cut < good.size(); cut += 7) {
        const auto image = components::readPeImage(good.left(cut));
        QVERIFY2(!image.ok(), qPrintable(QString::number(cut)));
        QVERIFY(image.status().message().startsWith("Windows程序库已损坏"));
    }
    QByteArray wild = good;
    qToLittleEndian<quint32>(0x7fffffff, wild.data() + 0x200 + 32); // the export names' address
    QVERIFY(components::readPeImage(wild).status().message().contains("导出名称表"));
}

void TestRegistration::checkLibraryReasons_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<bool>("run32");
    QTest::addColumn<bool>("prefix64");
    QTest::addColumn<QString>("reason");
    const QByteArray lib32 = testsupport::syntheticPe(false, {"DllRegisterServer"}, {"kernel32.dll", "local.dll"});
    const QByteArray lib64 = testsupport::syntheticPe(true, {"DllRegisterServer"}, {"KERNEL32.dll", "SYSDEP"});
    QTest::newRow("32-bit, imports in Wine, folder") << lib32 << true << true << "";
    QTest::newRow("64-bit, import in system32 without extension") << lib64 << true << true << "";
    QTest::newRow("no wine32") << lib32 << false << true << "32位组件需要32位Wine(wine32)";
    QTest::newRow("64-bit in a 32-bit prefix") << lib64 << true << false << "64位组件不能注册到32位的Wine环境(/p)";
    QTest::newRow("no DllRegisterServer") << testsupport::syntheticPe(false, {"DllCanUnloadNow"}, {}) << true << true
                                          << "不是可注册的组件: 没有DllRegisterServer";
    QTest::newRow("missing imports") << testsupport::syntheticPe(false, {"DllRegisterServer"},
                                                                 {"MFC42.DLL", "ole32.dll", "msvbvm60.dll"})
                                     << true << true << "缺少依赖: MFC42.DLL, MSVBVM60.DLL";
    QTest::newRow("text") << QByteArray("hello") << true << true << "不是Windows程序库";
}

void TestRegistration::checkLibraryReasons()
{
    QFETCH(QByteArray, image);
    QFETCH(bool, run32);
    QFETCH(bool, prefix64);
    QFETCH(QString, reason);
    components::WineEnvironment wine;
    wine.prefix = "/p";
    wine.run32 = run32;
    wine.run64 = true;
    wine.prefix64 = prefix64;
    wine.builtin32 = {"kernel32.dll", "ole32.dll"};
    wine.builtin64 = {"kernel32.dll"};
    const auto read = components::readPeImage(image);
    const platform::Status check =
        read ? components::checkLibrary(*read, wine, {"local.dll"}, {"sysdep.dll"}) : read.status();
    QCOMPARE(check.ok() ? QString() : check.message(), reason);
}

void TestRegistration::exitCodesTimeLimitAndMessage()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray root = QFile::encodeName(dir.path());
    for (const char* name : {"ok.dll", "e3.dll", "e4.dll", "e5.dll", "hang.ocx"})
        touch(root + "/lib/" + name);
    testsupport::writeFile(root + "/lib/text.dll", "not a library");
    platform::FaultyFileSystem fs;
    platform::FakeProgramStarter programs;
    programs.onRun = [](const platform::FakeProgramStarter::Call& call) {
        const QString library = call.arguments.last();
        platform::RunOutcome outcome{true, true, 0, {}, {}};
        if (library.endsWith("hang.ocx")) {
            outcome.finished = false;
            outcome.timedOut = true;
            outcome.status = platform::Status::failure(platform::ErrorKind::Failed, "timeout");
        } else if (library.contains("\\e")) {
            outcome.exitCode = library.section("\\e", 1).left(1).toInt();
        }
        return outcome;
    };
    const components::WineEnvironment wine = fakeWine(dir.filePath("prefix"));
    platform::RunControl control;
    const RegistrationRun run =
        components::registerFolder(fs, programs, root + "/lib", &control, &wine, {.timeoutMs = 2000, .parallel = 3});
    QCOMPARE(programs.calls.size(), 5); // not the text file
    for (const auto& call : programs.calls) {
        QCOMPARE(call.program, QString("/opt/wine"));
        QCOMPARE(call.arguments.first(), QString("C:\\windows\\syswow64\\regsvr32.exe"));
    }
    QCOMPARE(run.registered, QStringList{dir.path() + "/lib/ok.dll"});
    QHash<QString, QString> reasons;
    for (const auto& failure : run.failures)
        reasons.insert(QFileInfo(failure.file).fileName(), failure.reason);
    QCOMPARE(reasons.value("e3.dll"), QString("组件无法载入(退出码 3)"));
    QCOMPARE(reasons.value("e4.dll"), QString("不是可注册的组件: 没有DllRegisterServer(退出码 4)"));
    QCOMPARE(reasons.value("e5.dll"), QString("组件的DllRegisterServer执行失败(退出码 5)"));
    QCOMPARE(reasons.value("hang.ocx"), QString("注册程序在2秒内没有结束, 已停止"));
    QCOMPARE(reasons.value("text.dll"), QString("不是Windows程序库"));
    QCOMPARE(control.snapshot().done, 6);

    const components::RegistrationMessage message = components::registrationMessage(run, "全部完毕!", "");
    QVERIFY(message.text.startsWith("已注册1个文件, 以下5个文件未能注册:"));
    QVERIFY(message.details.contains(dir.path() + "/lib/e5.dll: 组件的DllRegisterServer执行失败(退出码 5)"));
    RegistrationRun clean;
    clean.outcome = RegistrationRun::Outcome::Registered;
    clean.registered << "a.dll";
    QCOMPARE(components::registrationMessage(clean, "全部完毕!", "").text, QString("全部完毕!"));
}

void TestRegistration::missingPrefixIsPreparedFirst()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    touch(QFile::encodeName(dir.path()) + "/a.dll");
    components::WineEnvironment wine = fakeWine(dir.filePath("prefix"));
    wine.prefix = dir.filePath("new-prefix");
    platform::FaultyFileSystem fs;
    platform::FakeProgramStarter programs;
    platform::RunControl control;
    QStringList shown;
    programs.onRun = [&](const platform::FakeProgramStarter::Call&) {
        shown << control.snapshot().current; // one library: one call at a time
        return platform::RunOutcome{true, true, 0, {}, {}};
    };
    RegistrationRun run = components::registerFolder(fs, programs, QFile::encodeName(dir.path()), &control, &wine);
    QCOMPARE(programs.calls.size(), 2);
    QCOMPARE(programs.calls[0].arguments.mid(4),
             (QStringList{"WINEDLLOVERRIDES=mscoree,mshtml=", wine.wine, "wineboot", "-i"}));
    QCOMPARE(programs.calls[0].arguments.first(2), (QStringList{"-u", "DISPLAY"})); // no window over our dialog
    QCOMPARE(shown.first(), QString("正在准备Wine环境…"));
    QCOMPARE(run.registered.size(), 1);

    // A wineboot that fails leaves every library unstarted.
    programs.calls.clear();
    programs.onRun = [](const platform::FakeProgramStarter::Call&) {
        return platform::RunOutcome{true, true, 1, {}, {}};
    };
    run = components::registerFolder(fs, programs, QFile::encodeName(dir.path()), nullptr, &wine);
    QCOMPARE(run.outcome, RegistrationRun::Outcome::PrefixFailed);
    QCOMPARE(programs.calls.size(), 1);
    QVERIFY(components::registrationMessage(run, "", "").text.contains("wineboot退出码 1"));
}

KORVANE_TEST_GUILESS_MAIN(TestRegistration)
#include "tst_components_registration.moc"
