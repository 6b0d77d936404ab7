// Runs as jobs: a handler returns at once, each window's run ends on its own, the progress
// dialog never covers a box the job asked for, and what a job asks of the user is shown on
// the user-interface thread.
#include "platform/fakes/fakeservices.h"
#include "platform/fakes/fakewordprocessor.h"
#include "platform/widgets/backgroundrun.h"
#include "platform/widgets/shutdown.h"

#include "support/testmain.h"
#include <QDialog>
#include <QSemaphore>
#include <QTest>
#include <QThread>
#include <QWidget>
#include <optional>
#include <stdexcept>

using namespace korvane::platform;

namespace {

bool progressShown(const QWidget& window)
{
    const auto* dialog = window.findChild<QDialog*>(QStringLiteral("runProgress"));
    return dialog && dialog->isVisible();
}

} // namespace

class TestBackgroundRun : public QObject {
    Q_OBJECT
private slots:
    void boxNeverUnderTheProgressDialog_data();
    void boxNeverUnderTheProgressDialog();
    void runsInTwoWindowsEndEachOnTheirOwn_data();
    void runsInTwoWindowsEndEachOnTheirOwn();
    void promptAnsweredOnTheUserInterfaceThread();
    void stopForQuitAnswersUnshownInteractionsAsCancelled();
    void completionGetsTheJobsResult();
    void closeBehindAStoppedRunsBoxGoesAheadOnceAnswered();
};

void TestBackgroundRun::boxNeverUnderTheProgressDialog_data()
{
    QTest::addColumn<int>("askAfterMs");
    QTest::newRow("at once") << 0;
    QTest::newRow("after the dialog is up") << 600;
}

void TestBackgroundRun::boxNeverUnderTheProgressDialog()
{
    QFETCH(int, askAfterMs);
    FakeMessageBoxes boxes;
    UiThreadMessages messages(boxes);
    QWidget window;
    window.show();
    BackgroundRun run(&window, boxes);

    QList<bool> coveredWhileOpen;
    boxes.onShow = [&](const FakeMessageBoxes::Shown&) {
        // The box stays open for longer than the dialog's delay, as a user reads it.
        coveredWhileOpen << progressShown(window);
        QTest::qWait(700);
        coveredWhileOpen << progressShown(window);
    };
    QSemaphore finish;
    bool ended = false;
    QVERIFY(run.start(
        QStringLiteral("正在测试…"),
        [&](RunControl&) {
            QThread::msleep(ulong(askAfterMs));
            messages.show(&window, QStringLiteral("列表为空"), MessageIcon::Information);
            finish.acquire(); // a long run goes on after the box
        },
        [&] { ended = true; }));
    QVERIFY(run.isRunning()); // the handler's part before the run has returned already
    QTRY_COMPARE(boxes.shown.size(), 1);
    QCOMPARE(coveredWhileOpen, QList<bool>({false, false}));
    // The delay counts again from the box's close: the dialog comes back for the long run.
    QTRY_VERIFY(progressShown(window));
    finish.release();
    QTRY_VERIFY(ended);
    QVERIFY(!progressShown(window));
}

void TestBackgroundRun::runsInTwoWindowsEndEachOnTheirOwn_data()
{
    QTest::addColumn<bool>("firstEndsFirst");
    QTest::newRow("first ends first") << true;
    QTest::newRow("second ends first") << false;
}

void TestBackgroundRun::runsInTwoWindowsEndEachOnTheirOwn()
{
    QFETCH(bool, firstEndsFirst);
    FakeMessageBoxes boxes;
    QWidget windowA;
    QWidget windowB;
    auto* buttonA = new QWidget(&windowA);
    auto* buttonB = new QWidget(&windowB);
    BackgroundRun runA(&windowA, boxes);
    BackgroundRun runB(&windowB, boxes);
    QSemaphore goA;
    QSemaphore goB;
    QStringList ends;
    QVERIFY(runA.start(
        QStringLiteral("A"), [&](RunControl&) { goA.acquire(); }, [&] { ends << QStringLiteral("A"); }));
    QVERIFY(runB.start(
        QStringLiteral("B"), [&](RunControl&) { goB.acquire(); }, [&] { ends << QStringLiteral("B"); }));
    QVERIFY(!buttonA->isEnabled() && !buttonB->isEnabled());
    QCOMPARE(BackgroundRun::runsInFlight().size(), 2);

    BackgroundRun& first = firstEndsFirst ? runA : runB;
    QWidget* firstButton = firstEndsFirst ? buttonA : buttonB;
    QWidget* otherButton = firstEndsFirst ? buttonB : buttonA;
    (firstEndsFirst ? goA : goB).release();
    QTRY_COMPARE(ends.size(), 1);
    QCOMPARE(ends.first(), firstEndsFirst ? QStringLiteral("A") : QStringLiteral("B"));
    QVERIFY(!first.isRunning());
    QVERIFY(firstButton->isEnabled());
    QVERIFY(!otherButton->isEnabled()); // still in its run
    (firstEndsFirst ? goB : goA).release();
    QTRY_COMPARE(ends.size(), 2);
    QVERIFY(otherButton->isEnabled());
    QVERIFY(BackgroundRun::runsInFlight().isEmpty());
}

void TestBackgroundRun::promptAnsweredOnTheUserInterfaceThread()
{
    // The fake ends the program if it is called on the worker.
    FakeMessageBoxes boxes;
    FakeDocumentPasswordPrompt prompt;
    prompt.answers.enqueue(QStringLiteral("739"));
    QWidget window;
    BackgroundRun run(&window, boxes);
    std::optional<QString> answered = QStringLiteral("unset");
    std::optional<QString> cancelled = QStringLiteral("unset");
    QWidget* owner = nullptr;
    bool ended = false;
    QVERIFY(run.start(
        QStringLiteral("正在解密文档…"),
        [&](RunControl&) {
            interactWithUser([&] {
                answered = prompt.askPassword(QStringLiteral("a.doc"));
                owner = interactionOwner();
            });
            interactWithUser([&] { cancelled = prompt.askPassword(QStringLiteral("b.doc")); });
        },
        [&] { ended = true; }));
    QTRY_VERIFY(ended);
    QCOMPARE(answered, std::optional<QString>(QStringLiteral("739")));
    QCOMPARE(cancelled, std::nullopt);
    QCOMPARE(owner, &window);
    QCOMPARE(prompt.asked, QStringList({QStringLiteral("a.doc"), QStringLiteral("b.doc")}));
}

void TestBackgroundRun::stopForQuitAnswersUnshownInteractionsAsCancelled()
{
    FakeMessageBoxes boxes;
    QWidget window;
    BackgroundRun run(&window, boxes);
    bool shown = true;
    bool ended = false;
    QVERIFY(run.start(
        QStringLiteral("正在测试…"),
        [&](RunControl& control) {
            while (!control.stopRequested())
                QThread::msleep(5);
            shown = interactWithUser([] {});
        },
        [&] { ended = true; }));
    run.stopForQuit();
    QTRY_VERIFY(ended);
    QVERIFY(run.stopped());
    QVERIFY(!shown);
}

void TestBackgroundRun::completionGetsTheJobsResult()
{
    FakeMessageBoxes boxes;
    QWidget window;
    BackgroundRun run(&window, boxes);
    QSemaphore go;
    QThread* jobThread = nullptr;
    std::optional<QStringList> got;
    QVERIFY(run.start(
        QStringLiteral("正在测试…"),
        [&](RunControl&) {
            go.acquire();
            jobThread = QThread::currentThread();
            return QStringList{QStringLiteral("a"), QStringLiteral("b")};
        },
        [&](QStringList lines) {
            QVERIFY(onUserInterfaceThread());
            got = lines;
        }));
    // One run at a time: a second start is refused and its job never runs.
    bool secondRan = false;
    QVERIFY(!run.start(
        QStringLiteral("正在测试…"), [&](RunControl&) { return secondRan = true; }, [](bool) {}));
    go.release();
    QTRY_VERIFY(got.has_value());
    QCOMPARE(*got, QStringList({QStringLiteral("a"), QStringLiteral("b")}));
    QVERIFY(jobThread && jobThread != QThread::currentThread());
    QVERIFY(!secondRan);

    // A job that fails hands on an empty result, and the failure is said.
    std::optional<QStringList> failed;
    QVERIFY(run.start(
        QStringLiteral("正在测试…"), [](RunControl&) -> QStringList { throw std::runtime_error("boom"); },
        [&](QStringList lines) { failed = lines; }));
    QTRY_VERIFY(failed.has_value());
    QVERIFY(failed->isEmpty());
    QCOMPARE(boxes.texts(), QStringList{QStringLiteral("操作意外中止: boom")});
}

void TestBackgroundRun::closeBehindAStoppedRunsBoxGoesAheadOnceAnswered()
{
    FakeMessageBoxes boxes;
    QWidget main;
    main.show();
    auto* tool = new QWidget(&main, Qt::Window);
    tool->show();
    BackgroundRun run(tool, boxes);
    QStringList steps;
    boxes.onShow = [&](const FakeMessageBoxes::Shown&) {
        // Stands in for the box's modality; shown without a loop of its own.
        QDialog modal(tool);
        modal.setModal(true);
        modal.show();
        closeBehindBoxes([&] { main.close(); }); // the main window's close box, which Qt would drop
        steps << QStringLiteral("box %1, main %2")
                     .arg(modal.isVisible() ? QStringLiteral("open") : QStringLiteral("closed"),
                          main.isVisible() ? QStringLiteral("open") : QStringLiteral("closed"));
    };
    QVERIFY(run.start(
        QStringLiteral("正在测试…"),
        [](RunControl& control) {
            while (!control.stopRequested())
                QThread::msleep(5);
        },
        [&] {
            boxes.show(tool, cancelledText(3, 4), MessageIcon::Information);
            steps << QStringLiteral("after the box");
        }));
    run.requestStop();
    QTRY_VERIFY(!main.isVisible());
    QCOMPARE(steps, QStringList({QStringLiteral("box closed, main open"), QStringLiteral("after the box")}));
}

KORVANE_TEST_MAIN(TestBackgroundRun)
#include "tst_platform_backgroundrun.moc"
