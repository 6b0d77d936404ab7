#include "helpwindows/frmtip.h"
#include "platform/fakes/fakeservices.h"
#include "shell/artwork.h"
#include "shell/mdiform1.h"
#include "shell/toolwindows.h"

#include "support/testmain.h"
#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QRegularExpression>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <stdexcept>

using namespace korvane;
using shell::MDIForm1;
using shell::ToolWindowBinding;

namespace {

const QString kSetting = QStringLiteral("Options/在启动时显示提示");

QAction* action(MDIForm1& main, const QString& name)
{
    for (QAction* a : main.findChildren<QAction*>(name))
        if (!a->menu())
            return a;
    return nullptr;
}

/// A tool window that counts how often it was created.
ToolWindowBinding countingBinding(bool modal, bool owned, int& created)
{
    return {.modal = modal,
            .ownedByMain = owned,
            .listedInTaskbar = true,
            .create = [&created](QWidget* parent) -> QWidget* {
                ++created;
                auto* w = new QWidget(parent);
                w->setObjectName(QStringLiteral("tool%1").arg(created));
                w->resize(200, 100);
                return w;
            }};
}

/// Notes where a window is, and whether the tip window is up, when it is first shown.
class FirstShow : public QObject {
public:
    FirstShow(MDIForm1& main) : m_main(main) { main.installEventFilter(this); }
    bool seen = false;
    QPoint pos;
    bool tipUp = false;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Show && !seen) {
            seen = true;
            pos = m_main.pos();
            QWidget* tip = m_main.toolWindow("menuTip");
            tipUp = tip && tip->isVisible();
        }
        return false;
    }

private:
    MDIForm1& m_main;
};

} // namespace

class TestMDIForm1 : public QObject {
    Q_OBJECT
private slots:
    void window();
    void menuTable();
    void accessKeysUniqueWithinEachMenu();
    void commandShowsItsWindowOnce_data();
    void commandShowsItsWindowOnce();
    void bringsHiddenOrMinimisedWindowBack();
    void failedCreationIsReported();
    void unbuiltCommandDoesNothing();
    void loadCentresAndShowsTip_data();
    void loadCentresAndShowsTip();
    void menuTipBeepsAndRequests();
    void everyCommandOpensItsWindow_data();
    void everyCommandOpensItsWindow();
    void exitRunsTheExitActionOnly();
    void toolWindowsStayOnScreen();
    void ownerlessWindowsCarryTheSuiteIcon();
};

void TestMDIForm1::window()
{
    platform::FakeServices fake;
    MDIForm1 main(fake.services());
    main.show();
    QVERIFY(QTest::qWaitForWindowExposed(&main));
    QCOMPARE(main.objectName(), QStringLiteral("MDIForm1"));
    QCOMPARE(main.windowTitle(), QStringLiteral("Korvane V1.0.0"));
    QVERIFY(!main.windowIcon().isNull());
    QCOMPARE(main.centralWidget()->size(), QSize(446, 283));
}

void TestMDIForm1::menuTable()
{
    platform::FakeServices fake;
    MDIForm1 main(fake.services());
    QStringList actual;
    for (QAction* top : main.menuBar()->actions()) {
        QMenu* menu = top->menu();
        QVERIFY(menu);
        QCOMPARE(menu->objectName(), top->objectName());
        actual << top->objectName() + ' ' + top->text();
        for (QAction* item : menu->actions()) {
            actual << "  " + item->objectName() + ' ' + (item->isSeparator() ? QStringLiteral("-") : item->text());
            QVERIFY2(item->shortcut().isEmpty(), qPrintable(item->objectName()));
        }
    }
    const QStringList expected = {
        "menuFile 文件工具(&F)",
        "  menuRec 文件信息记录(&R)",
        "  menumove 文件批量管理(&M)",
        "  g1 -",
        "  menuexit 退出(&X)",
        "menuview 文件查看(&V)",
        "  menuviewdwg DWG文件(&D)",
        "v1 系统工具(&S)",
        "  menujmword 批量加密Word文档(&W)",
        "  menujmdwg 批量加密AutoCAD文档(&A)",
        "  menureg ocx,dll批量注册(&O)",
        "v2 编程工具(&T)",
        "  menudecompile chm文件批量反编译(&D)",
        "  menuCpVb 批量编译VB6工程(&C)",
        "menuHelp 帮助(&H)",
        "  menuTip 每日一帖(&X)",
        "  menuabout 关于(&A)",
    };
    QCOMPARE(actual, expected);
}

void TestMDIForm1::accessKeysUniqueWithinEachMenu()
{
    platform::FakeServices fake;
    MDIForm1 main(fake.services());
    const QRegularExpression key(QStringLiteral("&(.)"));
    QStringList bar;
    for (QAction* top : main.menuBar()->actions()) {
        bar << key.match(top->text()).captured(1).toUpper();
        QStringList keys;
        for (QAction* item : top->menu()->actions()) {
            if (item->isSeparator())
                continue;
            const QString k = key.match(item->text()).captured(1).toUpper();
            QVERIFY2(!k.isEmpty() && !keys.contains(k), qPrintable(item->text()));
            keys << k;
        }
    }
    QCOMPARE(bar.removeDuplicates(), 0);
}

void TestMDIForm1::commandShowsItsWindowOnce_data()
{
    QTest::addColumn<bool>("modal");
    QTest::addColumn<bool>("owned");
    QTest::newRow("modeless, no owner") << false << false;
    QTest::newRow("modeless, owned") << false << true;
    QTest::newRow("modal, owned") << true << true;
}

void TestMDIForm1::commandShowsItsWindowOnce()
{
    QFETCH(bool, modal);
    QFETCH(bool, owned);
    platform::FakeServices fake;
    MDIForm1 main(fake.services());
    main.show();
    int created = 0;
    main.setToolWindow("menumove", countingBinding(modal, owned, created));

    action(main, "menumove")->trigger();
    QPointer<QWidget> first = main.toolWindow("menumove");
    QVERIFY(first);
    QCOMPARE(created, 1);
    QVERIFY(first->isWindow());
    QVERIFY(first->isVisible());
    QCOMPARE(first->parentWidget(), owned ? static_cast<QWidget*>(&main) : nullptr);
    QCOMPARE(first->windowModality(), modal ? Qt::ApplicationModal : Qt::NonModal);
    QVERIFY(first->testAttribute(Qt::WA_DeleteOnClose));

    action(main, "menumove")->trigger();
    QCOMPARE(created, 1);
    QCOMPARE(main.toolWindow("menumove"), first.data());

    // Closed windows are created afresh.
    first->close();
    QTRY_VERIFY(first.isNull());
    QVERIFY(!main.toolWindow("menumove"));
    action(main, "menumove")->trigger();
    QCOMPARE(created, 2);
    QVERIFY(main.toolWindow("menumove"));
    delete main.toolWindow("menumove");
}

void TestMDIForm1::bringsHiddenOrMinimisedWindowBack()
{
    platform::FakeServices fake;
    MDIForm1 main(fake.services());
    main.show();
    int created = 0;
    main.setToolWindow("menumove", countingBinding(false, false, created));
    QWidget* tool = main.showToolWindow("menumove");
    QVERIFY(tool);

    tool->hide();
    QCOMPARE(main.showToolWindow("menumove"), tool);
    QVERIFY(tool->isVisible());

    tool->showMinimized();
    QTRY_VERIFY(tool->isMinimized());
    QCOMPARE(main.showToolWindow("menumove"), tool);
    QVERIFY(!tool->isMinimized());
    QVERIFY(tool->isVisible());
    QCOMPARE(created, 1);
    delete tool;
}

void TestMDIForm1::failedCreationIsReported()
{
    platform::FakeServices fake;
    MDIForm1 main(fake.services());
    main.setToolWindow(
        "menuviewdwg",
        {.modal = false, .ownedByMain = true, .listedInTaskbar = true, .create = [](QWidget*) -> QWidget* {
             throw std::runtime_error("no drawing component");
         }});
    main.setToolWindow(
        "menuCpVb", {.modal = false, .ownedByMain = true, .listedInTaskbar = true, .create = [](QWidget*) -> QWidget* {
                         return nullptr;
                     }});

    action(main, "menuviewdwg")->trigger();
    QVERIFY(!main.toolWindow("menuviewdwg"));
    QCOMPARE(fake.messages.texts(), QStringList{"无法打开窗口: no drawing component"});

    action(main, "menuCpVb")->trigger();
    QVERIFY(!main.toolWindow("menuCpVb"));
    QCOMPARE(fake.messages.shown.size(), 1);
}

void TestMDIForm1::unbuiltCommandDoesNothing()
{
    platform::FakeServices fake;
    MDIForm1 main(fake.services());
    action(main, "menuRec")->trigger();
    QVERIFY(!main.toolWindow("menuRec"));
    QVERIFY(fake.messages.shown.isEmpty());
}

void TestMDIForm1::loadCentresAndShowsTip_data()
{
    QTest::addColumn<QString>("stored"); // "-" for nothing stored
    QTest::addColumn<bool>("tipShown");
    QTest::newRow("nothing stored") << "-" << true;
    QTest::newRow("tips on") << "1" << true;
    QTest::newRow("tips off") << "0" << false;
}

void TestMDIForm1::loadCentresAndShowsTip()
{
    QFETCH(QString, stored);
    QFETCH(bool, tipShown);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    platform::FakeServices fake(dir.path());
    if (stored != "-")
        fake.settings.values.insert(kSetting, stored);
    MDIForm1 main(fake.services());
    fake.services().mainWindow = &main;
    shell::registerToolWindows(main, fake.services());
    FirstShow firstShow(main);
    main.start();

    // Placed, and the tip window up, before the main window first appears: it never jumps.
    QVERIFY(firstShow.seen);
    QCOMPARE(firstShow.pos, main.pos());
    QCOMPARE(firstShow.tipUp, tipShown);
    const QRect screen = main.screen()->geometry();
    // Without a window manager to ask, the frame is unknown until shown: the centre may be
    // off by half the frame (2 px here), never more.
    const QSize frame = main.frameGeometry().size() - main.geometry().size();
    QVERIFY(qAbs(main.frameGeometry().center().x() - screen.center().x()) <= 1 + frame.width() / 2);
    QVERIFY(qAbs(main.frameGeometry().center().y() - screen.center().y()) <= 1 + frame.height() / 2);

    QWidget* tip = main.toolWindow("menuTip");
    QCOMPARE(tip != nullptr, tipShown);
    if (tip) {
        QVERIFY(qobject_cast<helpwindows::frmTip*>(tip));
        QCOMPARE(tip->parentWidget(), &main);
        QVERIFY(tip->isVisible());
    }
    QCOMPARE(fake.desktop.beeps, 0);
    QVERIFY(!main.tipRequested());

    // The About box has no owner: a plain window, not a dialog the window manager would tie
    // to the program.
    QWidget* about = main.showToolWindow("menuabout");
    QVERIFY(about);
    QCOMPARE(about->parentWidget(), nullptr);
    QCOMPARE(about->windowType(), Qt::Window);
    QVERIFY(!(about->windowFlags() & Qt::WindowMinimizeButtonHint));
    delete about;
}

void TestMDIForm1::menuTipBeepsAndRequests()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    platform::FakeServices fake(dir.path());
    fake.settings.values.insert(kSetting, "0");
    MDIForm1 main(fake.services());
    shell::registerToolWindows(main, fake.services());
    main.show();
    main.Form_Load();
    QVERIFY(!main.toolWindow("menuTip"));

    action(main, "menuTip")->trigger();
    QCOMPARE(fake.desktop.beeps, 1);
    QVERIFY(main.tipRequested());
    QPointer<QWidget> tip = main.toolWindow("menuTip");
    QVERIFY(tip);
    QVERIFY(tip->isVisible());
    QCOMPARE(fake.settings.values.value(kSetting), QStringLiteral("1"));

    // Again: another beep, the same window.
    action(main, "menuTip")->trigger();
    QCOMPARE(fake.desktop.beeps, 2);
    QCOMPARE(main.toolWindow("menuTip"), tip.data());

    // Closed and turned off: still shown from the menu, since the request outlives the window.
    fake.settings.values.insert(kSetting, "0");
    tip->close();
    QTRY_VERIFY(tip.isNull());
    action(main, "menuTip")->trigger();
    QVERIFY(main.toolWindow("menuTip"));
}

void TestMDIForm1::everyCommandOpensItsWindow_data()
{
    QTest::addColumn<QString>("menuItem");
    QTest::addColumn<QString>("menuText");
    QTest::addColumn<QString>("window"); // object name
    QTest::addColumn<QString>("className");
    QTest::addColumn<bool>("modal");
    QTest::addColumn<bool>("owned");
    QTest::addColumn<bool>("textBox");  // has a Text1 line edit, whose text a second command keeps
    QTest::addColumn<int>("topOffset"); // pixels below the main window's top edge; -1: placed otherwise
    // clang-format off
    QTest::newRow("tips") << "menuTip" << "每日一帖(&X)" << "frmTip" << "korvane::helpwindows::frmTip"
                          << false << true << false << -1;
    QTest::newRow("about") << "menuabout" << "关于(&A)" << "frmAbout" << "korvane::helpwindows::frmAbout"
                           << false << false << false << -1;
    QTest::newRow("recorder") << "menuRec" << "文件信息记录(&R)" << "frmrec" << "korvane::recorder::frmrec"
                              << true << true << true << -1;
    QTest::newRow("file manager") << "menumove" << "文件批量管理(&M)" << "frmmove" << "korvane::filemanager::frmmove"
                                  << false << false << true << -1;
    QTest::newRow("drawing viewer") << "menuviewdwg" << "DWG文件(&D)" << "Frmseedwg"
                                    << "korvane::drawingviewer::Frmseedwg" << false << true << true << -1;
    QTest::newRow("document encryptor") << "menujmword" << "批量加密Word文档(&W)" << "frmjmword"
                                        << "korvane::wordcrypt::frmjmword" << true << true << true << -1;
    QTest::newRow("drawing encryptor") << "menujmdwg" << "批量加密AutoCAD文档(&A)" << "frmjmdwg"
                                       << "korvane::batchlist::frmjmdwg" << true << true << true << 53;
    QTest::newRow("registration") << "menureg" << "ocx,dll批量注册(&O)" << "Frmregsvr"
                                  << "korvane::components::Frmregsvr" << false << false << false << -1;
    QTest::newRow("decompiler") << "menudecompile" << "chm文件批量反编译(&D)" << "Frmdecp"
                                << "korvane::helpdecompiler::Frmdecp" << false << true << true << -1;
    QTest::newRow("compiler") << "menuCpVb" << "批量编译VB6工程(&C)" << "frmCompile" << "korvane::batchlist::frmCompile"
                              << false << true << true << 0;
    // clang-format on
}

void TestMDIForm1::everyCommandOpensItsWindow()
{
    QFETCH(QString, menuItem);
    QFETCH(QString, menuText);
    QFETCH(QString, window);
    QFETCH(QString, className);
    QFETCH(bool, modal);
    QFETCH(bool, owned);
    QFETCH(bool, textBox);
    QFETCH(int, topOffset);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    platform::FakeServices fake(dir.path());
    MDIForm1 main(fake.services());
    fake.services().mainWindow = &main;
    shell::registerToolWindows(main, fake.services());
    main.move(60, 40);
    main.show();
    QVERIFY(QTest::qWaitForWindowExposed(&main));

    QAction* command = action(main, menuItem);
    QVERIFY(command);
    QCOMPARE(command->text(), menuText);
    command->trigger();
    QPointer<QWidget> w = main.toolWindow(menuItem);
    QVERIFY(w);
    QCOMPARE(w->objectName(), window);
    QCOMPARE(QString::fromLatin1(w->metaObject()->className()), className);
    QVERIFY(w->isWindow());
    QVERIFY(w->isVisible());
    QVERIFY(w->testAttribute(Qt::WA_DeleteOnClose));
    QCOMPARE(w->parentWidget(), owned ? static_cast<QWidget*>(&main) : nullptr);
    QCOMPARE(main.findChildren<QWidget*>(window).size(), owned ? 1 : 0);
    QCOMPARE(w->isModal(), modal);
    QCOMPARE(w->windowModality(), modal ? Qt::ApplicationModal : Qt::NonModal);
    if (topOffset >= 0)
        QCOMPARE(w->pos(), main.frameGeometry().topLeft() + QPoint(0, topOffset));
    QVERIFY(fake.messages.shown.isEmpty()); // nothing is started before the user asks

    // At most once: the second command brings the same window forward, as it was.
    auto* text1 = w->findChild<QLineEdit*>(QStringLiteral("Text1"));
    QCOMPARE(text1 != nullptr, textBox);
    if (text1)
        text1->setText(QStringLiteral("kept"));
    command->trigger();
    QCOMPARE(main.toolWindow(menuItem), w.data());
    QCOMPARE(main.showToolWindow(menuItem), w.data());
    if (text1)
        QCOMPARE(text1->text(), QStringLiteral("kept"));

    // Closed, it is created afresh.
    w->close();
    QTRY_VERIFY(w.isNull());
    QVERIFY(!main.toolWindow(menuItem));
    command->trigger();
    QVERIFY(main.toolWindow(menuItem));
    delete main.toolWindow(menuItem);
}

void TestMDIForm1::exitRunsTheExitActionOnly()
{
    platform::FakeServices fake;
    MDIForm1 main(fake.services());
    int exits = 0;
    main.setExitAction([&exits] { ++exits; });
    int created = 0;
    main.setToolWindow("menumove", countingBinding(false, false, created));
    main.show();
    QWidget* tool = main.showToolWindow("menumove");

    action(main, "menuexit")->trigger();
    QCOMPARE(exits, 1);
    QVERIFY(fake.messages.shown.isEmpty()); // asks nothing
    QVERIFY(tool->isVisible());             // no window's close handling ran
    QVERIFY(main.isVisible());
    delete tool;
}

void TestMDIForm1::toolWindowsStayOnScreen()
{
    // The encryptors sit 800 twips below the main window's top: with the main window low on a
    // small screen that rule would put them partly below its edge.
    QTemporaryDir dir;
    platform::FakeServices fake(dir.path());
    MDIForm1 main(fake.services());
    fake.services().mainWindow = &main;
    shell::registerToolWindows(main, fake.services());
    const QRect area = main.screen()->availableGeometry();
    main.move(area.left() + 40, area.bottom() - 150);
    main.show();
    QVERIFY(QTest::qWaitForWindowExposed(&main));
    QWidget* encryptor = main.showToolWindow(QStringLiteral("menujmword"));
    QVERIFY(encryptor);
    QVERIFY(area.contains(encryptor->frameGeometry()));
    QCOMPARE(encryptor->x(), main.frameGeometry().left()); // moved no more than needed
    delete encryptor;

    // Larger than the screen: its top-left corner, with the title bar, stays on it.
    main.setToolWindow(QStringLiteral("menumove"), {.create = [&](QWidget*) -> QWidget* {
                           auto* w = new QWidget;
                           w->resize(area.width() + 100, 200);
                           w->move(area.left() - 30, area.top() - 20);
                           return w;
                       }});
    QWidget* wide = main.showToolWindow(QStringLiteral("menumove"));
    QCOMPARE(wide->frameGeometry().topLeft(), area.topLeft());
    delete wide;
}

void TestMDIForm1::ownerlessWindowsCarryTheSuiteIcon()
{
    shell::setApplicationIdentity();
    QCOMPARE(QGuiApplication::desktopFileName(), QStringLiteral("org.korvane.Korvane"));
    const QImage suite = shell::suiteIcon().pixmap(32).toImage();
    QDialog dialog; // a password prompt, a progress dialog, About: no owner, no icon of their own
    QWidget window;
    QCOMPARE(dialog.windowIcon().pixmap(32).toImage(), suite);
    QCOMPARE(window.windowIcon().pixmap(32).toImage(), suite);
}

KORVANE_TEST_MAIN(TestMDIForm1)
#include "tst_shell_mdiform1.moc"
