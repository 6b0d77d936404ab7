#include "platform/qtservices.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

using namespace korvane::platform;

/// The real Qt dialogs behind the platform services, driven by a timer while they run modally.
class tst_QtDialogs : public QObject {
    Q_OBJECT
private slots:
    void saveChooserReplacesWithoutAsking();
    void standardTextsAreChinese();
    void messageBoxDetails();
};

void tst_QtDialogs::saveChooserReplacesWithoutAsking()
{
    QTemporaryDir dir;
    const QString existing = dir.filePath("exists.bmp");
    {
        QFile f(existing);
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
    QStringList questions;
    QTimer answer;
    QElapsedTimer waited; // the dialog's folder model fills on a thread of its own: slow under load
    waited.start();
    connect(&answer, &QTimer::timeout, this, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            questions << box->text();
            if (QAbstractButton* yes = box->button(QMessageBox::Yes))
                yes->click();
            else
                box->done(QMessageBox::Ok);
        } else if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
            if (waited.hasExpired(30000)) { // unanswerable: fail rather than hang
                questions << QStringLiteral("the dialog never closed");
                dialog->reject();
                return;
            }
            dialog->selectFile(existing);
            // Queued: a question it asks must not block this timer.
            QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
        }
    });
    answer.start(20);
    QtFileChooser chooser;
    QCOMPARE(chooser.saveFile(nullptr, QStringLiteral("位图文件|*.bmp|所有文件|*.*")), existing);
    QCOMPARE(questions, QStringList());
}

void tst_QtDialogs::standardTextsAreChinese()
{
    QVERIFY2(installQtChineseTranslations(), "qtbase_zh_CN.qm not found (package qt6-translations-l10n)");
    QDialogButtonBox buttons(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    QCOMPARE(buttons.button(QDialogButtonBox::Ok)->text(), QStringLiteral("确定"));
    QCOMPARE(buttons.button(QDialogButtonBox::Cancel)->text(), QStringLiteral("取消"));
}

void tst_QtDialogs::messageBoxDetails()
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

QTEST_MAIN(tst_QtDialogs)
#include "tst_qtdialogs.moc"
