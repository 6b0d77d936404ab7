#include "platform/widgets/busycursor.h"
#include "platform/widgets/cutofftips.h"
#include "platform/widgets/placement.h"
#include "platform/widgets/qtservices.h"

#include "support/testmain.h"
#include <QAbstractProxyModel>
#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolTip>
#include <QtTest>

using namespace korvane::platform;

/// The real Qt dialogs behind the platform services, driven by a timer while they run modally.
class TestQtDialogs : public QObject {
    Q_OBJECT
private slots:
    void saveChooserReplacesWithoutAsking();
    void standardTextsAreChinese();
    void messageBoxDetails();
    void busyCursorRestoresTheCursorItFound();
    void enterInATextBoxPressesNoAddedButton();
    void folderViewSpeaksChinese();
    void cutOffEntriesShowTheirWholeText();
};

void TestQtDialogs::saveChooserReplacesWithoutAsking()
{
    // The dialog is inspected, not driven to acceptance: accepting a real file dialog races its
    // folder model, which fills on a thread of its own, and failed now and then under load.
    bool seen = false;
    bool asksBeforeReplacing = true;
    QFileDialog::AcceptMode mode = QFileDialog::AcceptOpen;
    QTimer inspect;
    connect(&inspect, &QTimer::timeout, this, [&] {
        if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
            seen = true;
            asksBeforeReplacing = !dialog->testOption(QFileDialog::DontConfirmOverwrite);
            mode = dialog->acceptMode();
            dialog->reject();
        }
    });
    inspect.start(20);
    QtFileChooser chooser;
    QCOMPARE(chooser.saveFile(nullptr, QStringLiteral("位图文件|*.bmp|所有文件|*.*")), QString());
    QVERIFY(seen);
    QCOMPARE(mode, QFileDialog::AcceptSave);
    QVERIFY2(!asksBeforeReplacing, "the save chooser would ask before replacing an existing file");
}

void TestQtDialogs::cutOffEntriesShowTheirWholeText()
{
    QListWidget list;
    list.resize(160, 120);
    list.setUniformItemSizes(true);
    tipCutOffEntries(list);
    const QString whole = QStringLiteral("/home/用户/文档/一个很长很长的文件夹名称/还有一层/最后的文件.chm");
    list.addItems({QStringLiteral("a.chm"), whole});
    list.show();
    QVERIFY(QTest::qWaitForWindowExposed(&list));
    const auto tipAt = [&](int row) {
        QToolTip::hideText();
        const QPoint at = list.visualRect(list.model()->index(row, 0)).center();
        QHelpEvent event(QEvent::ToolTip, at, list.viewport()->mapToGlobal(at));
        QApplication::sendEvent(list.viewport(), &event);
        return QToolTip::isVisible() ? QToolTip::text() : QString();
    };
    QVERIFY(!entryCutOff(list, list.model()->index(0, 0)));
    QCOMPARE(tipAt(0), QString());
    QVERIFY(entryCutOff(list, list.model()->index(1, 0)));
    QCOMPARE(tipAt(1), whole);
    // Wide enough for the whole entry: no tip; an entry's own tip is kept.
    list.resize(list.fontMetrics().horizontalAdvance(whole) + 80, 120);
    QTRY_VERIFY(!entryCutOff(list, list.model()->index(1, 0)));
    list.item(0)->setToolTip(QStringLiteral("自己的提示"));
    QCOMPARE(tipAt(0), QStringLiteral("自己的提示"));
    QToolTip::hideText();
}

void TestQtDialogs::folderViewSpeaksChinese()
{
    // The type column and the dates come from Qt's folder model, which neither Qt's catalogue
    // nor the default locale reaches: "Folder" and English dates under LANG=C.
    QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China));
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("子文件夹")));
    const QDateTime modified = QFileInfo(dir.filePath(QStringLiteral("子文件夹"))).lastModified();
    QString type, date;
    QTimer inspect;
    connect(&inspect, &QTimer::timeout, this, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        if (dialog->directory() != QDir(dir.path()))
            dialog->setDirectory(dir.path());
        const auto* files = dialog->findChild<QFileSystemModel*>();
        const QAbstractItemModel* model =
            dialog->proxyModel() ? static_cast<QAbstractItemModel*>(dialog->proxyModel()) : files;
        if (!files)
            return;
        const QModelIndex source = files->index(dir.filePath(QStringLiteral("子文件夹")));
        const auto* proxy = qobject_cast<const QAbstractProxyModel*>(model);
        const QModelIndex folder = proxy ? proxy->mapFromSource(source) : source;
        type = model->index(folder.row(), 2, folder.parent()).data().toString();
        date = model->index(folder.row(), 3, folder.parent()).data().toString();
        if (!type.isEmpty() && !date.isEmpty()) // the model fills on a thread of its own
            dialog->reject();
    });
    inspect.start(20);
    QtFolderChooser chooser;
    QCOMPARE(chooser.chooseFolder(nullptr, QStringLiteral("请选择文件夹：")), QString());
    QCOMPARE(type, QStringLiteral("文件夹"));
    QCOMPARE(date, QLocale().toString(modified, QLocale::ShortFormat));
}

void TestQtDialogs::standardTextsAreChinese()
{
    QVERIFY2(installQtChineseTranslations(), "qtbase_zh_CN.qm not found (package qt6-translations-l10n)");
    QDialogButtonBox buttons(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    QCOMPARE(buttons.button(QDialogButtonBox::Ok)->text(), QStringLiteral("确定"));
    QCOMPARE(buttons.button(QDialogButtonBox::Cancel)->text(), QStringLiteral("取消"));
}

void TestQtDialogs::messageBoxDetails()
{
    QStringList seen;
    QTimer look;
    connect(&look, &QTimer::timeout, this, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        for (QAbstractButton* button : box->buttons()) {
            if (box->buttonRole(button) == QMessageBox::ActionRole) {
                seen << button->text();
                if (seen.size() == 1) {
                    button->click(); // looked at again on the next tick
                    return;
                }
            }
        }
        seen << box->detailedText();
        box->done(QMessageBox::Ok);
    });
    look.start(20);
    QtMessageBoxes().showWithDetails(nullptr, QStringLiteral("摘要"), MessageIcon::Information,
                                     QStringLiteral("第一行\n第二行"));
    QCOMPARE(seen, QStringList({"显示详细信息…", "隐藏详细信息…", "第一行\n第二行"}));
    seen.clear();
    QtMessageBoxes().show(nullptr, QStringLiteral("没有详细信息"), MessageIcon::None);
    QCOMPARE(seen, QStringList{QString()}); // no details button, no details
}

void TestQtDialogs::busyCursorRestoresTheCursorItFound()
{
    const auto shape = [] {
        const QCursor* cursor = QApplication::overrideCursor();
        return cursor ? int(cursor->shape()) : -1;
    };
    QCOMPARE(shape(), -1);
    {
        const BusyCursor run;
        QCOMPARE(shape(), int(Qt::WaitCursor));
        try {
            const BusyCursor prompt(Qt::ArrowCursor);
            QCOMPARE(shape(), int(Qt::ArrowCursor));
            throw std::runtime_error("the prompt failed");
        } catch (const std::runtime_error&) {
        }
        QCOMPARE(shape(), int(Qt::WaitCursor));
    }
    QCOMPARE(shape(), -1);
}

void TestQtDialogs::enterInATextBoxPressesNoAddedButton()
{
    QDialog dialog;
    auto* box = new QLineEdit(&dialog);
    auto* button = makeNamed<QPushButton>(&dialog, "Command1", QStringLiteral("记录"), {1800, 2160, 1335, 375});
    QCOMPARE(button->objectName(), QStringLiteral("Command1"));
    QCOMPARE(button->geometry(), QRect(120, 144, 89, 25));
    int clicks = 0;
    connect(button, &QPushButton::clicked, this, [&clicks] { ++clicks; });
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    box->setFocus();
    QTest::keyClick(box, Qt::Key_Return);
    QCOMPARE(clicks, 0);
    QVERIFY(dialog.isVisible());
}

KORVANE_TEST_MAIN(TestQtDialogs)
#include "tst_platform_qtdialogs.moc"
