#include "platform/fakes/fakeservices.h"
#include "shell/mdiform1.h"
#include "shell/toolwindows.h"

#include <QAction>
#include <QLineEdit>
#include <QTest>

using korvane::platform::FakeServices;
using korvane::shell::MDIForm1;

class TestBatchListMenu : public QObject {
    Q_OBJECT
private slots:
    void menuOpensWindows_data();
    void menuOpensWindows();
};

void TestBatchListMenu::menuOpensWindows_data()
{
    QTest::addColumn<QString>("menuItem");
    QTest::addColumn<QString>("window");
    QTest::addColumn<bool>("modal");
    QTest::addColumn<int>("topOffset"); // pixels below the main window's top edge
    QTest::newRow("compiler") << "menuCpVb" << "frmCompile" << false << 0;
    QTest::newRow("drawing encryptor") << "menujmdwg" << "frmjmdwg" << true << 53;
}

void TestBatchListMenu::menuOpensWindows()
{
    QFETCH(QString, menuItem);
    QFETCH(QString, window);
    QFETCH(bool, modal);
    QFETCH(int, topOffset);
    FakeServices fakes;
    MDIForm1 main(fakes.services());
    fakes.services().mainWindow = &main;
    korvane::shell::registerToolWindows(main, fakes.services());
    main.move(60, 40);
    main.show();
    QVERIFY(QTest::qWaitForWindowExposed(&main));

    auto* action = main.findChild<QAction*>(menuItem);
    QVERIFY(action);
    action->trigger();
    QWidget* w = main.toolWindow(menuItem);
    QVERIFY(w);
    QCOMPARE(w->objectName(), window);
    QCOMPARE(w->parentWidget(), &main); // owned by the main window
    QCOMPARE(w->isModal(), modal);
    QCOMPARE(w->pos(), main.frameGeometry().topLeft() + QPoint(0, topOffset));
    // At most once: the second command brings the same window forward.
    w->findChild<QLineEdit*>("Text1")->setText("kept");
    action->trigger();
    QCOMPARE(main.toolWindow(menuItem), w);
    QCOMPARE(w->findChild<QLineEdit*>("Text1")->text(), QStringLiteral("kept"));
    w->close();
    QTRY_VERIFY(!main.toolWindow(menuItem));
}

QTEST_MAIN(TestBatchListMenu)
#include "tst_batchlistmenu.moc"
