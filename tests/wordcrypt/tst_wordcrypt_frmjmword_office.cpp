// The whole encryptor with the real office: a folder of documents is encrypted so that only
// the password opens them, then decrypted again. Skips when LibreOffice is not installed.

#include "officesamples.h"
#include "support/runs.h"
#include "support/testtree.h"
#include "wordcrypt/frmjmword.h"
#include "wordcrypt/libreofficeword.h"
#include "wordcrypt/worddocfile.h"

#include "platform/fakes/fakeservices.h"
#include "platform/fakes/fakewordprocessor.h"

#include "support/testmain.h"
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using korvane::testsupport::bytesOf;
using korvane::testsupport::waitForRuns;
using namespace korvane;

namespace {

int msoffcrypto(const QStringList& arguments)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral("/usr/bin/msoffcrypto-tool"), arguments);
    return p.waitForFinished(60000) ? p.exitCode() : -1;
}

} // namespace

class TestFrmJmWordOffice : public QObject {
    Q_OBJECT
private slots:
    void encryptAndDecryptAFolder()
    {
        const QString helper = wordcrypt::LibreOfficeWord::defaultHelper(QCoreApplication::applicationDirPath());
        const QString office = QStandardPaths::findExecutable(QStringLiteral("soffice"));
        if (!QFileInfo(helper).isExecutable() || office.isEmpty())
            QSKIP("LibreOffice or korvane-unohelper is not installed");

        QTemporaryDir dir;
        QTemporaryDir out;
        QVERIFY(testsupport::officeSamplesInto(out.path()));
        const QString sub = dir.filePath(QStringLiteral("子目录"));
        QVERIFY(QDir().mkpath(sub));
        QVERIFY(QFile::copy(out.filePath(QStringLiteral("one.doc")), dir.filePath(QStringLiteral("报告.doc"))));
        QVERIFY(QFile::copy(out.filePath(QStringLiteral("two.doc")), sub + QStringLiteral("/b.doc")));
        const QStringList docs = {dir.filePath(QStringLiteral("报告.doc")), sub + QStringLiteral("/b.doc")};

        platform::FakeServices fakes;
        platform::FakeDocumentPasswordPrompt prompt;
        wordcrypt::RunPasswordPrompt runPrompt(prompt);
        wordcrypt::LibreOfficeWord word({helper, {}, 120000, 60000}, runPrompt);
        wordcrypt::frmjmword w(fakes.services(), word, runPrompt);
        auto* list1 = w.findChild<QListWidget*>("List1");
        auto* text3 = w.findChild<QPlainTextEdit*>("Text3");

        // Encrypt: both passwords are set and checked; no line reports a failure.
        fakes.folders.answers.enqueue(dir.path());
        w.Command4_Click();
        QVERIFY(waitForRuns());
        QCOMPARE(list1->count(), 2);
        w.Command2_Click();
        QVERIFY(waitForRuns());
        QVERIFY(fakes.messages.shown.isEmpty());
        for (const QString& d : docs) {
            QVERIFY(text3->toPlainText().contains(QStringLiteral("加密文档 ") + d));
            QVERIFY(wordcrypt::inspectWordFile(bytesOf(d))->encrypted);
            QVERIFY(msoffcrypto({QStringLiteral("-p739"), d, out.filePath(QStringLiteral("plain"))}) == 0);
            QVERIFY(msoffcrypto({QStringLiteral("-pwrong"), d, out.filePath(QStringLiteral("plain"))}) != 0);
        }
        for (const QString& d : docs) {
            const auto stored = wordcrypt::readWriteReservation(QFile::encodeName(d), QStringLiteral("739"));
            QVERIFY(stored && stored->flag && stored->password == QStringLiteral("7591"));
        }
        QCOMPARE(text3->toPlainText().count(QStringLiteral("失败")), 0);
        QCoreApplication::processEvents();
        QVERIFY(text3->toPlainText().endsWith(QStringLiteral("列表中的所有文档加密完成!\n")));
        QVERIFY(!w.holdsApplication());

        const QString shot = qEnvironmentVariable("KORVANE_SCREENSHOT");
        if (!shot.isEmpty()) {
            w.show();
            QVERIFY(w.grab().save(shot));
        }

        // Decrypt: both boxes empty; the office asks for each document's current password.
        w.findChild<QLineEdit*>("Text2")->clear();
        w.findChild<QLineEdit*>("Text4")->clear();
        prompt.answers.enqueue(QStringLiteral("739"));
        prompt.answers.enqueue(QStringLiteral("739"));
        fakes.folders.answers.enqueue(dir.path());
        w.Command4_Click();
        QVERIFY(waitForRuns());
        w.Command2_Click();
        QVERIFY(waitForRuns());
        QCOMPARE(prompt.asked, docs);
        for (const QString& d : docs) {
            const auto state = wordcrypt::inspectWordFile(bytesOf(d));
            QVERIFY(state && !state->encrypted && !state->writeReserved);
            QVERIFY(msoffcrypto({QStringLiteral("-t"), d}) != 0); // "not encrypted"
            const auto stored = wordcrypt::readWriteReservation(QFile::encodeName(d), {});
            QVERIFY(stored && !stored->flag && stored->password.isEmpty());
        }
        QCOMPARE(text3->toPlainText().count(QStringLiteral("失败")), 0);
        // No backup is left behind.
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("报告.doc")});

        // Encrypted again, then a decryption whose second prompt is cancelled: that document
        // keeps every byte, the first loses its passwords.
        w.findChild<QLineEdit*>("Text2")->setText(QStringLiteral("739"));
        w.findChild<QLineEdit*>("Text4")->setText(QStringLiteral("7591"));
        fakes.folders.answers.enqueue(dir.path());
        w.Command4_Click();
        QVERIFY(waitForRuns());
        w.Command2_Click();
        QVERIFY(waitForRuns());
        const QByteArray secondBefore = bytesOf(docs[1]);
        w.findChild<QLineEdit*>("Text2")->clear();
        w.findChild<QLineEdit*>("Text4")->clear();
        prompt.asked.clear();
        prompt.answers.enqueue(QStringLiteral("739")); // the second is cancelled
        fakes.folders.answers.enqueue(dir.path());
        w.Command4_Click();
        QVERIFY(waitForRuns());
        w.Command2_Click();
        QVERIFY(waitForRuns());
        QCOMPARE(prompt.asked, docs);
        QVERIFY(!wordcrypt::inspectWordFile(bytesOf(docs[0]))->encrypted);
        QCOMPARE(bytesOf(docs[1]), secondBefore);
        QVERIFY(text3->toPlainText().contains(QStringLiteral("文档需要打开密码，已取消")));
        QCoreApplication::processEvents(); // the box naming it follows the end line
        QVERIFY(fakes.messages.shown.size() == 1 && fakes.messages.shown.first().text.endsWith(docs[1]));
    }
};

KORVANE_TEST_MAIN(TestFrmJmWordOffice)
#include "tst_wordcrypt_frmjmword_office.moc"
