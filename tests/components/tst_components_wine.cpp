// Registration through real Wine: mingw-built libraries in the shared prepared prefix.
#include "components/registration.h"
#include "platform/localfilesystem.h"
#include "platform/qtprogramstarter.h"
#include "support/testmain.h"
#include "support/winefixtures.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

using namespace korvane;
using testsupport::wineRegQuery;

namespace {

const QString kClsid = QStringLiteral("HKCR\\CLSID\\{6B3F0F51-1D2C-4C7A-9E61-0A3B5C7D000%1}\\InprocServer32");

/// A copy of the fixture libraries in a folder whose name has a space and Chinese in it.
QString copyLibraries(const QTemporaryDir& dir)
{
    const QString folder = dir.filePath("组件 目录");
    QDir().mkpath(folder);
    const QDir libs(testsupport::wineFixtures() + "/libs");
    for (const QString& name : libs.entryList(QDir::Files))
        QFile::copy(libs.filePath(name), folder + '/' + name);
    return folder;
}

QHash<QString, QString> reasonsByName(const components::RegistrationRun& run)
{
    QHash<QString, QString> reasons;
    for (const auto& failure : run.failures)
        reasons.insert(QFileInfo(failure.file).fileName(), failure.reason);
    return reasons;
}

} // namespace

class TestComponentsWine : public QObject {
    Q_OBJECT
private slots:
    void init() { KORVANE_REQUIRE_WINE(); }
    void registerFolderReportsEachOutcome();
    void cliReportsPerLibrary();
};

void TestComponentsWine::registerFolderReportsEachOutcome()
{
    QTemporaryDir dir;
    const QString folder = copyLibraries(dir);
    platform::LocalFileSystem fs;
    platform::QtProgramStarter programs;
    platform::RunControl control;
    QElapsedTimer timer;
    timer.start();
    const components::RegistrationRun run =
        components::registerFolder(fs, programs, QFile::encodeName(folder), &control);
    qInfo("registered the folder in %lld ms", timer.elapsed());

    QCOMPARE(run.outcome, components::RegistrationRun::Outcome::Registered);
    QStringList registered = run.registered;
    registered.sort();
    QCOMPARE(registered, QStringList({folder + "/com32.dll", folder + "/com64.ocx"}));
    const auto reasons = reasonsByName(run);
    QCOMPARE(reasons.size(), 4);
    QCOMPARE(reasons.value("noreg.dll"), QString("不是可注册的组件: 没有DllRegisterServer"));
    QCOMPARE(reasons.value("needsdep.dll"), QString("缺少依赖: KVDEP.DLL"));
    QCOMPARE(reasons.value("text.dll"), QString("不是Windows程序库"));
    QCOMPARE(reasons.value("fails.dll"), QString("组件的DllRegisterServer执行失败(退出码 5)"));
    QCOMPARE(control.snapshot().done, 6);

    const components::RegistrationMessage message =
        components::registrationMessage(run, "该目录全部dll或ocx文件注册完毕!", "");
    QVERIFY2(message.text.startsWith("已注册2个文件, 以下4个文件未能注册:"), qPrintable(message.text));
    QVERIFY(message.details.contains(folder + "/needsdep.dll: 缺少依赖: KVDEP.DLL"));

    // The 32-bit library wrote the 32-bit view, the 64-bit one the 64-bit view, each naming its
    // file (`reg` prints the Chinese folder name as "?" outside a Chinese locale).
    const QString windowsFolder = platform::wineWindowsPath(dir.path());
    QVERIFY(wineRegQuery(kClsid.arg(1), 32).contains(windowsFolder));
    QVERIFY(wineRegQuery(kClsid.arg(1), 32).contains("\\com32.dll"));
    QVERIFY(wineRegQuery(kClsid.arg(1), 64).isEmpty());
    QVERIFY(wineRegQuery(kClsid.arg(2), 64).contains("\\com64.ocx"));
    QVERIFY(wineRegQuery(kClsid.arg(2), 32).isEmpty());
    // Refused before starting, or failed: nothing registered.
    for (const int id : {3, 4})
        for (const int view : {32, 64})
            QVERIFY(wineRegQuery(kClsid.arg(id), view).isEmpty());
}

void TestComponentsWine::cliReportsPerLibrary()
{
    QTemporaryDir dir;
    const QString folder = copyLibraries(dir);
    QFile::remove(folder + "/text.dll");
    QProcess cli;
    cli.start(QCoreApplication::applicationDirPath() + "/korvane-cli", {"register", "--json", folder});
    QVERIFY(cli.waitForFinished(60000));
    QCOMPARE(cli.exitCode(), 1); // some failed
    QHash<QString, QJsonObject> items;
    for (const QByteArray& line : cli.readAllStandardOutput().split('\n')) {
        if (!line.isEmpty()) {
            const QJsonObject item = QJsonDocument::fromJson(line).object();
            items.insert(QFileInfo(item["path"].toString()).fileName(), item);
        }
    }
    QCOMPARE(items.size(), 5);
    QCOMPARE(items["com32.dll"]["status"].toString(), QString("ok"));
    QCOMPARE(items["com64.ocx"]["status"].toString(), QString("ok"));
    QCOMPARE(items["fails.dll"]["reason"].toString(), QString("组件的DllRegisterServer执行失败(退出码 5)"));
    QVERIFY(items["fails.dll"]["started"].toBool());
    QCOMPARE(items["needsdep.dll"]["reason"].toString(), QString("缺少依赖: KVDEP.DLL"));
    QVERIFY(!items["needsdep.dll"]["started"].toBool());

    // With the dependency beside it, the same library registers.
    QVERIFY(QFile::copy(testsupport::wineFixtures() + "/other/kvdep.dll", folder + "/kvdep.dll"));
    cli.start(QCoreApplication::applicationDirPath() + "/korvane-cli", {"register", folder});
    QVERIFY(cli.waitForFinished(60000));
    const QString text = QString::fromUtf8(cli.readAllStandardOutput());
    QVERIFY2(text.contains(folder + "/needsdep.dll\t已注册"), qPrintable(text));
    QVERIFY(text.contains(folder + "/kvdep.dll\t未注册: 不是可注册的组件: 没有DllRegisterServer"));
    QVERIFY(!wineRegQuery(kClsid.arg(3), 32).isEmpty());
}

KORVANE_TEST_GUILESS_MAIN(TestComponentsWine)
#include "tst_components_wine.moc"
