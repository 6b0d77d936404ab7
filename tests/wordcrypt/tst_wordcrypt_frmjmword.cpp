// The document encryptor window, driven through the in-memory word processor.

#include "support/runs.h"
#include "wordcrypt/frmjmword.h"
#include "wordcrypt/passwordprompt.h"

#include "platform/fakes/fakeservices.h"
#include "platform/fakes/fakewordprocessor.h"
#include "platform/runcontrol.h"

#include "support/testmain.h"
#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QTest>
#include <QTimer>

using korvane::testsupport::waitForRuns;
using namespace korvane;
using korvane::platform::MessageIcon;

namespace {

const QString kWelcome = QStringLiteral("欢迎使用Word文档批量加密工具!\n\n");
const QString kDone = QStringLiteral("列表中的所有文档加密完成!");
const QString kEmptyList = QStringLiteral("列表为空,请先添加文档到列表!");
const QString kNote = wordcrypt::DocumentEncryptor::exportNoteText() + u'\n';

struct Fixture {
    platform::FakeServices fakes;
    platform::FakeWordAutomation word;
    wordcrypt::QtDocumentPasswordPrompt dialog; ///< shown only for documents in word.openPasswords
    wordcrypt::RunPasswordPrompt prompt{dialog};
    wordcrypt::frmjmword w{fakes.services(), word, prompt};
    QLineEdit* text1 = w.findChild<QLineEdit*>("Text1");
    QLineEdit* text2 = w.findChild<QLineEdit*>("Text2");
    QLineEdit* text4 = w.findChild<QLineEdit*>("Text4");
    QListWidget* list1 = w.findChild<QListWidget*>("List1");
    QLabel* label4 = w.findChild<QLabel*>("Label4");
    QPlainTextEdit* text3 = w.findChild<QPlainTextEdit*>("Text3");

    void add(const QStringList& paths)
    {
        for (const QString& p : paths) {
            text1->setText(p);
            w.Command1_Click();
        }
    }
    QString info() const { return text3->toPlainText(); }
};

/// The calls one document gets when everything goes well.
QStringList documentCalls(const QString& path, const QString& password = QStringLiteral("739"),
                          const QString& writePassword = QStringLiteral("7591"))
{
    return {QStringLiteral("Open ") + path + QStringLiteral(" ConfirmConversions=false"),
            QStringLiteral("Password=") + password,
            QStringLiteral("WritePassword=") + writePassword,
            QStringLiteral("Save"),
            QStringLiteral("Close"),
            QStringLiteral("Open returns")};
}

const QStringList kObtain = {QStringLiteral("GetObject word.Application"),
                             QStringLiteral("CreateObject word.Application"), QStringLiteral("Visible=false")};

} // namespace

class TestFrmJmWord : public QObject {
    Q_OBJECT
private slots:
    void layout()
    {
        Fixture f;
        QCOMPARE(f.w.objectName(), QStringLiteral("frmjmword"));
        QCOMPARE(f.w.windowTitle(), QStringLiteral("Word文件批量加密"));
        QCOMPARE(f.w.size(), QSize(440, 578));
        for (QLineEdit* box : {f.text2, f.text4}) {
            QVERIFY(box);
            QCOMPARE(box->echoMode(), QLineEdit::Password);
            QVERIFY(!box->testAttribute(Qt::WA_InputMethodEnabled));
        }
        QCOMPARE(f.text2->text(), QStringLiteral("739"));
        QCOMPARE(f.text4->text(), QStringLiteral("7591"));
        QCOMPARE(f.text2->geometry(), QRect(64, 311, 81, 18));
        QCOMPARE(f.text4->geometry(), QRect(256, 311, 81, 18));
        QCOMPARE(f.w.findChild<QLabel*>("Label5")->text(), QStringLiteral("(要批量解密只需保持密码框为空)"));
        QCOMPARE(f.w.findChild<QLabel*>("Label7")->text(), QStringLiteral("读密码:"));
        QCOMPARE(f.w.findChild<QLabel*>("Label8")->text(), QStringLiteral("写密码:"));
        QCOMPARE(f.info(), kWelcome);
        QVERIFY(f.word.calls.isEmpty()); // nothing is obtained before a run
    }

    void runInOrder()
    {
        Fixture f;
        const QStringList docs = {QStringLiteral("/d/a.doc"), QStringLiteral("/d/b.doc"), QStringLiteral("/d/c.doc")};
        f.add({docs[0], QStringLiteral("  /d/b.doc "), docs[2]});
        // The log line of a document is there before the word processor is asked to open it.
        QStringList infoAtOpen;
        f.word.onCall = [&](const QString& call) {
            if (call.startsWith(QLatin1String("Open /")))
                infoAtOpen << f.info().section(QLatin1Char('\n'), -2, -2);
        };
        f.w.Command2_Click();
        QVERIFY(waitForRuns());

        QStringList expected = kObtain;
        for (const QString& d : docs)
            expected << documentCalls(d);
        expected << QStringLiteral("Quit");
        QCOMPARE(f.word.calls, expected);
        QCOMPARE(infoAtOpen, QStringList({QStringLiteral("加密文档 /d/a.doc"), QStringLiteral("加密文档 /d/b.doc"),
                                          QStringLiteral("加密文档 /d/c.doc")}));
        QCoreApplication::processEvents();
        QCOMPARE(f.info(), kWelcome + kNote +
                               QStringLiteral("加密文档 /d/a.doc\n加密文档 /d/b.doc\n加密文档 /d/c.doc\n") + kDone +
                               '\n');

        // The note is the first run's only; a run without failures ends with the end line.
        f.add({docs[0]});
        f.w.Command2_Click();
        QVERIFY(waitForRuns());
        QCoreApplication::processEvents();
        QVERIFY(f.info().endsWith(kDone + QStringLiteral("\n加密文档 /d/a.doc\n") + kDone + u'\n'));
        QCOMPARE(f.info().count(kNote), 1);
        QCOMPARE(f.list1->count(), 0);
        QCOMPARE(f.label4->text(), QString());
        QVERIFY(!f.w.holdsApplication()); // the Quit event let it go
        QCOMPARE(f.word.openDocuments, 0);
        QVERIFY(f.fakes.messages.shown.isEmpty());

        // Closing after a run has nothing left to quit.
        f.w.close();
        QCOMPARE(f.word.calls.count(QStringLiteral("Quit")), 2);
        QVERIFY(f.fakes.messages.shown.isEmpty());
    }

    void passwordBoxes_data()
    {
        QTest::addColumn<QString>("read");
        QTest::addColumn<QString>("write");
        QTest::newRow("both empty: decrypt") << QString() << QString();
        QTest::newRow("read only") << QStringLiteral("739") << QString();
        QTest::newRow("write only") << QString() << QStringLiteral("7591");
        QTest::newRow("spaces are passwords") << QStringLiteral(" ") << QStringLiteral(" x ");
    }
    void passwordBoxes()
    {
        QFETCH(QString, read);
        QFETCH(QString, write);
        Fixture f;
        f.text2->setText(read);
        f.text4->setText(write);
        f.add({QStringLiteral("/d/a.doc")});
        f.w.Command2_Click();
        QVERIFY(waitForRuns());
        QCOMPARE(f.word.calls, kObtain + documentCalls(QStringLiteral("/d/a.doc"), read, write) +
                                   QStringList{QStringLiteral("Quit")});
        QCOMPARE(f.word.saved.value(QStringLiteral("/d/a.doc")).password, read);
        QCOMPARE(f.word.saved.value(QStringLiteral("/d/a.doc")).writePassword, write);
    }

    void emptyListAfterObtaining()
    {
        Fixture f;
        f.w.Command2_Click();
        QVERIFY(waitForRuns());
        QCOMPARE(f.word.calls, kObtain);
        QCOMPARE(f.fakes.messages.texts(), QStringList{kEmptyList});
        QCOMPARE(f.fakes.messages.shown.first().icon, MessageIcon::Information);
        QCOMPARE(f.info(), kWelcome);
        QVERIFY(f.w.holdsApplication()); // hidden and held until the window closes

        // A second run replaces the held application with a new one.
        f.w.Command2_Click();
        QVERIFY(waitForRuns());
        QCOMPARE(f.word.applicationsCreated, 2);

        f.w.close();
        QCOMPARE(f.word.calls.count(QStringLiteral("Quit")), 1);
        QVERIFY(!f.w.holdsApplication());
    }

    void wordProcessorMissing()
    {
        Fixture f;
        f.word.createError = QStringLiteral("未找到 LibreOffice Writer");
        f.add({QStringLiteral("/d/a.doc")});
        f.w.Command2_Click();
        QVERIFY(waitForRuns());
        QCOMPARE(f.word.calls, QStringList({QStringLiteral("GetObject word.Application"),
                                            QStringLiteral("CreateObject word.Application")}));
        QCOMPARE(f.fakes.messages.texts(), QStringList{QStringLiteral("未找到 LibreOffice Writer")});
        QCOMPARE(f.fakes.messages.shown.first().icon, MessageIcon::None);
        QCOMPARE(f.list1->count(), 1);
        QCOMPARE(f.info(), kWelcome);
        f.w.close(); // nothing to quit, nothing shown
        QCOMPARE(f.fakes.messages.shown.size(), 1);
    }

    void runningApplicationIsBound()
    {
        Fixture f;
        f.word.bindSucceeds = true;
        f.add({QStringLiteral("/d/a.doc")});
        f.w.Command2_Click();
        QVERIFY(waitForRuns());
        QCOMPARE(f.word.calls.mid(0, 2),
                 QStringList({QStringLiteral("GetObject word.Application"), QStringLiteral("Visible=false")}));
    }

    void failuresAreReportedAndTheRunGoesOn_data()
    {
        QTest::addColumn<QString>("step");
        QTest::addColumn<int>("times"); ///< failing attempts (-1: always)
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<int>("opens");
        QTest::addColumn<bool>("saved");
        QTest::newRow("open always fails")
            << "Open" << -1 << QStringList{QStringLiteral("  打开文档失败: 无法打开文档")} << wordcrypt::kOpenAttempts
            << false;
        QTest::newRow("open fails twice") << "Open" << 2 << QStringList() << 3 << true;
        QTest::newRow("password") << "Password" << 1
                                  << QStringList{QStringLiteral("  设置读密码失败: 无法设置打开密码"),
                                                 QStringLiteral("  文档未保存")}
                                  << 1 << false;
        QTest::newRow("write password") << "WritePassword" << 1
                                        << QStringList{QStringLiteral("  设置写密码失败: 无法设置写密码")} << 1 << true;
        QTest::newRow("save") << "Save" << 1 << QStringList{QStringLiteral("  保存文档失败: 文档无法保存")} << 1
                              << false;
        QTest::newRow("close") << "Close" << 1 << QStringList{QStringLiteral("  关闭文档失败: 文档无法关闭")} << 1
                               << true;
    }
    void failuresAreReportedAndTheRunGoesOn()
    {
        QFETCH(QString, step);
        QFETCH(int, times);
        QFETCH(QStringList, lines);
        QFETCH(int, opens);
        QFETCH(bool, saved);
        Fixture f;
        const QString bad = QStringLiteral("/d/bad.doc");
        if (step == QLatin1String("Open"))
            f.word.openFailures.insert(bad, times);
        else
            f.word.stepFailures[step].insert(bad);
        f.word.converted = {bad, QStringLiteral("/d/good.doc")}; // noted only where nothing failed
        f.add({bad, QStringLiteral("/d/good.doc")});
        f.w.Command2_Click();
        QVERIFY(waitForRuns());

        QCOMPARE(f.word.calls.count(QStringLiteral("Open /d/bad.doc ConfirmConversions=false")), opens);
        QCOMPARE(f.word.saved.contains(bad), saved);
        QVERIFY(f.word.saved.contains(QStringLiteral("/d/good.doc")));
        // The end line stays the run's last line; a box after it names the failed document.
        QStringList infoAtBox;
        f.fakes.messages.onShow = [&](const platform::FakeMessageBoxes::Shown&) { infoAtBox << f.info(); };
        QCoreApplication::processEvents();
        const QString converted = QStringLiteral("  已转存为Word 97格式\n");
        const QString expected = kWelcome + kNote + QStringLiteral("加密文档 /d/bad.doc\n") +
                                 (lines.isEmpty() ? converted : lines.join(u'\n') + u'\n') +
                                 QStringLiteral("加密文档 /d/good.doc\n") + converted + kDone + u'\n';
        QCOMPARE(f.info(), expected);
        QCOMPARE(f.word.calls.last(), QStringLiteral("Quit"));
        QCOMPARE(infoAtBox, lines.isEmpty() ? QStringList() : QStringList{expected});
        if (lines.isEmpty())
            return;
        const platform::FakeMessageBoxes::Shown& box = f.fakes.messages.shown.first();
        QCOMPARE(box.icon, MessageIcon::Information);
        QCOMPARE(box.text, QStringLiteral("文档加密已结束,但以下 1 个文档未能处理:\n\n/d/bad.doc"));
        QCOMPARE(box.details, QStringList(QStringList{bad} + lines).join(u'\n'));
    }

    void promptOffersThePasswordForTheRest_data()
    {
        QTest::addColumn<bool>("tick");
        QTest::addColumn<int>("dialogs");
        QTest::newRow("each document asked") << false << 3;
        QTest::newRow("kept for the rest") << true << 1;
    }
    void promptOffersThePasswordForTheRest()
    {
        QFETCH(bool, tick);
        QFETCH(int, dialogs);
        Fixture f;
        f.word.prompt = &f.prompt;
        const QStringList docs = {QStringLiteral("/d/a.doc"), QStringLiteral("/d/b.doc"), QStringLiteral("/d/c.doc")};
        for (const QString& d : docs)
            f.word.openPasswords.insert(d, QStringLiteral("旧"));
        f.add(docs);
        // Plays the user: types the password, ticks the box as the row says.
        int shown = 0;
        QTimer user;
        QObject::connect(&user, &QTimer::timeout, [&] {
            for (QWidget* top : QApplication::topLevelWidgets()) {
                auto* box = top->isVisible() ? top->findChild<QCheckBox*>("forRemaining") : nullptr;
                if (!box)
                    continue;
                ++shown;
                top->findChild<QLineEdit*>("password")->setText(QStringLiteral("旧"));
                box->setChecked(tick);
                qobject_cast<QDialog*>(top)->accept();
            }
        });
        user.start(10);
        f.w.Command2_Click();
        QVERIFY(waitForRuns());
        QCOMPARE(shown, dialogs);
        for (const QString& d : docs)
            QCOMPARE(f.word.saved.value(d).password, QStringLiteral("739"));
        QVERIFY(!f.prompt.keepsPassword()); // forgotten with the run
    }

    void passwordLengthIsCheckedBeforeAnything_data()
    {
        QTest::addColumn<QString>("read");
        QTest::addColumn<QString>("write");
        QTest::addColumn<bool>("runs");
        QTest::newRow("15 and 15") << QString(15, u'a') << QStringLiteral("七个汉字的密码再加八个字符") << true;
        QTest::newRow("16 to open") << QString(16, u'a') << QString() << false;
        QTest::newRow("16 to modify") << QStringLiteral("739") << QString(16, u'密') << false;
    }
    void passwordLengthIsCheckedBeforeAnything()
    {
        QFETCH(QString, read);
        QFETCH(QString, write);
        QFETCH(bool, runs);
        Fixture f;
        f.text2->setText(read);
        f.text4->setText(write);
        f.add({QStringLiteral("/d/a.doc"), QStringLiteral("/d/b.doc")});
        f.w.Command2_Click();
        QVERIFY(waitForRuns());
        if (runs) {
            QCOMPARE(f.word.saved.value(QStringLiteral("/d/b.doc")).writePassword, write);
            QVERIFY(f.fakes.messages.shown.isEmpty());
            return;
        }
        // Said once; the office is never started and the list stays for a corrected run.
        QCOMPARE(f.fakes.messages.texts(), QStringList{wordcrypt::DocumentEncryptor::passwordTooLongText()});
        QVERIFY(f.word.calls.isEmpty());
        QCOMPARE(f.list1->count(), 2);
        QCOMPARE(f.info(), kWelcome);
    }

    void hooksUseTheSnapshotAndTheStopToken()
    {
        Fixture f;
        platform::RunControl control;
        f.w.setRunControl(&control);
        QCOMPARE(f.word.runControl, &control);
        // What the run uses is what the boxes held when the run began, whatever they show later.
        f.add({QStringLiteral("/d/a.doc")});
        f.word.onCall = [&](const QString& call) {
            if (call.startsWith(QLatin1String("Open /")))
                f.text2->setText(QStringLiteral("changed"));
        };
        f.w.Command2_Click();
        QVERIFY(waitForRuns());
        QCOMPARE(f.word.saved.value(QStringLiteral("/d/a.doc")).password, QStringLiteral("739"));
    }
};

KORVANE_TEST_MAIN(TestFrmJmWord)
#include "tst_wordcrypt_frmjmword.moc"
