#include "batchlist/frmcompile.h"
#include "platform/fakes/fakeservices.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QTest>

using namespace korvane::batchlist;
using korvane::platform::FakeServices;

class TestBatchListWindow : public QObject {
    Q_OBJECT
private slots:
    void addByTyping();
};

void TestBatchListWindow::addByTyping()
{
    FakeServices fakes;
    frmCompile w(fakes.services());
    auto* text1 = w.findChild<QLineEdit*>("Text1");
    auto* list1 = w.findChild<QListWidget*>("List1");
    text1->setText("/p/a.vbp");
    w.Command1_Click();
    QCOMPARE(list1->count(), 1);
    QCOMPARE(w.findChild<QLabel*>("Label4")->text(), QStringLiteral("列表中有1个工程文件等待编译"));
}

QTEST_MAIN(TestBatchListWindow)
#include "tst_batchlistwindow.moc"
