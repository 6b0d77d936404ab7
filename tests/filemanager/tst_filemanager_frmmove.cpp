#include "filemanager/frmmove.h"
#include "platform/fakes/fakeservices.h"
#include "support/runs.h"
#include "support/testtree.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QtTest>

#include "support/testmain.h"
#include <memory>

using namespace korvane;
using filemanager::frmmove;
using platform::FakeServices;
using platform::MessageIcon;

using testsupport::bytesOf;
using testsupport::filesIn;
using testsupport::waitForRuns;
using testsupport::writeFile;

class TestFrmmove : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void startsAsDesigned();
    void optionSetsCodeAndTargetRow_data();
    void optionSetsCodeAndTargetRow();
    void folderButtons();
    void addFilters_data();
    void addFilters();
    void addFiltersReportsAnUnwritableSettingFile();
    void refusalsShowTheirMessage_data();
    void refusalsShowTheirMessage();
    void runDoesWhatTheDialogSays_data();
    void runDoesWhatTheDialogSays();
    void emptyTypeListMessage();
    void overwriteBoxDecidesOverExistingFiles_data();
    void overwriteBoxDecidesOverExistingFiles();
    void secondStartDuringARunDoesNothing();
    void targetFolderIsKnownByDeviceAndInode_data();
    void targetFolderIsKnownByDeviceAndInode();
    void closeButtonCloses();

private:
    template <typename T> T* control(const char* name) const
    {
        T* c = m_window->findChild<T*>(QString::fromLatin1(name));
        if (!c)
            qFatal("no control %s", name);
        return c;
    }
    QRadioButton* option(int index) const;
    void click(const char* button) { QTest::mouseClick(control<QPushButton>(button), Qt::LeftButton); }
    /// Source, target, "*.txt", the operation's option, then 开始.
    void runTextFiles(const QString& source, const QString& target, int option);
    /// Two folders with one file each, subfolders on, "delete" with a blank type list; the source.
    QString deleteTwoFoldersWithBlankTypeList(const QString& typeList);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<FakeServices> m_fakes;
    std::unique_ptr<frmmove> m_window;
};

QRadioButton* TestFrmmove::option(int index) const
{
    for (QRadioButton* b : m_window->findChildren<QRadioButton*>(QStringLiteral("Option1")))
        if (b->property("Index").toInt() == index)
            return b;
    qFatal("no Option1(%d)", index);
}

void TestFrmmove::runTextFiles(const QString& source, const QString& target, int option)
{
    control<QLineEdit>("Text1")->setText(source);
    control<QLineEdit>("Text2")->setText(target);
    control<QComboBox>("Combo1")->setCurrentIndex(1); // *.txt
    QTest::mouseClick(this->option(option), Qt::LeftButton);
    click("Command3");
    QVERIFY(waitForRuns());
}

void TestFrmmove::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QDir().mkpath(m_dir->filePath("program"));
    m_fakes = std::make_unique<FakeServices>(m_dir->filePath("program"));
    m_window = std::make_unique<frmmove>(m_fakes->services());
    m_window->show();
}

void TestFrmmove::cleanup()
{
    m_window.reset();
    m_fakes.reset();
    m_dir.reset();
}

void TestFrmmove::startsAsDesigned()
{
    QCOMPARE(m_window->objectName(), QStringLiteral("frmmove"));
    QCOMPARE(m_window->windowTitle(), QStringLiteral("文件批量管理"));
    QCOMPARE(m_window->size(), QSize(384, 252));
    auto* combo = control<QComboBox>("Combo1");
    QVERIFY(combo->isEditable());
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items << combo->itemText(i);
    QCOMPARE(items, QStringList({"*.exe", "*.txt", "*.jpg", "*.rm", "*.rar"}));
    QCOMPARE(combo->currentText(), QStringLiteral("*.exe"));
    QCOMPARE(m_window->operationCode(), qint16(1));
    QVERIFY(option(0)->isChecked());
    QVERIFY(control<QCheckBox>("Check1")->isChecked());
    QVERIFY(control<QCheckBox>("Check2")->isChecked());
    QVERIFY(!control<QCheckBox>("Check3")->isChecked());
    QCOMPARE(control<QLineEdit>("Text3")->text(), QStringLiteral("txt"));
    QVERIFY(control<QLineEdit>("Text1")->text().isEmpty());
    QVERIFY(control<QLineEdit>("Text2")->text().isEmpty());
    QCOMPARE(control<QPushButton>("Command3")->text(), QStringLiteral("开始"));
    QCOMPARE(control<QWidget>("Text2")->geometry(), QRect(24, 64, 185, 18));
}

void TestFrmmove::optionSetsCodeAndTargetRow_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<bool>("targetRow");
    QTest::newRow("移动") << 0 << true;
    QTest::newRow("复制") << 1 << true;
    QTest::newRow("删除") << 2 << false;
    QTest::newRow("强制删除") << 3 << false;
}

void TestFrmmove::optionSetsCodeAndTargetRow()
{
    QFETCH(int, index);
    QFETCH(bool, targetRow);
    // From the other kind of option first, so both directions are seen.
    QTest::mouseClick(option(targetRow ? 3 : 0), Qt::LeftButton);
    QTest::mouseClick(option(index), Qt::LeftButton);
    QCOMPARE(m_window->operationCode(), qint16(index + 1));
    QCOMPARE(control<QLabel>("Label2")->isVisible(), targetRow);
    QCOMPARE(control<QLineEdit>("Text2")->isVisible(), targetRow);
    QCOMPARE(control<QCheckBox>("Check2")->isVisible(), targetRow);
    QVERIFY(control<QPushButton>("Command4")->isVisible());
    QVERIFY(control<QPushButton>("Command5")->isVisible());
}

void TestFrmmove::folderButtons()
{
    auto* text1 = control<QLineEdit>("Text1");
    auto* text2 = control<QLineEdit>("Text2");
    m_fakes->folders.answers << "/data/源";
    click("Command1");
    QCOMPARE(text1->text(), QStringLiteral("/data/源"));
    click("Command1"); // cancelled
    QCOMPARE(text1->text(), QStringLiteral("/data/源"));
    m_fakes->folders.answers << "/";
    click("Command4");
    QCOMPARE(text2->text(), QStringLiteral("/"));
    QCOMPARE(m_fakes->folders.prompts, QStringList(3, QStringLiteral("请选择文件夹：")));
    click("Command2");
    click("Command5");
    QCOMPARE(text1->text(), m_dir->filePath("program"));
    QCOMPARE(text2->text(), m_dir->filePath("program"));
}

void TestFrmmove::addFilters_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QStringList>("added");
    QTest::newRow("chm; doc") << "chm; doc" << QStringList{"chm", "doc"};
    QTest::newRow("cancelled") << "" << QStringList{};
    QTest::newRow("chm;") << "chm;" << QStringList{"chm", ""};
}

void TestFrmmove::addFilters()
{
    QFETCH(QString, answer);
    QFETCH(QStringList, added);
    const QString setting = m_dir->filePath("program/setting.txt");
    writeFile(setting, "stale content that is longer than the new line\r\n");
    control<QLineEdit>("Text1")->setText("  /home/用户/下载 ");
    if (!answer.isEmpty())
        m_fakes->input.answers << answer;
    QTest::mouseClick(control<QLabel>("Label3"), Qt::LeftButton);

    QCOMPARE(m_fakes->input.prompts, QStringList{"输入要过滤的文件扩展名,如有多个,请务必以分号分隔!示例:chm;doc"});
    auto* combo = control<QComboBox>("Combo1");
    QStringList tail;
    for (int i = 5; i < combo->count(); ++i)
        tail << combo->itemText(i);
    QCOMPARE(tail, added);
    QFile f(setting);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), QStringLiteral("filter=/home/用户/下载\r\n").toUtf8());
    QVERIFY(m_fakes->messages.shown.isEmpty());
}

void TestFrmmove::addFiltersReportsAnUnwritableSettingFile()
{
    m_fakes->fs.failOn(platform::FaultyFileSystem::Op::WriteFile, [](const QByteArray&) { return true; });
    m_fakes->input.answers << "doc";
    QTest::mouseClick(control<QLabel>("Label3"), Qt::LeftButton);
    QCOMPARE(control<QComboBox>("Combo1")->itemText(5), QStringLiteral("doc"));
    QCOMPARE(m_fakes->messages.shown.size(), 1);
    QVERIFY(m_fakes->messages.shown[0].text.contains("setting.txt"));
}

void TestFrmmove::refusalsShowTheirMessage_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("target");
    QTest::addColumn<int>("option");
    QTest::addColumn<QString>("message");
    QTest::newRow("no source") << ""
                               << "@" << 0 << "必须先指定源!";
    QTest::newRow("missing source") << "@/nothing"
                                    << "@" << 2 << "指定的源目录不存在!";
    QTest::newRow("no target") << "@"
                               << "" << 1 << "必须先指定目标!";
    QTest::newRow("missing target") << "@"
                                    << "@/nothing" << 0 << "指定的目标目录不存在!";
}

void TestFrmmove::refusalsShowTheirMessage()
{
    QFETCH(QString, source);
    QFETCH(QString, target);
    QFETCH(int, option);
    QFETCH(QString, message);
    writeFile(m_dir->filePath("a.exe"), "a");
    control<QLineEdit>("Text1")->setText(source.replace("@", m_dir->path()));
    control<QLineEdit>("Text2")->setText(target.replace("@", m_dir->path()));
    QTest::mouseClick(this->option(option), Qt::LeftButton);
    click("Command3");
    QVERIFY(waitForRuns());
    QCOMPARE(m_fakes->messages.shown.size(), 1);
    QCOMPARE(m_fakes->messages.shown[0].text, message);
    QCOMPARE(m_fakes->messages.shown[0].icon, MessageIcon::Information);
    QVERIFY(QFile::exists(m_dir->filePath("a.exe")));
    QVERIFY(m_fakes->fs.pathsOf(platform::FaultyFileSystem::Op::List).isEmpty());
}

void TestFrmmove::runDoesWhatTheDialogSays_data()
{
    QTest::addColumn<int>("option");
    QTest::addColumn<bool>("subfolders");
    QTest::addColumn<QStringList>("leftInSource");
    QTest::addColumn<QStringList>("inTarget");
    const QStringList all{"a.txt", "b.TXT", "keep.dat", "sub/c.txt", "sub/keep.doc"};
    QTest::newRow("move, subfolders") << 0 << true << QStringList{"keep.dat", "sub/keep.doc"}
                                      << QStringList{"a.txt", "b.TXT", "c.txt", "old.txt"};
    QTest::newRow("copy, top only") << 1 << false << all << QStringList{"a.txt", "b.TXT", "old.txt"};
    QTest::newRow("delete") << 2 << true << QStringList{"keep.dat", "sub/keep.doc"} << QStringList{"old.txt"};
    QTest::newRow("force delete") << 3 << true << QStringList{"keep.dat", "sub/keep.doc"} << QStringList{"old.txt"};
}

void TestFrmmove::runDoesWhatTheDialogSays()
{
    QFETCH(int, option);
    QFETCH(bool, subfolders);
    QFETCH(QStringList, leftInSource);
    QFETCH(QStringList, inTarget);
    const QString src = m_dir->filePath("src"), dst = m_dir->filePath("dst");
    for (const char* p : {"a.txt", "b.TXT", "keep.dat", "sub/c.txt", "sub/keep.doc"})
        writeFile(src + "/" + p, p);
    writeFile(dst + "/old.txt", "old");
    QFile::setPermissions(src + "/b.TXT", QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);

    control<QCheckBox>("Check1")->setChecked(subfolders);
    runTextFiles(src, dst, option);

    QStringList left = filesIn(src);
    for (const QString& name : filesIn(src + "/sub"))
        left << "sub/" + name;
    if (option == 2) // a plain delete leaves the read-only file
        leftInSource.prepend("b.TXT");
    QCOMPARE(left, leftInSource);
    QCOMPARE(filesIn(dst), inTarget);
    if (option != 2) {
        QVERIFY(m_fakes->messages.shown.isEmpty()); // a run that did everything ends in silence
        return;
    }
    // The one file left is named at the end, why in the details.
    QCOMPARE(m_fakes->messages.texts(),
             QStringList{QStringLiteral("文件操作已结束,但以下 1 个文件未能处理:\n\n") + src + "/b.TXT"});
    QCOMPARE(m_fakes->messages.shown[0].icon, MessageIcon::Information);
    QCOMPARE(m_fakes->messages.shown[0].details, src + QStringLiteral("/b.TXT: 文件是只读的"));
}

QString TestFrmmove::deleteTwoFoldersWithBlankTypeList(const QString& typeList)
{
    const QString src = m_dir->filePath("src");
    writeFile(src + "/one/a.txt", "a");
    writeFile(src + "/two/b.txt", "b");
    control<QLineEdit>("Text1")->setText(src);
    control<QCheckBox>("Check3")->setChecked(true);
    control<QLineEdit>("Text3")->setText(typeList);
    QTest::mouseClick(option(3), Qt::LeftButton);
    return src;
}

void TestFrmmove::emptyTypeListMessage()
{
    const QString src = deleteTwoFoldersWithBlankTypeList("  ");
    click("Command3");
    QVERIFY(waitForRuns());
    QCOMPARE(m_fakes->messages.texts(), QStringList(2, QStringLiteral("已选中操作多种类型文件,但没有指定!")));
    QCOMPARE(m_fakes->messages.shown[0].icon, MessageIcon::Information);
    QVERIFY(QFile::exists(src + "/one/a.txt"));
    QVERIFY(QFile::exists(src + "/two/b.txt"));
}

void TestFrmmove::overwriteBoxDecidesOverExistingFiles_data()
{
    QTest::addColumn<int>("option");
    QTest::addColumn<bool>("overwrite");
    QTest::addColumn<QByteArray>("targetAfter");
    QTest::addColumn<bool>("sourceKept");
    QTest::newRow("copy, 覆盖 off") << 1 << false << QByteArray("old bytes") << true;
    QTest::newRow("copy, 覆盖 on") << 1 << true << QByteArray("new") << true;
    QTest::newRow("move, 覆盖 off") << 0 << false << QByteArray("old bytes") << true;
    QTest::newRow("move, 覆盖 on: a move never replaces") << 0 << true << QByteArray("old bytes") << true;
}

void TestFrmmove::overwriteBoxDecidesOverExistingFiles()
{
    QFETCH(int, option);
    QFETCH(bool, overwrite);
    QFETCH(QByteArray, targetAfter);
    QFETCH(bool, sourceKept);
    const QString src = m_dir->filePath("src"), dst = m_dir->filePath("dst");
    writeFile(src + "/a.txt", "new");
    writeFile(dst + "/a.txt", "old bytes");

    control<QCheckBox>("Check2")->setChecked(overwrite);
    runTextFiles(src, dst, option);

    QCOMPARE(bytesOf(dst + "/a.txt"), targetAfter);
    QCOMPARE(QFile::exists(src + "/a.txt"), sourceKept);
    QCOMPARE(filesIn(dst), QStringList{"a.txt"});
    QCOMPARE(m_fakes->messages.shown.size(), targetAfter == "new" ? 0 : 1); // a file left is told
}

void TestFrmmove::secondStartDuringARunDoesNothing()
{
    const QString src = deleteTwoFoldersWithBlankTypeList(" ");

    // The run asks about the empty type list while it is going: start again from there, once
    // by the button and once by the handler itself, with a source that a start would refuse.
    int nestedCalls = -1;
    int nestedMessages = -1;
    bool started = false;
    m_fakes->messages.onShow = [&](const platform::FakeMessageBoxes::Shown&) {
        if (started)
            return;
        started = true;
        control<QLineEdit>("Text1")->setText(m_dir->filePath("missing"));
        const qsizetype calls = m_fakes->fs.calls.size();
        const qsizetype messages = m_fakes->messages.shown.size();
        click("Command3");
        m_window->Command3_Click();
        nestedCalls = int(m_fakes->fs.calls.size() - calls);
        nestedMessages = int(m_fakes->messages.shown.size() - messages);
        control<QLineEdit>("Text1")->setText(src);
    };
    click("Command3");
    QVERIFY(waitForRuns());

    QVERIFY(started);
    QCOMPARE(nestedCalls, 0);
    QCOMPARE(nestedMessages, 0);
    QCOMPARE(m_fakes->messages.texts(), QStringList(2, QStringLiteral("已选中操作多种类型文件,但没有指定!")));
}

void TestFrmmove::targetFolderIsKnownByDeviceAndInode_data()
{
    QTest::addColumn<bool>("sameDevice");
    QTest::addColumn<QStringList>("inTarget");
    QTest::addColumn<QStringList>("leftInSub");
    QTest::newRow("same inode on another device: walked") << false << QStringList{"a.txt", "c.txt"} << QStringList{};
    QTest::newRow("same device and inode: the target, not walked")
        << true << QStringList{"a.txt"} << QStringList{"c.txt"};
}

void TestFrmmove::targetFolderIsKnownByDeviceAndInode()
{
    QFETCH(bool, sameDevice);
    QFETCH(QStringList, inTarget);
    QFETCH(QStringList, leftInSub);
    const QString src = m_dir->filePath("src"), dst = m_dir->filePath("dst");
    writeFile(src + "/a.txt", "a");
    writeFile(src + "/sub/c.txt", "c");
    QDir().mkpath(dst);
    const auto target = m_fakes->fs.info(QFile::encodeName(dst));
    QVERIFY(target);
    platform::FileInfo sub = *target;
    if (!sameDevice)
        sub.device += 1;
    m_fakes->fs.scriptInfo(QFile::encodeName(src + "/sub"), sub);

    control<QCheckBox>("Check1")->setChecked(true);
    runTextFiles(src, dst, 0);

    QCOMPARE(filesIn(dst), inTarget);
    QCOMPARE(filesIn(src + "/sub"), leftInSub);
    QCOMPARE(m_window->lastReport().skippedTargetFolders.size(), sameDevice ? 1 : 0);
}

void TestFrmmove::closeButtonCloses()
{
    QVERIFY(m_window->isVisible());
    click("Command6");
    QVERIFY(!m_window->isVisible());
}

KORVANE_TEST_MAIN(TestFrmmove)
#include "tst_filemanager_frmmove.moc"
