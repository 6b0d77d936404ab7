#include "batchlist/frmjmdwg.h"
#include "platform/fakes/fakedrawingapp.h"
#include "platform/fakes/fakeservices.h"
#include "support/runs.h"
#include "support/testtree.h"

#include "support/testmain.h"
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using korvane::testsupport::waitForRuns;
using korvane::testsupport::writeFile;
using namespace korvane::batchlist;
using korvane::platform::FakeDrawingAutomation;
using korvane::platform::FakeServices;
using korvane::platform::MessageIcon;

namespace {

const QString kWelcome = QStringLiteral("欢迎使AutoCAD图纸文档批量加密工具!\n\n");
const QString kDone = QStringLiteral("列表中的所有文档加密完成!");

struct Fixture {
    QTemporaryDir dir;
    FakeServices fakes;
    FakeDrawingAutomation acad;
    frmjmdwg w{fakes.services(), acad};
    QLineEdit* text2 = w.findChild<QLineEdit*>("Text2");
    QListWidget* list1 = w.findChild<QListWidget*>("List1");
    QLabel* label4 = w.findChild<QLabel*>("Label4");
    QPlainTextEdit* text3 = w.findChild<QPlainTextEdit*>("Text3");

    QString path(const QString& name) const { return dir.filePath(name); }
    void type(const QString& path)
    {
        w.findChild<QLineEdit*>("Text1")->setText(path);
        w.Command1_Click();
    }
    /// Lines appended after the welcome text.
    QStringList lines() const
    {
        QString text = text3->toPlainText();
        if (!text.startsWith(kWelcome))
            return {"<welcome text lost>"};
        text.remove(0, kWelcome.size());
        QStringList result = text.split('\n');
        if (result.last().isEmpty())
            result.removeLast();
        return result;
    }
};

} // namespace

class TestFrmjmdwg : public QObject {
    Q_OBJECT
private slots:
    void layout();
    void workedExample();
    void emptyListStartsNothing();
    void passwords_data();
    void passwords();
    void bindsToRunningApplication();
    void failuresDuringRun_data();
    void failuresDuringRun();
    void failuresBeforeRun_data();
    void failuresBeforeRun();
    void backupDeletionRules();
    void closingAfterRun();
    void unavailableOnThisPlatform();
};

void TestFrmjmdwg::layout()
{
    QWidget main;
    main.move(100, 120);
    FakeServices fakes;
    fakes.services().mainWindow = &main;
    FakeDrawingAutomation acad;
    frmjmdwg w(fakes.services(), acad);
    QCOMPARE(w.objectName(), QStringLiteral("frmjmdwg"));
    QCOMPARE(w.windowTitle(), QStringLiteral("DWG文件批量加密"));
    QCOMPARE(w.size(), QSize(440, 535));
    QCOMPARE(w.pos(), main.frameGeometry().topLeft() + QPoint(0, 53)); // 800 twips lower
    auto* text2 = w.findChild<QLineEdit*>("Text2");
    QCOMPARE(text2->text(), QStringLiteral("739"));
    QCOMPARE(text2->echoMode(), QLineEdit::Password);
    QVERIFY(!text2->testAttribute(Qt::WA_InputMethodEnabled));
    QCOMPARE(text2->geometry(), QRect(112, 295, 81, 18));
    QCOMPARE(w.findChild<QLabel*>("Label6")->text(), QStringLiteral("加密使用的密码:"));
    QCOMPARE(w.findChild<QLabel*>("Label5")->text(), QStringLiteral("(要批量解密只需保持密码框为空)"));
    QCOMPARE(w.findChild<QLabel*>("Label1")->text(),
             QStringLiteral("提示:要正常使用本工具,必须确认已安装AutoCAD 2000以上版本."));
    QWidget* next = w.findChild<QWidget*>("Text3")->nextInFocusChain();
    while (next->focusPolicy() == Qt::NoFocus || next->objectName().isEmpty() || next->objectName().startsWith("qt_"))
        next = next->nextInFocusChain();
    QCOMPARE(next, text2); // the window's own controls follow the shared ones
    QCOMPARE(w.findChild<QPlainTextEdit*>("Text3")->toPlainText(), kWelcome);

    // The shared behaviour in this window's words.
    w.findChild<QLineEdit*>("Text1")->setText("/d/a.dwg");
    w.Command1_Click();
    w.findChild<QLineEdit*>("Text1")->setText("/d/a.dwg");
    w.Command1_Click();
    QCOMPARE(fakes.messages.texts(), QStringList{QStringLiteral("要加密文件列表已存在相同项，请勿重复添加!")});
    QCOMPARE(w.findChild<QLabel*>("Label4")->text(), QStringLiteral("列表中有1个文档等待加密"));
    w.Image1_Click();
    QCOMPARE(fakes.files.openFilters, QStringList{QStringLiteral("AutoCAD文档|*.dwg|所有文件|*.*")});
}

void TestFrmjmdwg::workedExample()
{
    Fixture f;
    const QString a = f.path("a.dwg"), b = f.path("b.dwg");
    for (const QString& p : {a, b, f.path("a.bak"), f.path("b.bak"), f.path("c.bak")})
        writeFile(p);
    f.type(a);
    f.type(b);
    f.w.Command2_Click();
    QVERIFY(waitForRuns());

    const QStringList expected{
        "bind(AutoCAD.Application)",
        "create(AutoCAD.Application)",
        "GetInterfaceObject(AutoCAD.SecurityParams.16)",
        "Visible = false",
        "SecurityParams.Action = 1",
        "SecurityParams.Algorithm = 26625",
        "SecurityParams.KeyLength = 40",
        "SecurityParams.Password = \"739\"",
        "SecurityParams.ProviderName = \"Microsoft Base Cryptographic Provider v1.0\"",
        "SecurityParams.ProviderType = 1",
        "Open(" + a + ", ReadOnly=false)",
        "  EndOpen(" + a + ")",
        "    ActiveDocument",
        "    SaveAs(" + a + ", SecurityParams)",
        "      EndSave(" + a + ")",
        "        Documents",
        "        Active(" + a + ") = true",
        "Open(" + b + ", ReadOnly=false)",
        "  EndOpen(" + b + ")",
        "    ActiveDocument",
        "    SaveAs(" + b + ", SecurityParams)",
        "      EndSave(" + b + ")",
        "        Documents",
        "        Active(" + a + ") = false",
        "        Close(" + a + ", SaveChanges=true)",
        "          EndSave(" + a + ")",
        "            Documents",
        "            Active(" + b + ") = true",
        "        Active(" + b + ") = true",
        "Quit",
        "  BeginQuit",
        "    Documents",
        "    Close(" + b + ", SaveChanges=true)",
        "      EndSave(" + b + ")",
        "        Documents",
        "(ended)",
    };
    QCOMPARE(f.acad.log, expected);
    QCOMPARE(f.lines(), QStringList({"加密文档 " + a, "加密文档 " + b, kDone}));
    QCOMPARE(f.acad.files.value(a).saves, 2);
    QCOMPARE(f.acad.files.value(b).saves, 2);
    for (const QString& p : {a, b}) {
        const auto saved = f.acad.files.value(p);
        QVERIFY(saved.encrypted);
        QCOMPARE(saved.password, QStringLiteral("739"));
        QCOMPARE(saved.algorithm, 0x6801);
        QCOMPARE(saved.keyLength, 40);
        QCOMPARE(saved.providerType, 1);
    }
    QVERIFY(!QFile::exists(f.path("a.bak")));
    QVERIFY(!QFile::exists(f.path("b.bak")));
    QVERIFY(QFile::exists(f.path("c.bak")));
    QVERIFY(QFile::exists(a));
    QCOMPARE(f.list1->count(), 0);
    QVERIFY(f.label4->text().isEmpty());
    QVERIFY(f.fakes.messages.shown.isEmpty());
    QVERIFY(!f.w.holdsApplication());
}

void TestFrmjmdwg::emptyListStartsNothing()
{
    Fixture f;
    f.w.Command2_Click();
    QVERIFY(waitForRuns());
    QCOMPARE(f.fakes.messages.texts(), QStringList{QStringLiteral("列表为空,请先添加文档到列表!")});
    QCOMPARE(f.fakes.messages.shown.first().icon, MessageIcon::Information);
    QVERIFY(f.acad.log.isEmpty());
    QCOMPARE(f.text3->toPlainText(), kWelcome);
}

void TestFrmjmdwg::passwords_data()
{
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("encrypted");
    QTest::newRow("empty: saved without protection") << "" << false;
    QTest::newRow("one space") << " " << true;
    QTest::newRow("untrimmed") << " 密码 " << true;
}

void TestFrmjmdwg::passwords()
{
    QFETCH(QString, password);
    QFETCH(bool, encrypted);
    Fixture f;
    f.text2->setText(password);
    f.type("/d/x/plan.DWG");
    f.w.Command2_Click();
    QVERIFY(waitForRuns());
    QCOMPARE(f.acad.calls("Password"), QStringList{"SecurityParams.Password = \"" + password + "\""});
    const auto saved = f.acad.files.value("/d/x/plan.DWG");
    QCOMPARE(saved.encrypted, encrypted);
    QCOMPARE(saved.password, password);
}

void TestFrmjmdwg::bindsToRunningApplication()
{
    Fixture f;
    f.acad.launch();
    f.type("/d/a.dwg");
    f.w.Command2_Click();
    QVERIFY(waitForRuns());
    QCOMPARE(f.acad.created, 0);
    QVERIFY(f.acad.calls("create").isEmpty());
    QCOMPARE(f.acad.files.value("/d/a.dwg").saves, 2);
    // Each run obtains the application afresh: the first one quit.
    f.type("/d/b.dwg");
    f.w.Command2_Click();
    QVERIFY(waitForRuns());
    QCOMPARE(f.acad.created, 1);
}

void TestFrmjmdwg::failuresDuringRun_data()
{
    QTest::addColumn<QString>("member");
    QTest::addColumn<QString>("argument");  // a file name from a, b; "" = every call
    QTest::addColumn<QStringList>("lines"); // "A"/"B" stand for the entries
    QTest::addColumn<QStringList>("backupsLeft");

    QTest::newRow("open a") << "Open"
                            << "a" << QStringList{"加密文档 A", "打开图纸失败!Open 出错", "加密文档 B", kDone}
                            << QStringList{"a.bak"};
    QTest::newRow("save a") << "SaveAs"
                            << "a" << QStringList{"加密文档 A", "保存图纸失败!SaveAs 出错", "加密文档 B", kDone}
                            << QStringList{"a.bak"};
    QTest::newRow("active document") << "ActiveDocument"
                                     << ""
                                     << QStringList{"加密文档 A", "保存图纸失败!ActiveDocument 出错", "加密文档 B",
                                                    "保存图纸失败!ActiveDocument 出错", kDone}
                                     << QStringList{"a.bak", "b.bak"};
    // a stays open: closing it fails after b's save and again when the application quits.
    QTest::newRow("close a") << "Close"
                             << "a"
                             << QStringList{"加密文档 A", "加密文档 B", "关闭图纸失败!Close 出错",
                                            "关闭图纸失败!Close 出错", kDone}
                             << QStringList{};
    QTest::newRow("documents") << "Documents"
                               << "" << QStringList{"加密文档 A",
                                                    "关闭图纸失败!Documents 出错",
                                                    "加密文档 B",
                                                    "关闭图纸失败!Documents 出错",
                                                    "关闭图纸失败!Documents 出错",
                                                    kDone}
                               << QStringList{};
    QTest::newRow("active") << "Active"
                            << "" << QStringList{"加密文档 A", "加密文档 B", kDone} << QStringList{};
    QTest::newRow("quit") << "Quit"
                          << "" << QStringList{"加密文档 A", "加密文档 B", "退出AutoCAD失败!Quit 出错", kDone}
                          << QStringList{};
    QTest::newRow("visible is harmless") << "Visible"
                                         << "" << QStringList{"加密文档 A", "加密文档 B", kDone} << QStringList{};
}

void TestFrmjmdwg::failuresDuringRun()
{
    QFETCH(QString, member);
    QFETCH(QString, argument);
    QFETCH(QStringList, lines);
    QFETCH(QStringList, backupsLeft);
    Fixture f;
    const QString a = f.path("a.dwg"), b = f.path("b.dwg");
    for (const QString& p : {a, b, f.path("a.bak"), f.path("b.bak")})
        writeFile(p);
    f.acad.failOn(member, argument == "a" ? a : argument == "b" ? b : QString());
    f.type(a);
    f.type(b);
    f.w.Command2_Click();
    QVERIFY(waitForRuns());
    QCoreApplication::processEvents(); // the box naming unsaved drawings follows the end line
    lines.replaceInStrings(QRegularExpression("A$"), a).replaceInStrings(QRegularExpression("B$"), b);
    QCOMPARE(f.lines(), lines);
    // Drawings left with a backup are the unsaved ones: named in one box, reasons in its details.
    if (!backupsLeft.isEmpty()) {
        QCOMPARE(f.fakes.messages.shown.size(), 1);
        const auto box = f.fakes.messages.shown.takeFirst();
        QVERIFY(box.text.contains(QStringLiteral("以下 %1 个图纸未能保存").arg(backupsLeft.size())));
        QVERIFY(box.text.contains(a) && box.text.contains(b) == (backupsLeft.size() == 2));
        QVERIFY(box.details.contains(lines.at(1)));
    }
    QStringList left;
    for (const char* bak : {"a.bak", "b.bak"})
        if (QFile::exists(f.path(bak)))
            left << bak;
    QCOMPARE(left, backupsLeft);
    QVERIFY(f.fakes.messages.shown.isEmpty());
    QCOMPARE(f.list1->count(), 0);
}

void TestFrmjmdwg::failuresBeforeRun_data()
{
    QTest::addColumn<QString>("member");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("quits"); // the application obtained is let go again
    QTest::newRow("create") << "create"
                            << "ActiveX 部件不能创建对象" << false;
    QTest::newRow("security parameters") << "GetInterfaceObject"
                                         << "GetInterfaceObject 出错" << true;
    QTest::newRow("password") << "Password"
                              << "Password 出错" << true;
    QTest::newRow("provider") << "ProviderType"
                              << "ProviderType 出错" << true;
}

void TestFrmjmdwg::failuresBeforeRun()
{
    QFETCH(QString, member);
    QFETCH(QString, message);
    QFETCH(bool, quits);
    Fixture f;
    f.acad.failOn(member);
    f.type("/d/a.dwg");
    f.w.Command2_Click();
    QVERIFY(waitForRuns());
    QCOMPARE(f.fakes.messages.texts(), QStringList{message});
    QCOMPARE(f.fakes.messages.shown.first().icon, MessageIcon::None);
    QVERIFY(f.acad.calls("Open").isEmpty());
    QCOMPARE(f.acad.calls("Quit").size(), quits ? 1 : 0);
    QCOMPARE(f.list1->count(), 1); // the list stays for another try
    QCOMPARE(f.text3->toPlainText(), kWelcome);
    QVERIFY(!f.w.holdsApplication());
}

void TestFrmjmdwg::backupDeletionRules()
{
    Fixture f;
    for (const char* name : {"notes.txt", "notes.bak", "plan.DWG", "plan.bak", "gone.bak", "xdwg", "xbak", "spaced.dwg",
                             "spaced.bak", "readonly.dwg", "readonly.bak"})
        writeFile(f.path(name));
    QFile(f.path("readonly.bak")).setPermissions(QFileDevice::ReadOwner);
    f.acad.failOn("Open", f.path("gone.dwg"));
    f.type(f.path("notes.txt")); // typed, not a drawing: its .bak is the user's
    f.type(f.path("plan.DWG"));  // any case
    f.type(f.path("gone.dwg"));  // could not be opened, so never saved
    f.type(f.path("xdwg"));      // ends in dwg: the last three characters give way to "bak"
    f.type(f.path("spaced.dwg") + " ");
    f.type(f.path("readonly.dwg")); // deleting its backup fails: ignored
    f.w.Command2_Click();
    QVERIFY(waitForRuns());
    QVERIFY(QFile::exists(f.path("notes.bak")));
    QVERIFY(!QFile::exists(f.path("plan.bak")));
    QVERIFY(QFile::exists(f.path("gone.bak")));
    QVERIFY(!QFile::exists(f.path("xbak")));
    QVERIFY(!QFile::exists(f.path("spaced.bak")));
    QVERIFY(QFile::exists(f.path("readonly.bak")));
    QVERIFY(QFile::exists(f.path("plan.DWG")));
    QCOMPARE(f.lines().last(), kDone);
    QCOMPARE(f.fakes.fs.pathsOf(korvane::platform::FaultyFileSystem::Op::Delete).size(), 4);
}

void TestFrmjmdwg::closingAfterRun()
{
    Fixture f;
    f.type("/d/a.dwg");
    f.w.Command2_Click();
    QVERIFY(waitForRuns());
    const QStringList before = f.acad.log;
    f.w.show();
    f.w.close(); // the application has quit already: nothing to tell, nothing shown
    QCOMPARE(f.acad.log, before);
    QVERIFY(f.fakes.messages.shown.isEmpty());

    // Closing while an application is held tells it to quit, and it ends.
    Fixture g;
    g.acad.launch();
    g.w.init();
    QVERIFY(g.w.holdsApplication());
    g.w.show();
    g.w.close();
    QCOMPARE(g.acad.calls("Quit").size(), 1);
    QVERIFY(!g.acad.running);
    QVERIFY(!g.w.holdsApplication());
}

void TestFrmjmdwg::unavailableOnThisPlatform()
{
    FakeServices fakes;
    frmjmdwg w(fakes.services(), korvane::platform::productionDrawingAutomation());
    w.findChild<QLineEdit*>("Text1")->setText("/d/a.dwg");
    w.Command1_Click();
    w.Command2_Click();
    QVERIFY(waitForRuns());
    QCOMPARE(
        fakes.messages.texts(),
        QStringList{korvane::platform::UnavailableDrawingAutomation::unavailableDescription("AutoCAD.Application")});
    QVERIFY(fakes.messages.texts().first().contains(QStringLiteral("没有安装AutoCAD")));
    QCOMPARE(fakes.messages.shown.first().icon, MessageIcon::None);
    QCOMPARE(fakes.messages.shown.first().details,
             QStringLiteral("无法读取为图纸的文件 (1 个):\n  /d/a.dwg: 文件不存在或无法读取"));
    QCOMPARE(w.findChild<QListWidget*>("List1")->count(), 1);
}

KORVANE_TEST_MAIN(TestFrmjmdwg)
#include "tst_batchlist_frmjmdwg.moc"
