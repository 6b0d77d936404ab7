#include "batchlist/frmcompile.h"
#include "platform/fakes/fakeservices.h"
#include "platform/interaction.h"
#include "platform/nativepath.h"
#include "platform/qtprogramstarter.h"
#include "support/drops.h"
#include "support/runs.h"
#include "support/testtree.h"

#include "support/testmain.h"
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using korvane::testsupport::waitForRuns;
using korvane::testsupport::writeFile;
using namespace korvane::batchlist;
using korvane::platform::FakeServices;
using korvane::platform::FaultyFileSystem;
using korvane::platform::MessageIcon;

namespace {

const QString kWelcome = QStringLiteral("欢迎使用VB工程批量编译工具!\n\n");
const QString kEmptyPath = QStringLiteral("文件路径为空!无法添加!");
const QString kDuplicate = QStringLiteral("VB工程批量编译列表已存在相同项，请勿重复添加");
const QString kBadCompiler = QStringLiteral("指定的编译器路径错误!");

QString countText(int n)
{
    return QStringLiteral("列表中有%1个工程文件等待编译").arg(n);
}

/// Fails the way the fakes do when a step runs on the wrong side.
void requireUiThread(bool wanted, const char* who)
{
    if (korvane::platform::onUserInterfaceThread() != wanted)
        qFatal("%s called %s the user-interface thread", who, wanted ? "off" : "on");
}

/// Hooks that record what they see; they run on the worker and reach no widget.
class RecordingHooks final : public BatchRunHooks {
public:
    QStringList calls;      ///< hooks in the order they ran
    QStringList infoAtComp; ///< the box's last line when comp ran
    bool obtain = true;     ///< what beforeListCheck answers
    QString failFor;        ///< comp reports a failure for this entry
    QString path;           ///< Text1 when the run began
    QPlainTextEdit* box = nullptr;

    bool beforeListCheck(BatchRunContext&) override
    {
        requireUiThread(false, "beforeListCheck");
        calls << "beforeListCheck " + path;
        return obtain;
    }
    bool prepareRun(BatchRunContext&, const std::vector<BatchEntry>& entries) override
    {
        calls << "prepareRun " + QString::number(entries.size());
        return true;
    }
    QStringList comp(BatchRunContext&, const BatchEntry& entry) override
    {
        requireUiThread(false, "comp");
        calls << "comp " + entry.text + "|" + QString::fromUtf8(entry.path);
        QString last;
        QMetaObject::invokeMethod(
            box, [&] { last = box->toPlainText().section('\n', -2, -2); }, Qt::BlockingQueuedConnection);
        infoAtComp << last;
        return entry.text == failFor ? QStringList{"failed " + entry.text} : QStringList{};
    }
    void completeRun(BatchRunContext& run, const std::vector<BatchEntry>& entries) override
    {
        QStringList texts;
        for (const BatchEntry& e : entries)
            texts << e.text;
        calls << "completeRun " + texts.join(',');
        run.afterRun << "after " + QString::number(entries.size());
    }
};

/// The shared window configured to log first, with recording hooks.
class LogFirstWindow final : public BatchListWindow {
public:
    explicit LogFirstWindow(korvane::platform::Services& services) : BatchListWindow(services, config(), nullptr)
    {
        finishLoad({});
        hooks.box = findChild<QPlainTextEdit*>("Text3");
    }
    RecordingHooks hooks;
    QStringList unloads;

protected:
    BatchRunHooks& runHooks() override
    {
        requireUiThread(true, "runHooks");
        hooks.path = findChild<QLineEdit*>("Text1")->text();
        return hooks;
    }
    void Form_Unload() override { unloads << "Form_Unload"; }

private:
    static BatchListConfig config()
    {
        BatchListConfig c;
        c.objectName = "logFirst";
        c.caption = "log first";
        c.extensions = "doc";
        c.welcome = "欢迎";
        c.countSuffix = "个文档等待加密";
        c.emptyListMessage = "empty";
        c.logPrefix = "加密文档 ";
        c.logOrder = LogOrder::LogThenComp;
        c.announceCompletion = true;
        return c;
    }
};

/// The window under test with handy access to its controls.
struct Fixture {
    FakeServices fakes;
    frmCompile w{fakes.services()};
    QLineEdit* text1 = w.findChild<QLineEdit*>("Text1");
    QLineEdit* text2 = w.findChild<QLineEdit*>("Text2");
    QListWidget* list1 = w.findChild<QListWidget*>("List1");
    QLabel* label4 = w.findChild<QLabel*>("Label4");
    QPlainTextEdit* text3 = w.findChild<QPlainTextEdit*>("Text3");

    void type(const QString& path)
    {
        text1->setText(path);
        w.Command1_Click();
    }
    QStringList entries() const
    {
        QStringList result;
        for (int i = 0; i < list1->count(); ++i)
            result << list1->item(i)->text();
        return result;
    }
};

} // namespace

class TestBatchListWindow : public QObject {
    Q_OBJECT
private slots:
    void layout();
    void emptyPath_data();
    void emptyPath();
    void duplicates();
    void fileChoosers();
    void addFolder_data();
    void addFolder();
    void addFolderLimit();
    void dropFilesAndFolders();
    void removeAndClear();
    void resetInformation();
    void runRefusals_data();
    void runRefusals();
    void runStartsEveryProject();
    void runReportsStartFailure();
    void realCompilerGetsArguments();
    void appendIsIncremental();
    void extensionHooks();
};

void TestBatchListWindow::layout()
{
    QWidget main;
    main.move(200, 150);
    FakeServices fakes;
    fakes.services().mainWindow = &main;
    frmCompile w(fakes.services());
    QCOMPARE(w.objectName(), QStringLiteral("frmCompile"));
    QCOMPARE(w.windowTitle(), QStringLiteral("VB6工程批量编译"));
    QCOMPARE(w.size(), QSize(440, 535));
    QCOMPARE(w.pos(), main.frameGeometry().topLeft());
    QCOMPARE(w.findChild<QPushButton*>("Command2")->text(), QStringLiteral("开始编译"));
    QCOMPARE(w.findChild<QPushButton*>("Command1")->geometry(), QRect(312, 80, 65, 33));
    QCOMPARE(w.findChild<QPlainTextEdit*>("Text3")->geometry(), QRect(8, 352, 417, 177));
    QVERIFY(w.findChild<QLabel*>("Label1")->width() >= 313);
    QCOMPARE(w.findChild<QLabel*>("Label1")->pos(), QPoint(8, 264));
    QCOMPARE(w.findChild<QLineEdit*>("Text2")->text(),
             QDir::homePath() + "/.wine/drive_c/Program Files/Microsoft Visual Studio/VB98/VB6.EXE");
    QVERIFY(w.findChild<QPlainTextEdit*>("Text3")->isReadOnly());
    QCOMPARE(w.findChild<QPlainTextEdit*>("Text3")->toPlainText(), kWelcome);
    QVERIFY(w.findChild<QLabel*>("Label4")->text().isEmpty());
    QCOMPARE(w.findChild<QPushButton*>("Command5")->palette().color(QPalette::Button), QColor(192, 192, 255));

    // Tab order: the shared controls, then the compiler path.
    QStringList order;
    QWidget* widget = w.findChild<QWidget*>("Command7");
    for (int i = 0; i < 11; ++i, widget = widget->nextInFocusChain()) {
        while (widget->focusPolicy() == Qt::NoFocus || widget->objectName().isEmpty())
            widget = widget->nextInFocusChain();
        order << widget->objectName();
    }
    QCOMPARE(order, QStringList({"Command7", "Command6", "Command4", "Command5", "Command3", "List1", "Command2",
                                 "Command1", "Text1", "Text3", "Text2"}));
}

void TestBatchListWindow::emptyPath_data()
{
    QTest::addColumn<QString>("typed");
    QTest::newRow("empty") << "";
    QTest::newRow("spaces") << "    ";
}

void TestBatchListWindow::emptyPath()
{
    QFETCH(QString, typed);
    Fixture f;
    f.type(typed);
    QCOMPARE(f.fakes.messages.texts(), QStringList{kEmptyPath});
    QCOMPARE(f.fakes.messages.shown.first().icon, MessageIcon::Information);
    QVERIFY(f.text1->text().isEmpty());
    QCOMPARE(f.list1->count(), 0);
    QCOMPARE(f.label4->text(), countText(0));
}

void TestBatchListWindow::duplicates()
{
    Fixture f;
    f.type("D:/a.vbp");
    QVERIFY(f.text1->text().isEmpty());
    QCOMPARE(f.label4->text(), countText(1));
    f.label4->setText("marker");
    f.type("D:/a.vbp");
    QCOMPARE(f.fakes.messages.texts(), QStringList{kDuplicate});
    QCOMPARE(f.text1->text(), QStringLiteral("D:/a.vbp")); // kept for correcting
    QCOMPARE(f.label4->text(), QStringLiteral("marker"));  // not refreshed
    f.type("d:/A.VBP");
    f.type("D:/a.vbp ");
    QCOMPARE(f.entries(), QStringList({"D:/a.vbp", "d:/A.VBP", "D:/a.vbp "}));
    QCOMPARE(f.label4->text(), countText(3));
    QCOMPARE(f.list1->item(1)->data(Qt::UserRole).toByteArray(), QByteArray("d:/A.VBP"));
    // Removing an entry lets it be added again.
    f.list1->setCurrentRow(0);
    f.w.Command3_Click();
    f.type("D:/a.vbp");
    QCOMPARE(f.entries(), QStringList({"d:/A.VBP", "D:/a.vbp ", "D:/a.vbp"}));
    QCOMPARE(f.fakes.messages.shown.size(), 1);
}

void TestBatchListWindow::fileChoosers()
{
    Fixture f;
    f.text1->setText("kept");
    f.w.Image1_Click(); // cancelled
    QCOMPARE(f.text1->text(), QStringLiteral("kept"));
    f.fakes.files.openAnswers << "/x/chosen.vbp";
    f.w.Image1_Click();
    QCOMPARE(f.text1->text(), QStringLiteral("/x/chosen.vbp"));
    QCOMPARE(f.list1->count(), 0); // nothing added yet

    f.fakes.files.openAnswers << "/opt/vb/other.exe";
    auto* image2 = f.w.findChild<QWidget*>("Image2");
    QVERIFY(image2);
    QTest::mouseClick(image2, Qt::LeftButton);
    QCOMPARE(f.text2->text(), QStringLiteral("/opt/vb/other.exe"));
    f.w.Image2_Click(); // cancelled: unchanged
    QCOMPARE(f.text2->text(), QStringLiteral("/opt/vb/other.exe"));
    QCOMPARE(f.fakes.files.openFilters,
             QStringList({"工程文件|*.vbp|所有文件|*.*", "工程文件|*.vbp|所有文件|*.*", "可执行文件|*.exe|所有文件|*.*",
                          "可执行文件|*.exe|所有文件|*.*"}));
}

void TestBatchListWindow::addFolder_data()
{
    QTest::addColumn<QStringList>("files");    // relative; a trailing "/" makes a folder
    QTest::addColumn<QString>("unreadable");   // relative folder whose listing fails
    QTest::addColumn<QStringList>("expected"); // entries, relative, in walk order (one folder each)
    QTest::addColumn<QStringList>("messages");

    QTest::newRow("empty folder") << QStringList{} << "" << QStringList{} << QStringList{"所选文件夹是空的!"};
    QTest::newRow("only an empty subfolder") << QStringList{"sub/"} << "" << QStringList{} << QStringList{};
    QTest::newRow("matches in any case") << QStringList{"sub/A.VBP", "sub/b.vbpx", "sub/cvbp"} << ""
                                         << QStringList{"sub/A.VBP", "sub/cvbp"} << QStringList{};
    QTest::newRow("chosen folder unreadable")
        << QStringList{"a.vbp"} << "." << QStringList{} << QStringList{"无法读取所选文件夹!"};
    QTest::newRow("readable part of the tree") << QStringList{"a.vbp", "locked/b.vbp", "open/c.vbp"} << "locked"
                                               << QStringList{"a.vbp", "open/c.vbp"} << QStringList{};
}

void TestBatchListWindow::addFolder()
{
    QFETCH(QStringList, files);
    QFETCH(QString, unreadable);
    QFETCH(QStringList, expected);
    QFETCH(QStringList, messages);
    QTemporaryDir dir;
    for (const QString& file : files) {
        if (file.endsWith('/'))
            QVERIFY(QDir().mkpath(dir.filePath(file)));
        else
            writeFile(dir.filePath(file));
    }
    Fixture f;
    if (!unreadable.isEmpty())
        f.fakes.fs.failOn(FaultyFileSystem::Op::List, QFile::encodeName(QDir::cleanPath(dir.filePath(unreadable))));

    f.w.Command4_Click(); // cancelled: nothing at all
    QVERIFY(waitForRuns());
    QVERIFY(f.fakes.messages.shown.isEmpty());
    QVERIFY(f.label4->text().isEmpty());

    f.fakes.folders.answers << dir.path();
    f.w.Command4_Click();
    QVERIFY(waitForRuns());
    QCOMPARE(f.fakes.folders.prompts.last(), QStringLiteral("请选择想添加的文件夹："));
    QStringList got = f.entries();
    got.sort();
    QStringList want;
    for (const QString& e : expected)
        want << dir.filePath(e);
    QCOMPARE(got, want);
    QCOMPARE(f.fakes.messages.texts(), messages);
    QCOMPARE(f.label4->text(), countText(int(expected.size())));
    for (int i = 0; i < f.list1->count(); ++i)
        QCOMPARE(f.list1->item(i)->data(Qt::UserRole).toByteArray(), QFile::encodeName(f.list1->item(i)->text()));

    // A second walk finds only duplicates.
    f.fakes.folders.answers << dir.path();
    f.w.Command4_Click();
    QVERIFY(waitForRuns());
    QCOMPARE(f.list1->count(), expected.size());
}

void TestBatchListWindow::dropFilesAndFolders()
{
    // A dropped file goes in as a typed one (any type), a dropped folder is walked for the
    // window's types; a name that is not UTF-8 keeps its bytes.
    korvane::testsupport::TestTree tree;
    const QByteArray gbk = tree.file("\xc4\xe3\xba\xc3.txt");
    tree.file("sub/a.vbp");
    tree.file("sub/deeper/b.vbp");
    tree.file("sub/c.txt");
    Fixture f;
    QVERIFY(korvane::testsupport::dropFiles(f.list1, {gbk, tree.path("sub")}));
    QVERIFY(waitForRuns());
    QStringList got = f.entries();
    QCOMPARE(got.size(), 3);
    QCOMPARE(f.list1->item(0)->data(Qt::UserRole).toByteArray(), gbk);
    QCOMPARE(got.mid(1), (QStringList{tree.text("sub/a.vbp"), tree.text("sub/deeper/b.vbp")}));
    QCOMPARE(f.label4->text(), countText(3));
    // Dropped again: the file is refused as a duplicate, once.
    QVERIFY(korvane::testsupport::dropFiles(f.list1, {gbk}));
    QCOMPARE(f.fakes.messages.texts(), QStringList{kDuplicate});
    // The path box takes one path, and refuses two.
    QVERIFY(korvane::testsupport::dropFiles(f.text1, {tree.path("sub/c.txt")}));
    QCOMPARE(f.text1->text(), tree.text("sub/c.txt"));
    QVERIFY(!korvane::testsupport::dropFiles(f.text1, {gbk, tree.path("sub")}));
    QCOMPARE(f.text1->text(), tree.text("sub/c.txt"));
}

void TestBatchListWindow::addFolderLimit()
{
    QTemporaryDir dir;
    for (int i = 0; i < 5; ++i)
        writeFile(dir.filePath(QStringLiteral("p%1.vbp").arg(i)));
    Fixture f;
    for (int i = 0; i < BatchList::kMaxEntries - 3; ++i)
        f.w.addEntry({QString::number(i), QByteArray::number(i)});
    f.fakes.folders.answers << dir.path();
    f.w.Command4_Click();
    QVERIFY(waitForRuns());
    QCOMPARE(f.list1->count(), BatchList::kMaxEntries);
    QCOMPARE(f.fakes.messages.texts(), QStringList{BatchListWindow::limitMessage()});
    QCOMPARE(f.label4->text(), countText(BatchList::kMaxEntries));
    f.type("/more.vbp");
    QCOMPARE(f.fakes.messages.texts().last(), BatchListWindow::limitMessage());
    QCOMPARE(f.list1->count(), BatchList::kMaxEntries);
}

void TestBatchListWindow::removeAndClear()
{
    Fixture f;
    for (const char* p : {"/a.vbp", "/b.vbp", "/c.vbp", "/d.vbp", "/e.vbp"})
        f.type(p);
    f.list1->clearSelection();
    f.label4->setText("stale");
    f.w.Command3_Click(); // nothing selected: only the count is refreshed
    QCOMPARE(f.list1->count(), 5);
    QCOMPARE(f.label4->text(), countText(5));
    f.list1->setCurrentRow(2);
    f.w.Command3_Click();
    QCOMPARE(f.entries(), QStringList({"/a.vbp", "/b.vbp", "/d.vbp", "/e.vbp"}));
    QCOMPARE(f.label4->text(), countText(4));
    // Nothing is left selected, so a second press removes nothing the user did not pick.
    QVERIFY(f.list1->selectedItems().isEmpty());
    QCOMPARE(f.list1->currentRow(), -1);
    f.w.Command3_Click();
    QCOMPARE(f.list1->count(), 4);
    f.list1->setCurrentRow(3); // the last entry: no neighbour after it either
    f.w.Command3_Click();
    QVERIFY(f.list1->selectedItems().isEmpty());
    f.type("/e.vbp");
    f.w.Command7_Click();
    QCOMPARE(f.list1->count(), 0);
    QCOMPARE(f.label4->text(), countText(4)); // not refreshed by clearing
    f.type("/a.vbp");                         // the cleared list forgets its entries
    QCOMPARE(f.entries(), QStringList{"/a.vbp"});
    QVERIFY(f.fakes.messages.shown.isEmpty());
}

void TestBatchListWindow::resetInformation()
{
    Fixture f;
    f.w.appendInfo("line 1");
    f.w.appendInfo("line 2");
    QCOMPARE(f.text3->toPlainText(), kWelcome + "line 1\nline 2\n");
    QCOMPARE(f.text3->textCursor().position(), f.text3->document()->characterCount() - 1);
    f.w.Command6_Click();
    QCOMPARE(f.text3->toPlainText(), kWelcome);
}

void TestBatchListWindow::runRefusals_data()
{
    QTest::addColumn<bool>("withEntries");
    QTest::addColumn<QString>("compiler"); // "<dir>" stands for the temporary folder
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("wine"); // whether wine is installed
    QTest::newRow("empty list") << false << "<dir>/vb6.exe"
                                << "列表为空,请先添加工程文件到列表!" << false;
    QTest::newRow("missing compiler") << true << "<dir>/none.exe" << kBadCompiler << false;
    QTest::newRow("compiler is a folder") << true << "<dir>" << kBadCompiler << true;
    QTest::newRow("empty compiler path") << true << "" << kBadCompiler << true;
    QTest::newRow("spaces only") << true << "   " << kBadCompiler << true;
    // Said once before the run, not as a start failure for every project.
    QTest::newRow("exe without wine") << true << "<dir>/vb6.exe"
                                      << "找不到wine, 无法运行Windows编译器!" << false;
    QTest::newRow("exe wine cannot address")
        << true << "<dir>/a\\vb6.exe"
        << "编译器路径无法交给wine: 名称\"a\\vb6.exe\"含有字符\"\\\", wine会另作解释" << true;
}

void TestBatchListWindow::runRefusals()
{
    QFETCH(bool, withEntries);
    QFETCH(QString, compiler);
    QFETCH(QString, message);
    QFETCH(bool, wine);
    QTemporaryDir dir;
    writeFile(dir.filePath("vb6.exe"));
    writeFile(dir.filePath("a\\vb6.exe"));
    Fixture f;
    if (wine)
        f.fakes.programs.executables.insert("wine", "/usr/bin/wine");
    f.text2->setText(QString(compiler).replace("<dir>", dir.path()));
    if (withEntries)
        f.type("/p/a.vbp");
    f.w.Command2_Click();
    QVERIFY(waitForRuns());
    QCOMPARE(f.fakes.messages.texts(), QStringList{message});
    QVERIFY(f.fakes.programs.calls.isEmpty());
    QCOMPARE(f.list1->count(), withEntries ? 1 : 0);
    QCOMPARE(f.text3->toPlainText(), kWelcome);
}

void TestBatchListWindow::runStartsEveryProject()
{
    QTemporaryDir dir;
    writeFile(dir.filePath("VB6.EXE"));
    writeFile(dir.filePath("native-cc"));
    Fixture f;
    f.fakes.programs.executables.insert("wine", "/usr/bin/wine");
    // A trailing space passes the check and is not part of the started program.
    f.text2->setText(dir.filePath("VB6.EXE") + " ");
    f.type("/src/one.vbp");
    f.type("  /src/my app/two.vbp ");
    f.type("/src/..\\..\\evil.vbp"); // Wine would read another file: not started
    f.type("/src/-three.vbp");
    f.type("/src/a|b/four.vbp"); // so would it in this folder
    f.w.Command2_Click();
    QVERIFY(waitForRuns());
    QVERIFY(f.fakes.messages.shown.isEmpty());
    QCOMPARE(f.fakes.programs.calls.size(), 3);
    // Started together, so in no set order; each waited for, with its own error log.
    QStringList started;
    for (const auto& call : f.fakes.programs.calls) {
        QCOMPARE(call.program, QStringLiteral("wine"));
        QCOMPARE(call.arguments.size(), 5);
        QCOMPARE(call.arguments[0], dir.filePath("VB6.EXE"));
        QCOMPARE(call.arguments[1], QStringLiteral("/MAKE"));
        QCOMPARE(call.arguments[3], QStringLiteral("/out"));
        QVERIFY(call.arguments[4].startsWith("Z:\\") && call.arguments[4].endsWith(".log"));
        QVERIFY(!call.detached);
        started << call.arguments[2];
    }
    started.sort();
    QCOMPARE(started, QStringList({"Z:\\src\\-three.vbp", "Z:\\src\\my app\\two.vbp", "Z:\\src\\one.vbp"}));
    const QString done = "  警告: 工程文件不存在\n  已完成\n";
    QCOMPARE(f.text3->toPlainText(), kWelcome + "编译工程 /src/one.vbp\n" + done + "编译工程 /src/my app/two.vbp\n" +
                                         done +
                                         "编译工程 /src/..\\..\\evil.vbp\n"
                                         "编译器启动失败!名称\"..\\..\\evil.vbp\"含有字符\"\\\", wine会另作解释\n"
                                         "编译工程 /src/-three.vbp\n" +
                                         done +
                                         "编译工程 /src/a|b/four.vbp\n"
                                         "编译器启动失败!名称\"a|b\"含有字符\"|\", wine会另作解释\n");
    QCOMPARE(f.list1->count(), 0);
    QCOMPARE(f.label4->text(), countText(5));

    // A compiler that is no .exe starts directly, and a second run needs new entries.
    f.text2->setText(dir.filePath("native-cc"));
    f.type("/src/one.vbp");
    f.w.Command2_Click();
    QVERIFY(waitForRuns());
    QCOMPARE(f.fakes.programs.calls.last().program, dir.filePath("native-cc"));
    QCOMPARE(f.fakes.programs.calls.last().arguments.mid(0, 3), QStringList({"/MAKE", "/src/one.vbp", "/out"}));
}

void TestBatchListWindow::runReportsStartFailure()
{
    QTemporaryDir dir;
    writeFile(dir.filePath("cc"));
    Fixture f;
    f.text2->setText(dir.filePath("cc"));
    f.fakes.programs.failing << dir.filePath("cc");
    f.type("/a.vbp");
    f.type("/b.vbp");
    f.w.Command2_Click();
    QVERIFY(waitForRuns());
    QCOMPARE(f.fakes.programs.calls.size(), 2);
    QCOMPARE(f.text3->toPlainText(),
             kWelcome + "编译工程 /a.vbp\n  警告: 工程文件不存在\n编译器启动失败!No such file or directory\n"
                        "编译工程 /b.vbp\n  警告: 工程文件不存在\n编译器启动失败!No such file or directory\n");
    QCOMPARE(f.list1->count(), 0);

    // A walked name that is not UTF-8 cannot be passed on unchanged: reported, not started.
    f.fakes.programs.failing.clear();
    const QByteArray raw = "/x/" + *korvane::platform::encodeText(QStringLiteral("平面.vbp"), "GBK");
    f.w.addEntry({korvane::platform::displayPath(raw), raw});
    f.w.Command2_Click();
    QVERIFY(waitForRuns());
    QCOMPARE(f.fakes.programs.calls.size(), 2);
    QVERIFY(f.text3->toPlainText().endsWith(QStringLiteral("编译器启动失败!工程路径含有无法传递的字符。\n")));
}

void TestBatchListWindow::realCompilerGetsArguments()
{
    // A script stands in for the compiler and writes its arguments, one per line, to a file
    // of its own per start.
    QTemporaryDir dir;
    const QString compiler = dir.filePath("fake compiler");
    writeFile(compiler, QStringLiteral("#!/bin/sh\nout=\"%1/record.$$\"\n"
                                       "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$out.tmp\"\n"
                                       "mv \"$out.tmp\" \"$out.txt\"\n")
                            .arg(dir.path())
                            .toUtf8());
    QFile(compiler).setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

    korvane::platform::QtProgramStarter starter;
    FakeServices fakes;
    korvane::platform::Services services = fakes.services();
    korvane::platform::Services real{services.messages,
                                     services.folders,
                                     services.files,
                                     services.input,
                                     services.settings,
                                     starter,
                                     services.desktop,
                                     services.fs,
                                     services.registry,
                                     services.programFolder,
                                     nullptr};
    frmCompile w(real);
    w.findChild<QLineEdit*>("Text2")->setText(compiler);
    const QStringList projects{dir.filePath("-dash dir/it's \"a\" b.vbp"), dir.filePath("two;rm -rf x.vbp"),
                               dir.filePath("三 号.vbp")};
    // A named pipe among them is refused unopened: open() would wait for a writer for good.
    const QString pipe = dir.filePath("pipe.vbp");
    QVERIFY(::mkfifo(QFile::encodeName(pipe).constData(), 0600) == 0);
    for (const QString& project : projects + QStringList{pipe}) {
        w.findChild<QLineEdit*>("Text1")->setText(project);
        w.Command1_Click();
    }
    w.Command2_Click();
    if (!waitForRuns(20000)) {
        // A writer that comes and goes lets a run held in open() go on, and the test end.
        ::close(::open(QFile::encodeName(pipe).constData(), O_WRONLY | O_NONBLOCK));
        QFAIL("the run hangs on the named pipe");
    }
    // Waited for: every compiler has ended by now.
    const QStringList recorded = QDir(dir.path()).entryList({"record.*.txt"});
    QCOMPARE(recorded.size(), 3);
    QStringList received;
    for (const QString& name : recorded) {
        QFile f(dir.filePath(name));
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QStringList arguments = QString::fromUtf8(f.readAll()).split('\n');
        QCOMPARE(arguments.size(), 5); // and the empty one after the last line end
        QCOMPARE(arguments[2], QStringLiteral("/out"));
        received << arguments.mid(0, 2).join('\n');
    }
    received.sort();
    QStringList expected;
    for (const QString& project : projects)
        expected << "/MAKE\n" + project;
    expected.sort();
    QCOMPARE(received, expected);
    QString log = kWelcome;
    for (const QString& project : projects)
        log += "编译工程 " + project + "\n  警告: 工程文件不存在\n  已完成\n";
    log += "编译工程 " + pipe + "\n  未编译: 工程不是普通文件(命名管道)\n";
    QCOMPARE(w.findChild<QPlainTextEdit*>("Text3")->toPlainText(), log);
    QCOMPARE(w.findChild<QListWidget*>("List1")->count(), 0);
    QCOMPARE(w.findChild<QLabel*>("Label4")->text(), countText(4));
}

void TestBatchListWindow::appendIsIncremental()
{
    // Each line must be an insertion at the end, never a rewrite of the text before it.
    Fixture f;
    QSignalSpy changes(f.text3->document(), &QTextDocument::contentsChange);
    for (int i = 0; i < 50; ++i) {
        const int end = f.text3->document()->characterCount() - 1;
        f.w.appendInfo(QString::number(i));
        QCOMPARE(changes.size(), 1);
        const QList<QVariant> change = changes.takeFirst();
        QCOMPARE(change[0].toInt(), end);                           // position
        QCOMPARE(change[1].toInt(), 0);                             // characters removed
        QCOMPARE(change[2].toInt(), QString::number(i).size() + 1); // characters added
    }

    // A run's lines go in at the end too. They appear live, several to an insertion when they
    // come fast, so how many insertions a run makes depends on the machine's speed.
    QTemporaryDir dir;
    writeFile(dir.filePath("cc"));
    f.text2->setText(dir.filePath("cc"));
    f.type("/a.vbp");
    f.type("/b.vbp");
    const QString before = f.text3->toPlainText();
    f.w.Command2_Click();
    QVERIFY(waitForRuns());
    QVERIFY(!changes.isEmpty());
    int end = int(before.size());
    for (const QList<QVariant>& change : changes) {
        QCOMPARE(change[0].toInt(), end); // each at the end of what was there
        QCOMPARE(change[1].toInt(), 0);   // nothing rewritten
        end += change[2].toInt();
    }
    QCOMPARE(f.text3->toPlainText(), before + "编译工程 /a.vbp\n  警告: 工程文件不存在\n  已完成\n"
                                              "编译工程 /b.vbp\n  警告: 工程文件不存在\n  已完成\n");
}

void TestBatchListWindow::extensionHooks()
{
    FakeServices fakes;
    LogFirstWindow w(fakes.services());
    auto* text1 = w.findChild<QLineEdit*>("Text1");
    auto* text3 = w.findChild<QPlainTextEdit*>("Text3");
    RecordingHooks& hooks = w.hooks;

    // The step before the list check runs even with an empty list; refusing ends the run.
    hooks.obtain = false;
    w.Command2_Click();
    QVERIFY(waitForRuns());
    QCOMPARE(hooks.calls, QStringList{"beforeListCheck "});
    QVERIFY(fakes.messages.shown.isEmpty());
    hooks.obtain = true;
    hooks.calls.clear();
    w.Command2_Click();
    QVERIFY(waitForRuns());
    QCOMPARE(hooks.calls, QStringList{"beforeListCheck "});
    QCOMPARE(fakes.messages.texts(), QStringList{"empty"});

    for (const char* p : {"/d/a.doc", "  /d/b.doc ", "/d/c.doc"}) {
        text1->setText(p);
        w.Command1_Click();
    }
    hooks.calls.clear();
    hooks.failFor = "/d/b.doc";
    // The hooks see the controls as they were at the start, whatever they show later.
    text1->setText("typed");
    w.Command2_Click();
    text1->setText("changed during the run");
    QVERIFY(waitForRuns());
    QCOMPARE(hooks.calls,
             QStringList({"beforeListCheck typed", "prepareRun 3", "comp /d/a.doc|/d/a.doc", "comp /d/b.doc|/d/b.doc",
                          "comp /d/c.doc|/d/c.doc", "completeRun /d/a.doc,/d/b.doc,/d/c.doc"}));
    QCOMPARE(hooks.infoAtComp, QStringList({"加密文档 /d/a.doc", "加密文档 /d/b.doc", "加密文档 /d/c.doc"}));
    QTRY_COMPARE(text3->toPlainText(),
                 "欢迎\n\n加密文档 /d/a.doc\n加密文档 /d/b.doc\nfailed /d/b.doc\n加密文档 /d/c.doc\n"
                 "列表中的所有文档加密完成!\nafter 3\n");
    QVERIFY(w.findChild<QLabel*>("Label4")->text().isEmpty());
    QCOMPARE(w.findChild<QListWidget*>("List1")->count(), 0);

    w.show();
    w.findChild<QPushButton*>("Command5")->click();
    QCOMPARE(w.unloads, QStringList{"Form_Unload"});
    QVERIFY(!w.isVisible());
}

KORVANE_TEST_MAIN(TestBatchListWindow)
#include "tst_batchlist_window.moc"
