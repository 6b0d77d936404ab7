// The project compiler through real Wine, with a mingw-built stand-in for the VB6 compiler.
#include "batchlist/compiler.h"
#include "batchlist/frmcompile.h"
#include "platform/fakes/fakeservices.h"
#include "platform/localfilesystem.h"
#include "platform/qtprogramstarter.h"
#include "support/runs.h"
#include "support/testmain.h"
#include "support/testtree.h"
#include "support/winefixtures.h"

#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTest>

using namespace korvane;
using testsupport::writeFile;

namespace {

QStringList argumentsReceived(const QString& project)
{
    QFile file(project + ".args");
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

} // namespace

class TestBatchlistWine : public QObject {
    Q_OBJECT
private slots:
    void init() { KORVANE_REQUIRE_WINE(); }
    void threeProjectsThroughTheWindow();
    void compilerPastItsLimitIsStopped();
};

void TestBatchlistWine::threeProjectsThroughTheWindow()
{
    QTemporaryDir dir;
    const QString compiler = dir.filePath("VB98 编译器/VB6.EXE");
    writeFile(compiler, {});
    QFile::remove(compiler);
    QVERIFY(QFile::copy(testsupport::wineFixtures() + "/vb6stand.exe", compiler));
    const QString folder = dir.filePath("我的 工程");
    const QString good = folder + "/app one.vbp", chinese = folder + "/中文 工程.vbp", bad = folder + "/坏 工程.vbp";
    writeFile(folder + "/Form1.frm", "VERSION 5.00\r\n");
    writeFile(folder + "/Lf.bas", "Attribute VB_Name = \"Lf\"\nSub Main()\nEnd Sub\n");
    writeFile(good, "Type=Exe\r\nReference=*\\G{00020430-0000-0000-C000-000000000046}#2.0#0#stdole2.tlb#OLE "
                    "Automation\r\nForm=form1.FRM\r\n");
    writeFile(chinese, "Type=Exe\r\nModule=Lf; Lf.bas\r\nClass=Gone; Gone.cls\r\n"
                       "Object={11111111-2222-3333-4444-555555555555}#1.0#0; KVCTL.OCX\r\n");
    writeFile(bad, "Type=Exe\r\nForm=Form1.frm\r\nFail=1\r\n");

    platform::FakeServices fakes;
    platform::QtProgramStarter programs;
    platform::Services services = fakes.services();
    platform::Services real{services.messages,
                            services.folders,
                            services.files,
                            services.input,
                            services.settings,
                            programs,
                            services.desktop,
                            services.fs,
                            services.registry,
                            services.programFolder,
                            nullptr};
    batchlist::frmCompile window(real);
    window.findChild<QLineEdit*>("Text2")->setText(compiler);
    for (const QString& project : {good, chinese, bad})
        window.addEntry({project, QFile::encodeName(project)});
    QElapsedTimer timer;
    timer.start();
    window.Command2_Click();
    QVERIFY(testsupport::waitForRuns());
    qInfo("compiled three projects in %lld ms", timer.elapsed());

    // Each path arrived intact, the log after the others.
    for (const QString& project : {good, chinese, bad}) {
        const QStringList received = argumentsReceived(project);
        QCOMPARE(received.size(), 4);
        QCOMPARE(received.mid(0, 2), QStringList({"/MAKE", platform::wineWindowsPath(project)}));
        QCOMPARE(received[2], QString("/out"));
    }
    QVERIFY(QFile::exists(folder + "/app one.exe"));
    QVERIFY(!QFile::exists(folder + "/坏 工程.exe"));
    const QString info = window.findChild<QPlainTextEdit*>("Text3")->toPlainText();
    QVERIFY2(info.endsWith("编译工程 " + good +
                           "\n  已完成\n"
                           "编译工程 " +
                           chinese +
                           "\n"
                           "  警告: 工程中的文件不存在: Gone.cls\n"
                           "  警告: 类型库未在Wine中注册: KVCTL.OCX {11111111-2222-3333-4444-555555555555}\n"
                           "  警告: 文件只用LF换行, 编译器可能无声失败: Lf.bas\n"
                           "  已完成\n"
                           "编译工程 " +
                           bad +
                           "\n"
                           "  编译失败(退出码 1)\n"
                           "    Compile Error in File 'Form1.frm', Line 12 : Variable not defined\n"),
             qPrintable(info));
    QCOMPARE(window.batchList().size(), 0);
}

void TestBatchlistWine::compilerPastItsLimitIsStopped()
{
    QTemporaryDir dir;
    const QString compiler = dir.filePath("vb6.exe");
    QVERIFY(QFile::copy(testsupport::wineFixtures() + "/vb6stand.exe", compiler));
    const QString hangs = dir.filePath("hangs.vbp"), quick = dir.filePath("quick.vbp");
    writeFile(hangs, "Hang=1\r\n");
    writeFile(quick, "Type=Exe\r\n");
    platform::LocalFileSystem fs;
    platform::QtProgramStarter programs;
    batchlist::CompileOptions options;
    options.timeoutMs = 4000;
    QElapsedTimer timer;
    timer.start();
    const auto results = batchlist::compileProjects(
        fs, programs, compiler, {{hangs, QFile::encodeName(hangs)}, {quick, QFile::encodeName(quick)}}, nullptr,
        options);
    QVERIFY(timer.elapsed() < 15000);
    QCOMPARE(batchlist::compileLines(results[0]), QStringList{"  编译超过4秒没有结束, 已停止"});
    QCOMPARE(batchlist::compileLines(results[1]), QStringList{"  已完成"});
}

KORVANE_TEST_MAIN(TestBatchlistWine)
#include "tst_batchlist_wine.moc"
