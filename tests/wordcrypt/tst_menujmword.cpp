// The main window's menu command shows the encryptor modally, owned by the main window.

#include "platform/fakes/fakeservices.h"
#include "shell/mdiform1.h"
#include "shell/toolwindows.h"

#include <QLineEdit>
#include <QTest>

using namespace korvane;

class TestMenuJmWord : public QObject {
    Q_OBJECT
private slots:
    void showsTheEncryptor() {
        platform::FakeServices fakes;
        shell::MDIForm1 main(fakes.services());
        fakes.services().mainWindow = &main;
        shell::registerToolWindows(main, fakes.services());
        QWidget* w = main.showToolWindow(QStringLiteral("menujmword"));
        QVERIFY(w);
        QCOMPARE(w->objectName(), QStringLiteral("frmjmword"));
        QCOMPARE(w->windowModality(), Qt::ApplicationModal);
        QCOMPARE(w->parentWidget(), &main);
        QCOMPARE(main.showToolWindow(QStringLiteral("menujmword")), w); // at most once
        QVERIFY(fakes.messages.shown.isEmpty());                        // nothing is started before a run
        w->close();
    }
};

QTEST_MAIN(TestMenuJmWord)
#include "tst_menujmword.moc"
