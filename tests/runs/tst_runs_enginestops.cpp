// Stopping every batch engine: after exactly k items, inside a long item, and the counts
// a progress display reads while a run goes.
#include "batchlist/batchlist.h"
#include "components/registration.h"
#include "filemanager/batchrun.h"
#include "helpdecompiler/decompilerun.h"
#include "platform/fakes/fakeservices.h"
#include "platform/localfilesystem.h"
#include "platform/qtprogramstarter.h"
#include "recorder/filedatabase.h"
#include "recorder/recording.h"
#include "support/pesynth.h"
#include "support/testtree.h"

#include "support/testmain.h"
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <thread>

using namespace korvane;
using platform::RunControl;
using testsupport::writeFile;

namespace {

constexpr int kItems = 6;

int countFiles(const QString& folder)
{
    return int(QDir(folder).entryList(QDir::Files | QDir::Hidden).size());
}

filemanager::RunRequest request(const QString& root, filemanager::Operation operation)
{
    filemanager::RunRequest r;
    r.source = QFile::encodeName(root + QStringLiteral("/src"));
    r.target = QFile::encodeName(root + QStringLiteral("/dst"));
    r.operation = operation;
    r.singleType = QStringLiteral("*.dat");
    QDir().mkpath(QFile::decodeName(r.target));
    return r;
}

helpdecompiler::ExtractReport opened(const platform::NativePath& target, const QByteArray& project)
{
    QDir().mkpath(QString::fromUtf8(target + project));
    helpdecompiler::ExtractReport report;
    report.opened = true;
    return report;
}

/// Runs an engine over kItems items in `root`: the items it did and those it left alone, as
/// seen in what the run left behind; -1 when the engine did not report the stop.
using Scenario = std::function<std::pair<int, int>(const QString& root, RunControl& control)>;

} // namespace

Q_DECLARE_METATYPE(Scenario)

class TestEngineStops : public QObject {
    Q_OBJECT
private slots:
    void stopAfterKItems_data()
    {
        QTest::addColumn<Scenario>("scenario");
        QTest::newRow("file manager") << Scenario([](const QString& root, RunControl& control) {
            for (int i = 0; i < kItems; ++i)
                writeFile(root + QStringLiteral("/src/f%1.dat").arg(i), "x");
            platform::LocalFileSystem fs;
            const auto report =
                filemanager::BatchFileManager(fs).run(request(root, filemanager::Operation::Move), &control);
            const bool untouched =
                report.stopped && countFiles(root + QStringLiteral("/src")) == report.found - report.visited;
            return std::pair{countFiles(root + QStringLiteral("/dst")), untouched ? report.found - report.visited : -1};
        });
        QTest::newRow("help decompiler") << Scenario([](const QString& root, RunControl& control) {
            for (int i = 0; i < kItems; ++i)
                writeFile(root + QStringLiteral("/h%1.chm").arg(i), "x");
            platform::LocalFileSystem fs;
            int calls = 0;
            helpdecompiler::DecompileRun run(fs,
                                             [&](const auto&, const auto& target, const QByteArray& project, quint64) {
                                                 ++calls;
                                                 return opened(target, project);
                                             });
            const int outcomes = int(run.run((root + QLatin1Char('/')).toUtf8(), false, true, &control).size());
            return std::pair{calls, outcomes == calls ? run.found() - calls : -1};
        });
        QTest::newRow("registration, one at a time") << Scenario([](const QString& root, RunControl& control) {
            for (int i = 0; i < kItems; ++i)
                writeFile(root + QStringLiteral("/c%1.dll").arg(i), testsupport::registrableLibrary());
            writeFile(root + QStringLiteral("/prefix/system.reg"), "x");
            components::WineEnvironment wine;
            wine.wine = QStringLiteral("/usr/bin/wine");
            wine.prefix = root + QStringLiteral("/prefix");
            wine.run32 = true;
            wine.builtin32 = {QStringLiteral("kernel32.dll")};
            platform::LocalFileSystem fs;
            platform::FakeProgramStarter programs;
            components::RegistrationOptions options;
            options.parallel = 1;
            const auto run = components::registerFolder(fs, programs, root.toUtf8(), &control, &wine, options);
            const int started = int(programs.calls.size());
            return std::pair{started, run.stopped ? run.libraries - started : -1};
        });
        QTest::newRow("batch list walk, a folder an item") << Scenario([](const QString& root, RunControl& control) {
            writeFile(root + QStringLiteral("/a.doc"), "x");
            for (int i = 1; i < kItems; ++i)
                writeFile(root + QStringLiteral("/s%1/b.doc").arg(i), "x");
            platform::LocalFileSystem fs;
            batchlist::BatchList list;
            const auto walk = batchlist::addMatchingFiles(
                fs, root.toUtf8(), batchlist::parseExtensions(QStringLiteral("doc")), list, &control);
            return std::pair{list.size(), walk.stopped ? kItems - list.size() : -1};
        });
    }

    void stopAfterKItems()
    {
        QFETCH(Scenario, scenario);
        QTemporaryDir dir;
        RunControl control;
        control.stopAfter(2);
        QCOMPARE(scenario(dir.path(), control), std::pair(2, kItems - 2));
        QCOMPARE(control.snapshot().done, 2);
    }

    void recorderStopRollsTheRunBack()
    {
        // Rows are prepared and stored in batches of 2048: the stop comes after the first.
        constexpr int kFiles = 2100;
        QTemporaryDir dir;
        for (int i = 0; i < kFiles; ++i)
            writeFile(dir.filePath(QStringLiteral("in/f%1.txt").arg(i)), "x");
        const QString dbPath = dir.filePath(QStringLiteral("db1.mdb"));
        QVERIFY(QFile::copy(QStringLiteral(KORVANE_EMPTY_DB), dbPath));
        QFile::setPermissions(dbPath, QFile::ReadOwner | QFile::WriteOwner);
        platform::LocalFileSystem fs;
        recorder::TypeDescriber types;
        recorder::FileDatabase db(dbPath);
        RunControl control;
        control.stopAfter(1);
        const auto report =
            recorder::recordFolder(fs, db, dir.filePath(QStringLiteral("in")).toUtf8(), types, &control);
        QVERIFY(report.stopped);
        QCOMPARE(report.stored, 0);
        QVERIFY(db.findNamesInSizeRange(0, 1e12).names.isEmpty());
        QCOMPARE(control.snapshot().total, kFiles);
        QVERIFY(control.snapshot().done < kFiles);
    }

    void stopInsideAnItemLeavesNoPartialOutput()
    {
        QTemporaryDir dir;
        writeFile(dir.filePath(QStringLiteral("src/a.dat")), QByteArray(1 << 20, 'd'));
        writeFile(dir.filePath(QStringLiteral("src/b.dat")), QByteArray(1 << 20, 'd'));
        // "取消" while the first copy is in hand: the copy polls the stop and removes itself.
        platform::FaultyFileSystem fs;
        RunControl control;
        fs.failOn(platform::FaultyFileSystem::Op::Copy, [&control](const QByteArray&) {
            control.requestStop();
            return false;
        });
        const auto report =
            filemanager::BatchFileManager(fs).run(request(dir.path(), filemanager::Operation::Copy), &control);
        QVERIFY(report.stopped);
        QVERIFY(report.failures.isEmpty());
        QCOMPARE(report.visited, 0); // the undone file is still pending
        QCOMPARE(countFiles(dir.filePath(QStringLiteral("dst"))), 0);

        // A help file whose helper was killed gets no project file, and nothing after it runs.
        int calls = 0;
        RunControl second;
        helpdecompiler::DecompileRun run(fs, [&](const auto&, const auto& target, const QByteArray& project, quint64) {
            ++calls;
            second.requestStop();
            helpdecompiler::ExtractReport killed = opened(target, project);
            killed.error = "killed";
            return killed;
        });
        writeFile(dir.filePath(QStringLiteral("chm/a.chm")), "x");
        writeFile(dir.filePath(QStringLiteral("chm/b.chm")), "x");
        const auto outcomes = run.run(dir.filePath(QStringLiteral("chm/")).toUtf8(), false, true, &second);
        QCOMPARE(calls, 1);
        QVERIFY(outcomes.size() == 1 && outcomes.first().stopped && !outcomes.first().projectWritten);
        QCOMPARE(countFiles(dir.filePath(QStringLiteral("chm/a"))), 0);
    }

    void helperProgramIsKilledOnStop()
    {
        platform::QtProgramStarter programs;
        RunControl control;
        const RunControl::Scope scope(&control);
        std::thread stopper([&control] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            control.requestStop();
        });
        QElapsedTimer timer;
        timer.start();
        const platform::RunOutcome outcome = programs.run(QStringLiteral("sleep"), {QStringLiteral("30")}, 60000);
        const qint64 elapsed = timer.elapsed();
        stopper.join();
        QVERIFY(outcome.started && !outcome.finished && outcome.stopped);
        QVERIFY2(elapsed < 1500, qPrintable(QString::number(elapsed)));
    }

    void progressOnlyRises()
    {
        // A walk whose total grows folder by folder, sampled from another thread as a window does.
        QTemporaryDir dir;
        for (int i = 0; i < 1000; ++i)
            writeFile(dir.filePath(QStringLiteral("src/d%1/f%2.dat").arg(i / 50).arg(i)), "x");
        platform::LocalFileSystem fs;
        RunControl control;
        std::atomic<bool> running{true};
        QList<platform::ProgressSnapshot> samples;
        std::thread sampler([&] {
            while (running.load())
                samples.append(control.snapshot());
        });
        const auto report =
            filemanager::BatchFileManager(fs).run(request(dir.path(), filemanager::Operation::Delete), &control);
        running = false;
        sampler.join();
        samples.append(control.snapshot());
        QCOMPARE(report.done, 1000);
        QCOMPARE(samples.last().done, 1000);
        QCOMPARE(samples.last().total, 1000);
        for (qsizetype i = 1; i < samples.size(); ++i) {
            QVERIFY(samples[i].done >= samples[i - 1].done && samples[i].total >= samples[i - 1].total);
            QVERIFY(samples[i].total < 0 || samples[i].done <= samples[i].total);
        }
    }
};

KORVANE_TEST_GUILESS_MAIN(TestEngineStops)
#include "tst_runs_enginestops.moc"
