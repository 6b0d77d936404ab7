// The document encryptor's run as the command line drives it, through the in-memory word processor.

#include "wordcrypt/documentrun.h"

#include "platform/fakes/fakeservices.h"
#include "platform/fakes/fakewordprocessor.h"
#include "platform/runcontrol.h"

#include "support/testmain.h"
#include <QQueue>
#include <QTest>

using namespace korvane;
using wordcrypt::DocumentOutcome;
using wordcrypt::PasswordAnswer;

namespace {

/// The user at a prompt with the offer: answers from a queue, "" cancels, a trailing "+" ticks it.
class ScriptedPrompt final : public wordcrypt::BatchPasswordPrompt {
public:
    QQueue<QString> answers;
    QStringList asked; ///< file names, " again" after a kept password failed

    std::optional<QString> askPassword(const QString&) override { return std::nullopt; } // no offer: cancelled
    std::optional<PasswordAnswer> askForRun(const QString& fileName, bool again) override
    {
        platform::requireUserInterfaceThread("ScriptedPrompt");
        asked << fileName + (again ? QStringLiteral(" again") : QString());
        const QString answer = answers.isEmpty() ? QString() : answers.dequeue();
        if (answer.isEmpty())
            return std::nullopt;
        return answer.endsWith(u'+') ? PasswordAnswer{answer.chopped(1), true} : PasswordAnswer{answer, false};
    }
};

struct Fixture {
    platform::FakeWordAutomation word;
    ScriptedPrompt user;
    wordcrypt::RunPasswordPrompt prompt{user};
    wordcrypt::DocumentEncryptor engine{word, prompt};
    platform::RunControl control;
    QStringList info;
    QString outcomes; ///< "+" for a document done, "-" for one that failed, in the run's order
    std::vector<DocumentOutcome> results;

    Fixture() { word.prompt = &prompt; }

    platform::Status run(const QStringList& names)
    {
        QList<platform::NativePath> documents;
        for (const QString& name : names)
            documents << name.toUtf8();
        return engine.run(
            {QStringLiteral("739"), QStringLiteral("7591"), documents}, control,
            [this](const QString& line) { info << line; },
            [this](const DocumentOutcome& outcome) {
                outcomes += outcome.state == DocumentOutcome::State::Done ? u'+' : u'-';
                results.push_back(outcome);
            });
    }
};

} // namespace

class TestDocumentRun : public QObject {
    Q_OBJECT
private slots:
    void keptPassword_data()
    {
        QTest::addColumn<QStringList>("current"); ///< each document's current password ("" none)
        QTest::addColumn<QStringList>("answers");
        QTest::addColumn<QStringList>("asked");
        QTest::addColumn<QString>("outcomes");
        QTest::newRow("kept for the rest")
            << QStringList{"x", "", "x", "x"} << QStringList{"x+"} << QStringList{"a.doc"} << "++++";
        QTest::newRow("kept one fails: that document is asked again")
            << QStringList{"x", "y", "x"} << QStringList{"x+", "y"} << QStringList{"a.doc", "b.doc again"} << "+++";
        QTest::newRow("asked again and cancelled: only that one fails")
            << QStringList{"x", "y", "x"} << QStringList{"x+", ""} << QStringList{"a.doc", "b.doc again"} << "+-+";
        QTest::newRow("wrong password with the offer ticked is not kept")
            << QStringList{"x", "x"} << QStringList{"w+", "x"} << QStringList{"a.doc", "b.doc"} << "-+";
    }
    void keptPassword()
    {
        QFETCH(QStringList, current);
        QFETCH(QStringList, answers);
        QFETCH(QStringList, asked);
        QFETCH(QString, outcomes);
        Fixture f;
        QStringList names;
        for (qsizetype i = 0; i < current.size(); ++i) {
            names << QString(QChar(char16_t(u'a' + i))) + QStringLiteral(".doc");
            if (!current[i].isEmpty())
                f.word.openPasswords.insert(names.last(), current[i]);
        }
        f.user.answers = QQueue<QString>(answers);
        QVERIFY(f.run(names).ok());
        QCOMPARE(f.user.asked, asked);
        QCOMPARE(f.outcomes, outcomes);
        QVERIFY(!f.prompt.keepsPassword()); // not beyond the run
    }

    void stopLeavesTheDocumentInHand()
    {
        // The open in hand fails because of the stop: no further try, that document unreported.
        Fixture f;
        f.word.openFailures.insert(QStringLiteral("b.doc"), -1);
        f.word.onCall = [&](const QString& call) {
            if (call.startsWith(QLatin1String("Open b.doc")))
                f.control.requestStop();
        };
        QVERIFY(f.run({"a.doc", "b.doc", "c.doc"}).ok());
        QCOMPARE(f.outcomes, QStringLiteral("+"));
        QCOMPARE(f.word.calls.filter(QStringLiteral("Open b.doc")).size(), 1);
        QVERIFY(f.word.calls.filter(QStringLiteral("Open c.doc")).isEmpty());
        QCOMPARE(f.word.calls.last(), QStringLiteral("Quit"));
    }

    void failureBoxNamesAtMostTwelve()
    {
        Fixture f;
        QStringList names;
        for (int i = 0; i < 14; ++i)
            names << QStringLiteral("文档%1.doc").arg(i);
        f.word.stepFailures[QStringLiteral("Save")] = QSet<QString>(names.begin(), names.end());
        QVERIFY(f.run(names).ok());
        const QString text = wordcrypt::failedDocumentsText(f.results);
        QVERIFY(text.startsWith(QStringLiteral("文档加密已结束,但以下 14 个文档未能处理:\n\n文档0.doc\n")));
        QVERIFY(text.endsWith(QStringLiteral("文档11.doc\n……另有 2 个文档")));
        const QStringList details = wordcrypt::failedDocumentsDetails(f.results).split(u'\n');
        QCOMPARE(details.size(), 28);
        QCOMPARE(details.mid(26), QStringList({names[13], QStringLiteral("  保存文档失败: 文档无法保存")}));
    }
};

KORVANE_TEST_GUILESS_MAIN(TestDocumentRun)
#include "tst_wordcrypt_documentrun.moc"
