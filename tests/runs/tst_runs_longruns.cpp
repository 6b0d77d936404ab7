// Every batch window with a slow fake engine: the event loop keeps turning while the run is
// held, the run button cannot start a second run, "取消" ends with the cancelled line and an
// uncancelled run with the window's usual message.
#include "batchlist/frmcompile.h"
#include "components/frmregsvr.h"
#include "components/wineenv.h"
#include "filemanager/frmmove.h"
#include "helpdecompiler/decompilerun.h"
#include "helpdecompiler/frmdecp.h"
#include "platform/fakes/fakeservices.h"
#include "recorder/frmrec.h"
#include "support/pesynth.h"
#include "support/runs.h"
#include "support/testtree.h"

#include "support/testmain.h"
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <atomic>

using namespace korvane;
using platform::FakeServices;
using platform::FaultyFileSystem;
using testsupport::waitForRuns;
using testsupport::writeFile;

namespace {

/// Holds the first call that passes it until the test lets it go.
struct Gate {
    QSemaphore entered;
    QSemaphore released;
    std::atomic<bool> first{true};
    bool hold()
    {
        if (first.exchange(false)) {
            entered.release();
            released.acquire();
        }
        return false; // never a failure: only slow
    }
};

template <typename W> W* child(QWidget* window, const char* name)
{
    return window->findChild<W*>(QString::fromLatin1(name));
}

struct Window {
    /// Makes the files, scripts the fakes (one of them held by the gate) and creates the window.
    std::function<QWidget*(FakeServices&, const QString& dir, Gate&)> create;
    std::function<void(QWidget*)> start;
    const char* runButton;
    /// The window's last words: its last message box, or the last line of its information box.
    bool writesInfoBox = false;
};

QString lastWords(QWidget* w, const FakeServices& fake, bool infoBox)
{
    if (infoBox)
        return child<QPlainTextEdit>(w, "Text3")->toPlainText().trimmed().section(QLatin1Char('\n'), -1);
    return fake.messages.shown.isEmpty() ? QString() : fake.messages.shown.last().text;
}

/// The compiler window with three projects listed and a native compiler (started directly, no Wine).
QWidget* compileWindow(FakeServices& fake, const QString& dir)
{
    const QString vb6 = dir + QStringLiteral("/vbmake");
    writeFile(vb6, "x");
    auto* w = new batchlist::frmCompile(fake.services());
    child<QLineEdit>(w, "Text2")->setText(vb6);
    for (const char* p : {"/p/a.vbp", "/p/b.vbp", "/p/c.vbp"}) {
        child<QLineEdit>(w, "Text1")->setText(QString::fromLatin1(p));
        static_cast<batchlist::frmCompile*>(w)->Command1_Click();
    }
    return w;
}

Window recorderWindow()
{
    return Window{[](FakeServices& fake, const QString& dir, Gate& gate) -> QWidget* {
                      for (int i = 0; i < 3; ++i)
                          writeFile(dir + QStringLiteral("/in/f%1.txt").arg(i), "x");
                      QFile::copy(QStringLiteral(KORVANE_EMPTY_DB), dir + QStringLiteral("/db1.mdb"));
                      QFile::setPermissions(dir + QStringLiteral("/db1.mdb"), QFile::ReadOwner | QFile::WriteOwner);
                      fake.folders.answers.enqueue(dir + QStringLiteral("/in"));
                      fake.fs.failOn(FaultyFileSystem::Op::List, [&gate](const QByteArray&) { return gate.hold(); });
                      return new recorder::frmrec(fake.services());
                  },
                  [](QWidget* w) { static_cast<recorder::frmrec*>(w)->Command1_Click(); }, "Command1"};
}

Window moverWindow()
{
    return Window{[](FakeServices& fake, const QString& dir, Gate& gate) -> QWidget* {
                      for (int i = 0; i < 3; ++i)
                          writeFile(dir + QStringLiteral("/src/f%1.txt").arg(i), "x");
                      QDir().mkpath(dir + QStringLiteral("/dst"));
                      fake.fs.failOn(FaultyFileSystem::Op::Move, [&gate](const QByteArray&) { return gate.hold(); });
                      auto* w = new filemanager::frmmove(fake.services());
                      child<QLineEdit>(w, "Text1")->setText(dir + QStringLiteral("/src"));
                      child<QLineEdit>(w, "Text2")->setText(dir + QStringLiteral("/dst"));
                      child<QComboBox>(w, "Combo1")->setCurrentText(QStringLiteral("*.txt"));
                      return w;
                  },
                  [](QWidget* w) { static_cast<filemanager::frmmove*>(w)->Command3_Click(); }, "Command3"};
}

Window decompilerWindow()
{
    return Window{[](FakeServices& fake, const QString& dir, Gate& gate) -> QWidget* {
                      for (const char* name : {"a", "b", "c"}) {
                          writeFile(dir + QStringLiteral("/t/%1.chm").arg(QLatin1String(name)), "x");
                          QDir().mkpath(dir + QStringLiteral("/t/%1").arg(QLatin1String(name)));
                      }
                      const QString helper = dir + QStringLiteral("/korvane-chmextract");
                      fake.programs.executables.insert(helper, helper);
                      // The run's first file is held, not whichever helper asks first: the files
                      // in hand at the stop then depend only on the helpers allowed. The run
                      // takes them in the folder's own order.
                      QByteArray first;
                      const auto listed = fake.fs.list(QFile::encodeName(dir + QStringLiteral("/t")));
                      for (const platform::DirEntry& e : listed.value())
                          if (first.isEmpty() && e.name.endsWith(".chm"))
                              first = QFile::encodeName(dir) + "/t/" + e.name + '\0';
                      fake.programs.onRun = [&gate, first](const platform::FakeProgramStarter::Call& call) {
                          if (call.standardInput.startsWith(first))
                              gate.hold();
                          return platform::RunOutcome{true, true, 0, "opened\t1\ndone\t0\t0\t0\n", {}};
                      };
                      auto* w = new helpdecompiler::Frmdecp(fake.services());
                      child<QLineEdit>(w, "Text1")->setText(dir + QStringLiteral("/t"));
                      return w;
                  },
                  [](QWidget* w) { static_cast<helpdecompiler::Frmdecp*>(w)->Command3_Click(); }, "Command3"};
}

Window registrarWindow()
{
    return Window{[](FakeServices& fake, const QString& dir, Gate& gate) -> QWidget* {
                      fake.programs.executables.insert(QStringLiteral("wine"), QStringLiteral("/usr/bin/wine"));
                      // Libraries of a bitness this machine's Wine runs.
                      const bool is64 = !components::detectWine(fake.fs, fake.programs).run32;
                      for (int i = 0; i < 3; ++i) {
                          QFile f(dir + QStringLiteral("/lib/c%1.dll").arg(i));
                          QDir().mkpath(dir + QStringLiteral("/lib"));
                          if (f.open(QIODevice::WriteOnly))
                              f.write(testsupport::syntheticPe(is64, {"DllRegisterServer"}, {"KERNEL32.dll"}));
                      }
                      fake.fs.failOn(FaultyFileSystem::Op::List, [&gate](const QByteArray&) { return gate.hold(); });
                      auto* w = new components::Frmregsvr(fake.services());
                      child<QLineEdit>(w, "Text4")->setText(dir + QStringLiteral("/lib"));
                      return w;
                  },
                  [](QWidget* w) { static_cast<components::Frmregsvr*>(w)->Command5_Click(); }, "Command5"};
}

Window compilerWindow()
{
    return Window{[](FakeServices& fake, const QString& dir, Gate& gate) -> QWidget* {
                      fake.fs.failOn(FaultyFileSystem::Op::FileExists,
                                     [&gate](const QByteArray&) { return gate.hold(); });
                      return compileWindow(fake, dir);
                  },
                  [](QWidget* w) { static_cast<batchlist::frmCompile*>(w)->Command2_Click(); }, "Command2", true};
}

// Stopped while its first entry is in hand, and that entry fails: it was left as it was,
// so it counts as not processed and stays listed.
Window compilerStoppedInEntryWindow()
{
    return Window{[](FakeServices& fake, const QString& dir, Gate& gate) -> QWidget* {
                      fake.programs.onRun = [&gate](const platform::FakeProgramStarter::Call&) {
                          gate.hold();
                          return platform::RunOutcome{
                              false, false, -1, {}, platform::Status::failure(platform::ErrorKind::Failed, "gone")};
                      };
                      return compileWindow(fake, dir);
                  },
                  compilerWindow().start, "Command2", true};
}

} // namespace

Q_DECLARE_METATYPE(Window)

class TestLongRuns : public QObject {
    Q_OBJECT
private slots:
    void run_data()
    {
        QTest::addColumn<Window>("window");
        QTest::addColumn<bool>("cancel");
        QTest::addColumn<QString>("expected");

        const Window recorder = recorderWindow();
        QTest::newRow("frmrec") << recorder << false << QStringLiteral("所选目录文件信息记录完毕!");
        QTest::newRow("frmrec cancelled") << recorder << true << QStringLiteral("操作已取消: 已处理 0 个, 未处理 3 个");

        const Window mover = moverWindow();
        QTest::newRow("frmmove") << mover << false << QString(); // the window says nothing at the end
        QTest::newRow("frmmove cancelled") << mover << true << QStringLiteral("操作已取消: 已处理 1 个, 未处理 2 个");

        const Window decompiler = decompilerWindow();
        QTest::newRow("Frmdecp") << decompiler << false << QStringLiteral("全部chm文件反编译完成!");
        // Help files are decompiled side by side: every one in hand when the stop comes ends. The
        // stop lands among the root's files, so its three subfolders are left unwalked.
        const int inHand = std::min(3, helpdecompiler::DecompileRun::helpersForThisMachine());
        QTest::newRow("Frmdecp cancelled")
            << decompiler << true
            << QStringLiteral("操作已取消: 已处理 %1 个, 未处理 %2 个, 另有未遍历的文件夹").arg(inHand).arg(3 - inHand);

        const Window registrar = registrarWindow();
        QTest::newRow("Frmregsvr") << registrar << false << QStringLiteral("该目录全部dll或ocx文件注册完毕!");
        QTest::newRow("Frmregsvr cancelled")
            << registrar << true << QStringLiteral("操作已取消: 已处理 0 个, 未处理 3 个");

        const Window compiler = compilerWindow();
        QTest::newRow("frmCompile") << compiler << false << QStringLiteral("  已完成"); // after "编译工程 /p/c.vbp"
        QTest::newRow("frmCompile cancelled")
            << compiler << true << QStringLiteral("操作已取消: 已处理 0 个, 未处理 3 个");

        const Window compilerStoppedInEntry = compilerStoppedInEntryWindow();
        QTest::newRow("frmCompile cancelled in an entry")
            << compilerStoppedInEntry << true << QStringLiteral("操作已取消: 已处理 0 个, 未处理 3 个");
    }

    void run()
    {
        QFETCH(Window, window);
        QFETCH(bool, cancel);
        QFETCH(QString, expected);
        QTemporaryDir dir;
        FakeServices fake(dir.path());
        Gate gate;
        std::unique_ptr<QWidget> w(window.create(fake, dir.path(), gate));
        w->show();
        auto* button = child<QPushButton>(w.get(), window.runButton);

        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, this, [&] { ++ticks; });
        ticker.start(5);
        bool held = false, buttonDisabled = false;
        QString title, line;
        QTimer driver;
        connect(&driver, &QTimer::timeout, this, [&] {
            if (!held && !(held = gate.entered.tryAcquire()))
                return;
            if (!buttonDisabled) {
                buttonDisabled = !button->isEnabled();
                QTest::mouseClick(button, Qt::LeftButton); // must not start a second run
            }
            if (cancel) {
                auto* dialog = w->findChild<QDialog*>(QStringLiteral("runProgress"));
                if (!dialog || !dialog->isVisible())
                    return; // it shows after a moment
                title = dialog->windowTitle();
                line = child<QLabel>(dialog, "progressLine")->text();
                QTest::mouseClick(child<QPushButton>(dialog, "cancelButton"), Qt::LeftButton);
            }
            driver.stop();
            gate.released.release();
        });
        driver.start(10);
        window.start(w.get());
        QVERIFY(waitForRuns());
        const int ticksDuringRun = ticks;

        QVERIFY(held);
        QVERIFY(ticksDuringRun > 0);
        QVERIFY(buttonDisabled);
        QVERIFY(button->isEnabled());
        QCOMPARE(lastWords(w.get(), fake, window.writesInfoBox), expected);
        if (cancel) {
            QCOMPARE(title, QStringLiteral("Korvane"));
            QVERIFY2(line.startsWith(QStringLiteral("正在")) && line.endsWith(QStringLiteral(" 个")), qPrintable(line));
        }
        QVERIFY(!w->findChild<QDialog*>(QStringLiteral("runProgress")));
    }

    void closeDuringRunStopsFirst()
    {
        QTemporaryDir dir;
        FakeServices fake(dir.path());
        Gate gate;
        for (int i = 0; i < 3; ++i)
            writeFile(dir.filePath(QStringLiteral("src/f%1.txt").arg(i)), "x");
        QDir().mkpath(dir.filePath(QStringLiteral("dst")));
        fake.fs.failOn(FaultyFileSystem::Op::Move, [&gate](const QByteArray&) { return gate.hold(); });
        QPointer<filemanager::frmmove> w = new filemanager::frmmove(fake.services());
        w->setAttribute(Qt::WA_DeleteOnClose);
        child<QLineEdit>(w, "Text1")->setText(dir.filePath(QStringLiteral("src")));
        child<QLineEdit>(w, "Text2")->setText(dir.filePath(QStringLiteral("dst")));
        child<QComboBox>(w, "Combo1")->setCurrentText(QStringLiteral("*.txt"));
        w->show();
        bool stillOpen = false;
        QTimer::singleShot(0, this, [&] {
            gate.entered.acquire();
            QVERIFY(!w->close()); // refused while the handler is on the stack
            stillOpen = w->isVisible();
            gate.released.release();
        });
        w->Command3_Click();
        QVERIFY(waitForRuns());
        QVERIFY(stillOpen);
        QVERIFY(w); // the handler returned into a live window
        QCOMPARE(fake.messages.texts(), QStringList{QStringLiteral("操作已取消: 已处理 1 个, 未处理 2 个")});
        QTRY_VERIFY(!w); // then it closes
        QCOMPARE(QDir(dir.filePath(QStringLiteral("src"))).entryList(QDir::Files).size(), 2);
    }
};

KORVANE_TEST_MAIN(TestLongRuns)
#include "tst_runs_longruns.moc"
