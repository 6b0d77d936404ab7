#include "helpwindows/frmtip.h"
#include "platform/fakes/fakeservices.h"
#include "support/testtree.h"

#include "support/testmain.h"
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

using namespace korvane;
using helpwindows::frmTip;

namespace {

const QString kSetting = QStringLiteral("Options/在启动时显示提示");

// The tips as they must be written, typed out independently of the program's own list.
const QStringList kBuiltInTips = {
    "Korvane具备人性化的特点, 使用者会感到异想不到的方便?",
    "Korvane能够批量反编译chm文件,并自动生成hhp文件,可直接在Microsoft HTML Help Workshop下重新编译生成chm文件!",
    "Korvane能够批量加密Word文档,包括批量设置打开密码和修改密码,同时支持批量解密功能!",
    "Korvane能够批量加密AutoCAD文档,同时支持批量解密功能!",
    "如果您在进行庞大的VB项目,拥有无数的VB工程等待编译,是否会感到头痛呢?把这一切交给Korvane,它能轻松批量编译VB工程,"
    "使用起来意想不到的方便!",
    "当要注册的Dll或Ocx文件过多的时候 , 这将是一段痛苦的经历, Korvane轻松帮您搞定, 速度之快, 操作之简, 令人长舒一口气!",
    "要选择性的复制,移动,删除大量的文件吗?交给Korvane,轻松搞定!",
    "记录历史文件信息,Korvane支持整目录记录, 并有详细的日志!",
    "记录历史文件信息有什么用?通常用于P2P下载,由于网友可随意对自已共享的文件(通常是影音文件)命名,"
    "故下载其实内容一样的文件的现象难以避免,通过比较文件大小,可减少重复下载,节省网络带宽!",
    "Korvane具备完善的设置功能!",
    "Korvane无需安装AutoCAD即可快速查看DWG文档,支持缩放等多种查看方式!",
};

QByteArray builtInFile()
{
    QByteArray bytes;
    for (const QString& tip : kBuiltInTips)
        bytes += tip.toUtf8() + "\r\n";
    return bytes;
}

using testsupport::readFile;
using testsupport::writeFile;

QString tipText(frmTip& tip)
{
    return tip.findChild<QLabel*>("lblTipText")->text();
}

void next(frmTip& tip)
{
    QTest::mouseClick(tip.findChild<QPushButton*>("cmdNextTip"), Qt::LeftButton);
}

} // namespace

class TestFrmTip : public QObject {
    Q_OBJECT
private slots:
    void layout();
    void loadAndSetting_data();
    void loadAndSetting();
    void untickingTurnsStartupTipsOff();
    void tipsFileWrittenWhenMissingOrEmpty_data();
    void tipsFileWrittenWhenMissingOrEmpty();
    void existingFileIsKept();
    void unreadableFileIsNeverReplaced_data();
    void unreadableFileIsNeverReplaced();
    void nextTipWraps_data();
    void nextTipWraps();
    void unwritableFolderLeavesLabelEmpty();
    void okCloses();
};

void TestFrmTip::layout()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    platform::FakeServices fake(dir.path());
    const bool requested = true;
    frmTip tip(fake.services(), requested);
    QCOMPARE(tip.objectName(), QStringLiteral("frmTip"));
    QCOMPARE(tip.windowTitle(), QStringLiteral("日积月累"));
    QCOMPARE(tip.findChild<QLabel*>("Label1")->text(), QStringLiteral("您知道吗..."));
    QCOMPARE(tip.findChild<QPushButton*>("cmdOK")->text(), QStringLiteral("确定"));
    QVERIFY(tip.findChild<QPushButton*>("cmdOK")->isDefault());
    QCOMPARE(tip.findChild<QPushButton*>("cmdNextTip")->text(), QStringLiteral("下一条提示(&N)"));
    QCOMPARE(tip.findChild<QCheckBox*>("chkLoadTipsAtStartup")->text(), QStringLiteral("在启动时显示提示(&S)"));
    // The labels live inside the white frame.
    QCOMPARE(tip.findChild<QLabel*>("lblTipText")->parentWidget()->objectName(), QStringLiteral("Picture1"));
    QVERIFY(!(tip.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(!(tip.windowFlags() & Qt::WindowMinimizeButtonHint));
}

void TestFrmTip::loadAndSetting_data()
{
    QTest::addColumn<QString>("stored"); // "-" for no value stored
    QTest::addColumn<bool>("requested");
    QTest::addColumn<bool>("stays");
    QTest::addColumn<QStringList>("writes");
    const QStringList on{kSetting + "=1"};
    QTest::newRow("nothing stored, start-up") << "-" << false << true << on;
    QTest::newRow("1, start-up") << "1" << false << true << on;
    QTest::newRow("any non-zero counts as yes") << "2" << false << true << on;
    QTest::newRow("0, start-up: closes, writes nothing") << "0" << false << false << QStringList();
    QTest::newRow("0, from the menu: shows and turns tips on") << "0" << true << true << on;
}

void TestFrmTip::loadAndSetting()
{
    QFETCH(QString, stored);
    QFETCH(bool, requested);
    QFETCH(bool, stays);
    QFETCH(QStringList, writes);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    platform::FakeServices fake(dir.path());
    if (stored != "-")
        fake.settings.values.insert(kSetting, stored);

    frmTip tip(fake.services(), requested);

    QCOMPARE(tip.closedWhileLoading(), !stays);
    QCOMPARE(fake.settings.writes, writes);
    if (stays) {
        QVERIFY(tip.findChild<QCheckBox*>("chkLoadTipsAtStartup")->isChecked());
        QCOMPARE(fake.settings.values.value(kSetting), QStringLiteral("1"));
        QCOMPARE(tipText(tip), kBuiltInTips.first());
    } else {
        // Closed before anything was read or written.
        QVERIFY(!QFile::exists(dir.filePath("readme.txt")));
        QVERIFY(fake.fs.calls.isEmpty());
    }
}

void TestFrmTip::untickingTurnsStartupTipsOff()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    platform::FakeServices fake(dir.path());
    const bool requested = false;
    frmTip tip(fake.services(), requested);
    tip.show();
    QVERIFY(QTest::qWaitForWindowExposed(&tip));
    auto* box = tip.findChild<QCheckBox*>("chkLoadTipsAtStartup");
    QTest::mouseClick(box, Qt::LeftButton, {}, box->rect().center());
    QVERIFY(!box->isChecked());
    QCOMPARE(fake.settings.writes, (QStringList{kSetting + "=1", kSetting + "=0"}));
    QTest::mouseClick(box, Qt::LeftButton, {}, box->rect().center());
    QCOMPARE(fake.settings.writes.last(), kSetting + "=1");

    // The next start-up load sees "0" and closes.
    QTest::mouseClick(box, Qt::LeftButton, {}, box->rect().center());
    frmTip again(fake.services(), requested);
    QVERIFY(again.closedWhileLoading());
}

void TestFrmTip::tipsFileWrittenWhenMissingOrEmpty_data()
{
    QTest::addColumn<bool>("exists");
    QTest::newRow("missing") << false;
    QTest::newRow("empty") << true;
}

void TestFrmTip::tipsFileWrittenWhenMissingOrEmpty()
{
    QFETCH(bool, exists);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("readme.txt");
    if (exists)
        writeFile(path, {});
    platform::FakeServices fake(dir.path());
    const bool requested = true;
    frmTip tip(fake.services(), requested);

    QCOMPARE(readFile(path), builtInFile());
    QCOMPARE(tipText(tip), kBuiltInTips.first());
    for (int i = 1; i < 11; ++i)
        next(tip);
    QCOMPARE(tipText(tip), kBuiltInTips.last());
    next(tip);
    QCOMPARE(tipText(tip), kBuiltInTips.first());
}

void TestFrmTip::existingFileIsKept()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("readme.txt");
    writeFile(path, "only\n");
    platform::FakeServices fake(dir.path());
    const bool requested = true;
    frmTip tip(fake.services(), requested);
    QCOMPARE(readFile(path), QByteArray("only\n"));
    QVERIFY(fake.fs.pathsOf(platform::FaultyFileSystem::Op::WriteFile).isEmpty());
    QCOMPARE(tipText(tip), QStringLiteral("only"));
}

void TestFrmTip::unreadableFileIsNeverReplaced_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("unreadable") << "unreadable";
    QTest::newRow("read-only and empty") << "read-only";
    QTest::newRow("link to an empty file") << "link";
    QTest::newRow("dangling link") << "dangling";
    QTest::newRow("folder") << "folder";
}

void TestFrmTip::unreadableFileIsNeverReplaced()
{
    QFETCH(QString, kind);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("readme.txt");
    platform::FakeServices fake(dir.path());
    QByteArray before = "user's own tips\r\n";
    if (kind == "unreadable") {
        writeFile(path, before);
        fake.fs.failOn(platform::FaultyFileSystem::Op::ReadFile, QFile::encodeName(path));
    } else if (kind == "read-only") {
        before.clear();
        writeFile(path, before);
        QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner));
    } else if (kind == "link" || kind == "dangling") {
        before = kind == "link" ? QByteArray() : QByteArray("<missing>");
        if (kind == "link")
            writeFile(dir.filePath("target.txt"), {});
        QVERIFY(QFile::link(dir.filePath("target.txt"), path));
    } else {
        before = "<missing>";
        QVERIFY(QDir().mkdir(path));
    }
    const bool requested = true;
    frmTip tip(fake.services(), requested);
    QVERIFY(!tip.closedWhileLoading());
    QCOMPARE(tipText(tip), QString()); // the empty state
    QVERIFY(fake.fs.pathsOf(platform::FaultyFileSystem::Op::WriteFile).isEmpty());
    QCOMPARE(readFile(path), before);
    QCOMPARE(QFileInfo(path).isSymLink(), kind == "link" || kind == "dangling");
    QVERIFY(fake.messages.shown.isEmpty());
}

void TestFrmTip::nextTipWraps_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QStringList>("shown"); // on load, then after each press
    QTest::newRow("three lines") << QByteArray("one\r\ntwo\r\nthree\r\n") << QStringList{"one", "two", "three", "one"};
    QTest::newRow("one line") << QByteArray("alone\r\n") << QStringList{"alone", "alone", "alone"};
    QTest::newRow("empty line is a tip") << QByteArray("a\r\n\r\nc") << QStringList{"a", "", "c", "a"};
    QTest::newRow("mixed line ends") << QByteArray("a\nb\rc\r\n") << QStringList{"a", "b", "c", "a"};
}

void TestFrmTip::nextTipWraps()
{
    QFETCH(QByteArray, file);
    QFETCH(QStringList, shown);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    writeFile(dir.filePath("readme.txt"), file);
    platform::FakeServices fake(dir.path());
    const bool requested = true;
    frmTip tip(fake.services(), requested);
    QCOMPARE(tipText(tip), shown.first());
    for (qsizetype i = 1; i < shown.size(); ++i) {
        next(tip);
        QCOMPARE(tipText(tip), shown[i]);
    }
}

void TestFrmTip::unwritableFolderLeavesLabelEmpty()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    platform::FakeServices fake(dir.path());
    fake.fs.failOn(platform::FaultyFileSystem::Op::WriteFile, [](const QByteArray&) { return true; });
    const bool requested = true;
    frmTip tip(fake.services(), requested);
    QVERIFY(!tip.closedWhileLoading());
    QCOMPARE(tipText(tip), QString());
    next(tip); // nothing to show, nothing breaks
    QCOMPARE(tipText(tip), QString());
    QVERIFY(fake.messages.shown.isEmpty());
}

void TestFrmTip::okCloses()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    platform::FakeServices fake(dir.path());
    const bool requested = true;
    frmTip tip(fake.services(), requested);
    tip.show();
    QVERIFY(QTest::qWaitForWindowExposed(&tip));
    QTest::keyClick(&tip, Qt::Key_Escape);
    QVERIFY(!tip.isVisible());
    tip.show();
    QTest::mouseClick(tip.findChild<QPushButton*>("cmdOK"), Qt::LeftButton);
    QVERIFY(!tip.isVisible());
}

KORVANE_TEST_MAIN(TestFrmTip)
#include "tst_helpwindows_frmtip.moc"
