// Stopping every batch engine: after exactly k items, inside a long item, and the counts
// a progress display reads while a run goes.
#include "batchlist/batchlist.h"
#include "components/registration.h"
#include "filemanager/batchrun.h"
#include "helpdecompiler/decompilerun.h"
#include "platform/fakes/fakeservices.h"
#include "platform/localfilesystem.h"
#include "platform/qtprogramstarter.h"
#include "platform/runcontrol.h"
#include "recorder/filedatabase.h"
#include "recorder/recording.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <thread>

using namespace korvane;
using platform::RunControl;

namespace {

constexpr int kItems = 6;

void write(const QString& path, const QByteArray& bytes = "x")
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

int countFiles(const QString& folder, const QString& pattern = QStringLiteral("*"))
{
    return int(QDir(folder).entryList({pattern}, QDir::Files | QDir::Hidden).size());
}

/// Runs an engine over kItems items in `root`; returns the items it did and those it left alone,
/// as seen in what the run left behind.
using Scenario = std::function<std::pair<int, int>(const QString& root, RunControl& control)>;

} // namespace

Q_DECLARE_METATYPE(Scenario)

class TestEngineStops : public QObject {
    Q_OBJECT
private slots:
    void stopAfterKItems_data()
    {
        QTest::addColumn<Scenario>("scenario");
        QTest::addColumn<int>("expectedDone");

        QTest::newRow("file manager: moves") << Scenario([](const QString& root, RunControl& control) {
            for (int i = 0; i < kItems; ++i)
                write(root + QStringLiteral("/src/f%1.txt").arg(i));
            QDir().mkpath(root + QStringLiteral("/dst"));
            platform::LocalFileSystem fs;
            filemanager::BatchFileManager manager(fs);
            filemanager::RunRequest request;
            request.source = root + QStringLiteral("/src");
            request.target = root + QStringLiteral("/dst");
            request.singleType = QStringLiteral("*.txt");
            const filemanager::RunReport report = manager.run(request, &control);
            [&] {
                QVERIFY(report.stopped);
                QCOMPARE(report.found - report.visited, countFiles(root + QStringLiteral("/src")));
            }();
            return std::pair{countFiles(root + QStringLiteral("/dst")), countFiles(root + QStringLiteral("/src"))};
        }) << 2;

        QTest::newRow("help decompiler: one extraction a file") << Scenario([](const QString& root, RunControl& control) {
            for (int i = 0; i < kItems; ++i)
                write(root + QStringLiteral("/h%1.chm").arg(i));
            platform::LocalFileSystem fs;
            int extracted = 0;
            helpdecompiler::DecompileRun run(fs, [&](const platform::NativePath&, const platform::NativePath& target,
                                                     const QByteArray& project, quint64) {
                ++extracted;
                QDir().mkpath(QString::fromUtf8(target + project));
                helpdecompiler::ExtractReport report;
                report.opened = true;
                return report;
            });
            const auto outcomes = run.run((root + QLatin1Char('/')).toUtf8(), false, true, &control);
            [&] { QCOMPARE(outcomes.size(), extracted); }();
            return std::pair{extracted, run.found() - extracted};
        }) << 2;

        QTest::newRow("registration: one start a library") << Scenario([](const QString& root, RunControl& control) {
            for (int i = 0; i < kItems; ++i)
                write(root + QStringLiteral("/c%1.dll").arg(i));
            platform::LocalFileSystem fs;
            platform::FakeProgramStarter programs;
            programs.executables.insert(QStringLiteral("regsvr32"), QStringLiteral("/usr/bin/regsvr32"));
            const components::RegistrationRun run = components::registerFolder(fs, programs, root.toUtf8(), &control);
            [&] { QVERIFY(run.stopped); }();
            return std::pair{int(programs.calls.size()), run.libraries - int(programs.calls.size())};
        }) << 2;

        QTest::newRow("batch list walk: one folder an item") << Scenario([](const QString& root, RunControl& control) {
            write(root + QStringLiteral("/a.doc"));
            for (int i = 1; i < kItems; ++i)
                write(root + QStringLiteral("/s%1/b.doc").arg(i));
            platform::LocalFileSystem fs;
            batchlist::BatchList list;
            const batchlist::WalkResult walk =
                batchlist::dieda(fs, root.toUtf8(), batchlist::parseExtensions(QStringLiteral("doc")), list, &control);
            [&] { QVERIFY(walk.stopped); }();
            return std::pair{list.size(), kItems - list.size()};
        }) << 2;
    }

    void stopAfterKItems()
    {
        QFETCH(Scenario, scenario);
        QFETCH(int, expectedDone);
        QTemporaryDir dir;
        RunControl control;
        control.stopAfter(2);
        const auto [done, untouched] = scenario(dir.path(), control);
        QCOMPARE(done, expectedDone);
        QCOMPARE(untouched, kItems - expectedDone);
        QCOMPARE(control.snapshot().done, 2);
    }

    void recorderStopRollsTheRunBack()
    {
        // Rows are prepared and stored in batches of 2048: the stop comes after the first.
        constexpr int kFiles = 2100;
        QTemporaryDir dir;
        for (int i = 0; i < kFiles; ++i)
            write(dir.filePath(QStringLiteral("in/f%1.txt").arg(i)));
        const QString dbPath = dir.filePath(QStringLiteral("db1.mdb"));
        QVERIFY(QFile::copy(QStringLiteral(KORVANE_EMPTY_DB), dbPath));
        QFile::setPermissions(dbPath, QFile::ReadOwner | QFile::WriteOwner);
        platform::LocalFileSystem fs;
        recorder::TypeDescriber types;
        recorder::FileDatabase db(dbPath);
        RunControl control;
        control.stopAfter(1);
        const recorder::RecordReport report =
            recorder::recordFolder(fs, db, dir.filePath(QStringLiteral("in")).toUtf8(), types, &control);
        QVERIFY(report.stopped);
        QCOMPARE(report.stored, 0);
        QCOMPARE(report.files, kFiles);
        QVERIFY(db.findNamesInSizeRange(0, 1e12).names.isEmpty());
        const platform::ProgressSnapshot progress = control.snapshot();
        QCOMPARE(progress.total, kFiles);
        QVERIFY(progress.done > 0 && progress.done < kFiles);
    }

    void copyStoppedInsideAFileLeavesNoCopy()
    {
        QTemporaryDir dir;
        const QString source = dir.filePath(QStringLiteral("big.bin"));
        write(source, QByteArray(1 << 20, 'b'));
        QDir().mkpath(dir.filePath(QStringLiteral("dst")));
        platform::LocalFileSystem fs;
        RunControl control;
        control.requestStop(); // already stopped when the first chunk is due
        const platform::RunControl::Scope scope(&control);
        for (const bool overwrite : {false, true}) {
            if (overwrite)
                write(dir.filePath(QStringLiteral("dst/big.bin")), "old");
            const platform::FsStatus status = fs.copyFile(source.toUtf8(), dir.filePath(QStringLiteral("dst")).toUtf8(), overwrite);
            QCOMPARE(status.errnum, ECANCELED);
            // Nothing new under the final name, no temporary left beside it, the old file intact.
            const QStringList left = QDir(dir.filePath(QStringLiteral("dst"))).entryList(QDir::Files | QDir::Hidden);
            QCOMPARE(left, overwrite ? QStringList{QStringLiteral("big.bin")} : QStringList{});
            if (overwrite) {
                QFile old(dir.filePath(QStringLiteral("dst/big.bin")));
                QVERIFY(old.open(QIODevice::ReadOnly));
                QCOMPARE(old.readAll(), QByteArray("old"));
            }
        }
        QCOMPARE(QFileInfo(source).size(), qint64(1 << 20));
    }

    void fileManagerStoppedInsideACopy()
    {
        QTemporaryDir dir;
        for (const char* name : {"a.dat", "b.dat"})
            write(dir.filePath(QStringLiteral("src/") + QLatin1String(name)), QByteArray(1 << 20, 'd'));
        QDir().mkpath(dir.filePath(QStringLiteral("dst")));
        platform::FaultyFileSystem fs;
        RunControl control;
        // "取消" arrives while the first copy is in hand.
        fs.failOn(platform::FaultyFileSystem::Op::Copy, [&control](const QByteArray&) {
            control.requestStop();
            return false;
        });
        filemanager::BatchFileManager manager(fs);
        filemanager::RunRequest request;
        request.source = dir.filePath(QStringLiteral("src"));
        request.target = dir.filePath(QStringLiteral("dst"));
        request.operation = filemanager::Operation::Copy;
        request.singleType = QStringLiteral("*.dat");
        const filemanager::RunReport report = manager.run(request, &control);
        QVERIFY(report.stopped);
        QCOMPARE(report.done, 0);
        QVERIFY(report.failures.isEmpty());
        QCOMPARE(report.visited, 0); // the undone file is still pending
        QCOMPARE(report.found, 2);
        QCOMPARE(fs.pathsOf(platform::FaultyFileSystem::Op::Copy).size(), 1);
        QCOMPARE(QDir(dir.filePath(QStringLiteral("dst"))).entryList(QDir::Files | QDir::Hidden), QStringList());
    }

    void decompileStoppedInsideAHelpFile()
    {
        QTemporaryDir dir;
        write(dir.filePath(QStringLiteral("a.chm")));
        write(dir.filePath(QStringLiteral("b.chm")));
        platform::LocalFileSystem fs;
        RunControl control;
        int calls = 0;
        helpdecompiler::DecompileRun run(fs, [&](const platform::NativePath&, const platform::NativePath& target,
                                                 const QByteArray& project, quint64) {
            ++calls;
            QDir().mkpath(QString::fromUtf8(target + project));
            control.requestStop(); // as "取消" while the helper runs: it is killed
            helpdecompiler::ExtractReport report;
            report.opened = true;
            report.error = QStringLiteral("killed");
            return report;
        });
        const auto outcomes = run.run((dir.path() + QLatin1Char('/')).toUtf8(), false, true, &control);
        QCOMPARE(calls, 1);
        QCOMPARE(outcomes.size(), 1);
        QVERIFY(outcomes.first().stopped);
        QVERIFY(!outcomes.first().projectWritten);
        QCOMPARE(countFiles(dir.path(), QStringLiteral("*.hhp")) + countFiles(dir.filePath(QStringLiteral("a")), QStringLiteral("*.hhp")) +
                     countFiles(dir.filePath(QStringLiteral("b")), QStringLiteral("*.hhp")),
                 0);
    }

    void helperProgramIsKilledOnStop()
    {
        platform::QtProgramStarter programs;
        RunControl control;
        const platform::RunControl::Scope scope(&control);
        std::thread stopper([&control] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            control.requestStop();
        });
        QElapsedTimer timer;
        timer.start();
        const platform::RunOutcome outcome = programs.run(QStringLiteral("sleep"), {QStringLiteral("30")}, 60000);
        const qint64 elapsed = timer.elapsed();
        stopper.join();
        QVERIFY(outcome.started);
        QVERIFY(!outcome.finished);
        QVERIFY(outcome.stopped);
        QVERIFY2(elapsed < 1500, qPrintable(QString::number(elapsed)));
    }

    void progressOnlyRises()
    {
        // A walk whose total grows folder by folder, sampled from another thread as a window does.
        QTemporaryDir dir;
        for (int f = 0; f < 20; ++f)
            for (int i = 0; i < 50; ++i)
                write(dir.filePath(QStringLiteral("d%1/f%2.txt").arg(f).arg(i)));
        platform::LocalFileSystem fs;
        filemanager::BatchFileManager manager(fs);
        filemanager::RunRequest request;
        request.source = dir.path();
        request.operation = filemanager::Operation::Delete;
        request.singleType = QStringLiteral("*.txt");
        RunControl control;
        std::atomic<bool> running{true};
        QList<platform::ProgressSnapshot> samples;
        std::thread sampler([&] {
            while (running.load())
                samples.append(control.snapshot());
        });
        const filemanager::RunReport report = manager.run(request, &control);
        running = false;
        sampler.join();
        samples.append(control.snapshot());
        QCOMPARE(report.done, 1000);
        QCOMPARE(samples.last().done, 1000);
        QCOMPARE(samples.last().total, 1000);
        for (qsizetype i = 1; i < samples.size(); ++i) {
            QVERIFY(samples[i].done >= samples[i - 1].done);
            QVERIFY(samples[i].total >= samples[i - 1].total);
            QVERIFY(samples[i].total < 0 || samples[i].done <= samples[i].total);
        }
    }
};

QTEST_GUILESS_MAIN(TestEngineStops)
#include "tst_enginestops.moc"
