#include "components/registration.h"
#include "platform/fakes/fakeservices.h"

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

void touch(const QByteArray& path)
{
    QFile file(QString::fromLocal8Bit(path)); // not used for non-UTF-8 names
    QVERIFY(file.open(QIODevice::WriteOnly));
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
    void findRegistrar_data();
    void findRegistrar();
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

void TestRegistration::findRegistrar_data()
{
    QTest::addColumn<QString>("regsvr32");
    QTest::addColumn<QString>("wine");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("leading");
    QTest::newRow("regsvr32 only") << "/opt/bin/regsvr32"
                                   << "" << true << "/opt/bin/regsvr32" << QStringList();
    QTest::newRow("wine only") << ""
                               << "/usr/bin/wine" << true << "/usr/bin/wine" << QStringList{"regsvr32"};
    QTest::newRow("both: regsvr32 wins") << "/opt/bin/regsvr32"
                                         << "/usr/bin/wine" << true << "/opt/bin/regsvr32" << QStringList();
    QTest::newRow("neither") << ""
                             << "" << false << "" << QStringList();
}

void TestRegistration::findRegistrar()
{
    QFETCH(QString, regsvr32);
    QFETCH(QString, wine);
    QFETCH(bool, found);
    platform::FakeProgramStarter programs;
    if (!regsvr32.isEmpty())
        programs.executables.insert("regsvr32", regsvr32);
    if (!wine.isEmpty())
        programs.executables.insert("wine", wine);
    const auto registrar = components::findRegistrar(programs);
    QCOMPARE(registrar.has_value(), found);
    if (found) {
        QTEST(registrar->program, "program");
        QTEST(registrar->leadingArguments, "leading");
    }
    QVERIFY(programs.calls.isEmpty());
}

void TestRegistration::registrationArguments_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("windowsPath");
    QTest::newRow("plain") << "/srv/libs/a.dll"
                           << "Z:\\srv\\libs\\a.dll";
    QTest::newRow("space kept whole") << "/srv/My Tools/My Control.ocx"
                                      << "Z:\\srv\\My Tools\\My Control.ocx";
    QTest::newRow("root folder") << "/a.dll"
                                 << "Z:\\a.dll";
    QTest::newRow("chinese") << "/srv/组件/控件.ocx"
                             << "Z:\\srv\\组件\\控件.ocx";
}

void TestRegistration::registrationArguments()
{
    QFETCH(QString, path);
    QFETCH(QString, windowsPath);
    QCOMPARE(components::registrationArguments({"/opt/regsvr32", {}}, path), (QStringList{"/s", windowsPath}));
    QCOMPARE(components::registrationArguments({"/usr/bin/wine", {"regsvr32"}}, path),
             (QStringList{"regsvr32", "/s", windowsPath}));
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
    const components::FolderScan scan = components::scanFolder(fs, root);
    QVERIFY(scan.readable);
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
    QVERIFY(::access(gbk.path.constData(), F_OK) == 0);
    platform::FaultyFileSystem fs;
    platform::FakeProgramStarter programs;
    programs.executables.insert("regsvr32", "/opt/regsvr32");

    const RegistrationRun run = components::registerFolder(fs, programs, root);
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
    programs.executables.insert("wine", "/opt/wine");

    const RegistrationRun run = components::registerFolder(fs, programs, root + "/plug");
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
    programs.executables.insert("regsvr32", "/opt/regsvr32");
    programs.failing << "/opt/regsvr32";

    const RegistrationRun run = components::registerFolder(fs, programs, QFile::encodeName(dir.path()));
    QCOMPARE(run.outcome, RegistrationRun::Outcome::Registered);
    QCOMPARE(programs.calls.size(), 2);
    QVERIFY(run.started.isEmpty());
    QCOMPARE(run.failures.size(), 2);
    QVERIFY(!run.failures[0].reason.isEmpty());
}

void TestRegistration::noRegistrarStartsNothing()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    touch(QFile::encodeName(dir.path()) + "/a.dll");
    platform::FaultyFileSystem fs;
    platform::FakeProgramStarter programs;
    const RegistrationRun run = components::registerFolder(fs, programs, QFile::encodeName(dir.path()));
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
    programs.executables.insert("regsvr32", "/opt/regsvr32");

    QCOMPARE(components::registerFolder(fs, programs, root + "/missing").outcome, RegistrationRun::Outcome::NotAFolder);
    QCOMPARE(components::registerFolder(fs, programs, root + "/a.dll").outcome, RegistrationRun::Outcome::NotAFolder);
    QCOMPARE(components::registerFolder(fs, programs, QByteArray()).outcome, RegistrationRun::Outcome::NotAFolder);
    fs.failOn(platform::FaultyFileSystem::Op::List, root, platform::ErrorKind::Io);
    const RegistrationRun run = components::registerFolder(fs, programs, root + "/");
    QCOMPARE(run.outcome, RegistrationRun::Outcome::Unreadable);
    QVERIFY(!run.error.isEmpty());
    QVERIFY(programs.calls.isEmpty());
}

KORVANE_TEST_GUILESS_MAIN(TestRegistration)
#include "tst_components_registration.moc"
