// Recorder benchmarks: recording a flat folder of 100,000 files against a find | sqlite3
// baseline, once with names of ten common endings and once with names whose endings all
// differ, and a size lookup over 1,000,000 rows that fills the result box.
//   bench_recorder [--only-ours] [--only-record] [--only-lookup] [--endings] [--runs N] [folder]
//   bench_recorder --rows [--runs N] [folder]
//   bench_recorder --like [--runs N] [folder]
// --rows records both folders beside the baseline, interleaved, and prints one line per job:
// job<TAB>ours wall ms<TAB>peer wall ms<TAB>ours cpu ms<TAB>peer cpu ms (medians; the spread
// goes to standard error).
// --like records 100,000 files in 100 folders (1,000 of them of one size, 10 of those with the
// bytes sought) and runs `korvane-cli lookup --like` beside `find <folders> -size Nc -exec cmp`,
// interleaved, printing the same kind of line.
// Folders default to /tmp/korvane-bench-100k and /tmp/korvane-bench-100k-endings, made on
// first use; a folder given names the first, the second is made beside it.
#include "benchutil.h"
#include "platform/fakes/fakeservices.h"
#include "platform/localfilesystem.h"
#include "recorder/filedatabase.h"
#include "recorder/frmrec.h"
#include "recorder/recording.h"
#include "recorder/sizelookup.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocale>
#include <QPlainTextEdit>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

using namespace korvane;

namespace {

constexpr int kFiles = 100000;
int kRuns = 5;

bool installEmptyDatabase(const QString& folder)
{
    const QString target = folder + QStringLiteral("/db1.mdb");
    for (const char* suffix : {"", "-wal", "-shm"})
        QFile::remove(target + QLatin1String(suffix));
    return QFile::copy(QStringLiteral(KORVANE_EMPTY_DB), target) &&
           QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner);
}

/// A flat folder of Chinese names with sizes spread from 0 to 64 MB (sparse files). The names
/// end in ten common suffixes, or with `distinctEndings` each in an ending of its own.
bool makeFolder(const QString& folder, bool distinctEndings)
{
    QDir dir(folder);
    if (dir.exists() && dir.entryList(QDir::Files).size() == kFiles)
        return true;
    dir.removeRecursively();
    if (!QDir().mkpath(folder))
        return false;
    std::fprintf(stderr, "creating %d files in %s ...\n", kFiles, qPrintable(folder));
    QRandomGenerator random(42);
    const char* suffixes[] = {".txt", ".pdf", ".zip", ".jpg", ".mp4", ".doc", ".exe", ".iso", "", ".tar.gz"};
    for (int i = 0; i < kFiles; ++i) {
        const QString ending = distinctEndings ? QStringLiteral(".k") + QString::number(quint64(i) * 7919 + 36 * 36, 36)
                                               : QString::fromLatin1(suffixes[i % 10]);
        const QString name = QStringLiteral("下载文件_%1_资料%2").arg(i).arg(ending);
        const QByteArray path = QFile::encodeName(dir.filePath(name));
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0)
            return false;
        const qint64 size = i % 7 == 0 ? 0 : qint64(random.bounded(1 << 26));
        const bool ok = ::ftruncate(fd, size) == 0;
        ::close(fd);
        if (!ok)
            return false;
    }
    return true;
}

struct Timing {
    double wall = 0;
    double cpu = 0;
};

/// The timings of repeated runs, for their medians.
struct Timings {
    std::vector<double> wall;
    std::vector<double> cpu;
    void add(const Timing& t)
    {
        wall.push_back(t.wall);
        cpu.push_back(t.cpu);
    }
    double medianWall() const { return bench::median(wall); }
    double medianCpu() const { return bench::median(cpu); }
    double minWall() const { return *std::min_element(wall.begin(), wall.end()); }
    double maxWall() const { return *std::max_element(wall.begin(), wall.end()); }
};

/// find <dir> -maxdepth 1 -type f -printf ... | sqlite3 base.db .import, in seconds.
Timing baselineOnce(const QString& folder, const QString& work)
{
    const QString db = work + QStringLiteral("/baseline.db");
    QFile::remove(db);
    QProcess::execute(QStringLiteral("sqlite3"),
                      {db, QStringLiteral("CREATE TABLE fileInf (FileName TEXT, filetype TEXT, filesize INTEGER, "
                                          "filedate TEXT, shortname TEXT);")});
    QProcess find, sqlite;
    find.setStandardOutputProcess(&sqlite);
    const double cpuBefore = bench::cpuSecondsWithChildren();
    QElapsedTimer timer;
    timer.start();
    find.start(QStringLiteral("find"),
               {folder, QStringLiteral("-maxdepth"), QStringLiteral("1"), QStringLiteral("-type"), QStringLiteral("f"),
                QStringLiteral("-printf"), QStringLiteral("%f\t\t%s\t%TY-%Tm-%Td %TH:%TM:%.2TS\t%f\n")});
    sqlite.start(QStringLiteral("sqlite3"),
                 {db, QStringLiteral(".mode tabs"), QStringLiteral(".import /dev/stdin fileInf")});
    find.waitForFinished(-1);
    sqlite.waitForFinished(-1);
    const Timing timing{bench::elapsedSeconds(timer), bench::cpuSecondsWithChildren() - cpuBefore};
    const QString rows = [&] {
        QProcess count;
        count.start(QStringLiteral("sqlite3"), {db, QStringLiteral("SELECT count(*) FROM fileInf")});
        count.waitForFinished(-1);
        return QString::fromUtf8(count.readAllStandardOutput()).trimmed();
    }();
    if (rows != QString::number(kFiles))
        std::fprintf(stderr, "  warning: baseline stored %s rows\n", qPrintable(rows));
    return timing;
}

Timing recordOnce(const QString& folder, const QString& work, platform::RunControl* control = nullptr)
{
    installEmptyDatabase(work);
    recorder::FileDatabase db(work + QStringLiteral("/db1.mdb"));
    recorder::TypeDescriber types; // fresh: its cache starts empty, as in a new window
    platform::LocalFileSystem fs;
    const double cpuBefore = bench::cpuSecondsWithChildren();
    QElapsedTimer timer;
    timer.start();
    const recorder::RecordReport report = recorder::recordFolder(fs, db, QFile::encodeName(folder), types, control);
    const Timing timing{bench::elapsedSeconds(timer), bench::cpuSecondsWithChildren() - cpuBefore};
    if (report.stored != kFiles)
        std::fprintf(stderr, "  warning: stored %d rows\n", report.stored);
    return timing;
}

/// 1,000,000 rows with sizes spread over 0..50 MB; the initial inputs (1 MB to 3 MB) hit about 4 %.
void fillLookupTable(const QString& work)
{
    installEmptyDatabase(work);
    recorder::FileDatabase db(work + QStringLiteral("/db1.mdb"));
    QRandomGenerator random(7);
    db.beginRun();
    for (int i = 0; i < 1000000; ++i) {
        recorder::FileRow row;
        row.name = QStringLiteral("文件%1.bin").arg(i);
        row.type = QStringLiteral("二进制文件");
        row.size = qint64(random.bounded(50 * (1 << 20)));
        row.modified = QDateTime::currentDateTime();
        row.shortName = row.name;
        db.appendFileRow(row);
    }
    db.commitRun();
}

/// Progress reporting on and off, alternating in one process; then the time from a stop
/// request, made a third of the way in, to the end of the run (rolled back).
void measureRunControl(const QString& folder, const QString& work)
{
    // CPU time as well: on a shared machine the wall time swings more than the cost measured.
    Timings off, on;
    for (int i = 0; i < 2 * kRuns; ++i) {
        off.add(recordOnce(folder, work));
        platform::RunControl control;
        on.add(recordOnce(folder, work, &control));
    }
    std::printf("record %d files, progress off %.3f s, on %.3f s (median of %d): cost %+.1f %%; cpu %.3f s vs "
                "%.3f s: %+.1f %% (target < 2 %%)\n",
                kFiles, off.medianWall(), on.medianWall(), 2 * kRuns, (on.medianWall() / off.medianWall() - 1) * 100,
                off.medianCpu(), on.medianCpu(), (on.medianCpu() / off.medianCpu() - 1) * 100);
    std::vector<double> latencies;
    for (int i = 0; i < kRuns; ++i) {
        installEmptyDatabase(work);
        platform::RunControl control;
        QElapsedTimer stopAt;
        std::thread run([&] {
            recorder::FileDatabase db(work + QStringLiteral("/db1.mdb"));
            recorder::TypeDescriber types;
            platform::LocalFileSystem fs;
            recorder::recordFolder(fs, db, QFile::encodeName(folder), types, &control);
        });
        while (control.snapshot().done < kFiles / 3)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        stopAt.start();
        control.requestStop();
        run.join();
        latencies.push_back(bench::elapsedMs(stopAt));
    }
    std::printf("record %d files, cancel latency %.1f ms (median of %d, max %.1f ms; target < 1000 ms)\n", kFiles,
                bench::median(latencies), kRuns, *std::max_element(latencies.begin(), latencies.end()));
}

constexpr int kLikeFolders = 100;
constexpr qint64 kLikeSize = 256 * 1024;

/// 100 folders of 1,000 files each; every hundredth file is of kLikeSize bytes, ten of those
/// hold the bytes of `<root>/sought.bin`, the rest differ from it at a random place.
bool makeLikeTree(const QString& root)
{
    if (QFile::exists(root + QStringLiteral("/sought.bin")))
        return true;
    std::fprintf(stderr, "creating %d files in %s ...\n", kFiles, qPrintable(root));
    QRandomGenerator random(11);
    QByteArray sought(kLikeSize, Qt::Uninitialized);
    for (char& c : sought)
        c = char(random.bounded(256));
    for (int i = 0; i < kFiles; ++i) {
        const QString folder = root + QStringLiteral("/目录%1").arg(i % kLikeFolders);
        if (i < kLikeFolders && !QDir().mkpath(folder))
            return false;
        QByteArray bytes(i % 4093, 'x'); // never kLikeSize
        if (i % 100 == 0) {
            bytes = sought;
            if (i % 10000 != 0)
                bytes[qsizetype(random.bounded(int(kLikeSize)))] ^= 1;
        }
        QFile file(folder + QStringLiteral("/文件_%1.dat").arg(i));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return false;
    }
    QFile file(root + QStringLiteral("/sought.bin"));
    return file.open(QIODevice::WriteOnly) && file.write(sought) == sought.size();
}

Timing timedProcess(const QString& program, const QStringList& args, int* exitCode = nullptr)
{
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    const double cpuBefore = bench::cpuSecondsWithChildren();
    QElapsedTimer timer;
    timer.start();
    process.start(program, args);
    process.waitForFinished(-1);
    if (exitCode)
        *exitCode = process.exitCode();
    return {bench::elapsedSeconds(timer), bench::cpuSecondsWithChildren() - cpuBefore};
}

/// One `lookup --like` beside find -size -exec cmp, over the same 100 logged folders.
void compareLikeLookup(const QString& root, const QString& work)
{
    if (!makeLikeTree(root)) {
        std::fprintf(stderr, "cannot make %s\n", qPrintable(root));
        return;
    }
    installEmptyDatabase(work);
    const QString dbPath = work + QStringLiteral("/db1.mdb");
    QStringList folders;
    {
        recorder::FileDatabase db(dbPath);
        recorder::TypeDescriber types;
        platform::LocalFileSystem fs;
        for (int f = 0; f < kLikeFolders; ++f) {
            folders << root + QStringLiteral("/目录%1").arg(f);
            recorder::recordFolder(fs, db, QFile::encodeName(folders.last()), types, nullptr, folders.last());
        }
    }
    const QString sought = root + QStringLiteral("/sought.bin");
    const QStringList ours{QStringLiteral("lookup"), QStringLiteral("--db"), dbPath, QStringLiteral("--like"), sought};
    const QStringList peer = QStringList(folders)
                             << QStringLiteral("-size") << QStringLiteral("%1c").arg(kLikeSize)
                             << QStringLiteral("-exec") << QStringLiteral("cmp") << QStringLiteral("-s") << sought
                             << QStringLiteral("{}") << QStringLiteral(";");
    timedProcess(QStringLiteral(KORVANE_CLI), ours); // warm the page cache for both
    timedProcess(QStringLiteral("find"), peer);
    Timings korvane, find;
    int exitCode = -1;
    for (int i = 0; i < kRuns; ++i) {
        find.add(timedProcess(QStringLiteral("find"), peer));
        korvane.add(timedProcess(QStringLiteral(KORVANE_CLI), ours, &exitCode));
    }
    if (exitCode != 0)
        std::fprintf(stderr, "  warning: lookup --like exited %d\n", exitCode);
    std::printf("lookup --like, 1,000 candidates in 100 folders\t%.1f\t%.1f\t%.1f\t%.1f\n", korvane.medianWall() * 1000,
                find.medianWall() * 1000, korvane.medianCpu() * 1000, find.medianCpu() * 1000);
    std::fprintf(stderr,
                 "lookup --like: %d pairs; wall korvane %.3f-%.3f s, find -exec cmp %.3f-%.3f s; ratio %.2f "
                 "(goal <= 0.5)\n",
                 kRuns, korvane.minWall(), korvane.maxWall(), find.minWall(), find.maxWall(),
                 korvane.medianWall() / find.medianWall());
}

struct Options {
    bool onlyOurs = false;
    bool onlyLookup = false;
    bool onlyRecord = false;
    bool onlyProgress = false;
    bool endingsOnly = false;
    bool rows = false;
    bool like = false;
    QString common;
};

Options parseOptions(QStringList args)
{
    Options o;
    // For profiling one part alone.
    o.onlyOurs = args.removeAll(QStringLiteral("--only-ours")) > 0;
    o.onlyLookup = args.removeAll(QStringLiteral("--only-lookup")) > 0;
    o.onlyRecord = args.removeAll(QStringLiteral("--only-record")) > 0;
    o.onlyProgress = args.removeAll(QStringLiteral("--only-progress")) > 0;
    o.endingsOnly = args.removeAll(QStringLiteral("--endings")) > 0;
    o.rows = args.removeAll(QStringLiteral("--rows")) > 0;
    o.like = args.removeAll(QStringLiteral("--like")) > 0;
    if (const qsizetype at = args.indexOf(QStringLiteral("--runs")); at >= 0 && at + 1 < args.size()) {
        kRuns = std::max(1, args[at + 1].toInt());
        args.remove(at, 2);
    }
    o.common = !args.isEmpty() ? args.first() : QStringLiteral("/tmp/korvane-bench-100k");
    return o;
}

struct Case {
    const char* what;
    QString folder;
    bool distinctEndings;
};

/// Ours beside find | sqlite3 on one folder, interleaved so a busy moment hurts both alike.
void compareRecording(const Case& c, const QString& work, bool rows)
{
    Timings baseline, ours;
    baselineOnce(c.folder, work); // warm the page cache for both
    for (int i = 0; i < kRuns; ++i) {
        baseline.add(baselineOnce(c.folder, work));
        ours.add(recordOnce(c.folder, work));
    }
    if (rows) {
        std::printf("record 100,000 files, %s\t%.1f\t%.1f\t%.1f\t%.1f\n", c.what, ours.medianWall() * 1000,
                    baseline.medianWall() * 1000, ours.medianCpu() * 1000, baseline.medianCpu() * 1000);
        std::fprintf(stderr, "%s: %d pairs; wall korvane %.3f-%.3f s, baseline %.3f-%.3f s\n", c.what, kRuns,
                     ours.minWall(), ours.maxWall(), baseline.minWall(), baseline.maxWall());
        return;
    }
    std::printf("record %d files, %s: korvane %.3f s (median of %d, %.3f-%.3f), baseline find|sqlite3 %.3f s "
                "(%.3f-%.3f), ratio %.2f (target <= 0.40)\n",
                kFiles, c.what, ours.medianWall(), kRuns, ours.minWall(), ours.maxWall(), baseline.medianWall(),
                baseline.minWall(), baseline.maxWall(), ours.medianWall() / baseline.medianWall());
    std::printf("  cpu time: korvane %.3f s, baseline %.3f s, ratio %.2f\n", ours.medianCpu(), baseline.medianCpu(),
                ours.medianCpu() / baseline.medianCpu());
}

/// The window's size lookup over a table of 1,000,000 rows, first paint included, then the
/// database search alone.
void measureSizeLookup(const QString& work)
{
    fillLookupTable(work);
    platform::FakeServices fake(work);
    Timings lookups;
    int hits = 0;
    for (int i = 0; i < kRuns; ++i) {
        recorder::frmrec window(fake.services());
        window.show();
        auto* text2 = window.findChild<QPlainTextEdit*>(QStringLiteral("Text2"));
        const double cpuBefore = bench::cpuSecondsWithChildren();
        QElapsedTimer timer;
        timer.start();
        window.Label1_Click();
        QApplication::processEvents(); // the box's first paint
        lookups.add({bench::elapsedSeconds(timer), bench::cpuSecondsWithChildren() - cpuBefore});
        hits = text2->blockCount() - 1;
    }
    std::printf(
        "size lookup over 1000000 rows, %d names into Text2: %.3f s, cpu %.3f s (median of %d; target < 0.5 s)\n", hits,
        lookups.medianWall(), lookups.medianCpu(), kRuns);
    std::vector<double> searches;
    for (int i = 0; i < kRuns; ++i) {
        recorder::FileDatabase db(work + QStringLiteral("/db1.mdb"));
        QElapsedTimer timer;
        timer.start();
        const recorder::SizeSearch found = db.findNamesInSizeRange(1048576, 3145728);
        searches.push_back(bench::elapsedSeconds(timer));
        if (found.names.size() != hits)
            std::printf("  warning: search found %d names\n", int(found.names.size()));
    }
    std::printf("  of which the database search: %.3f s\n", bench::median(searches));
    if (!fake.messages.shown.isEmpty())
        std::printf("  warning: message %s\n", qPrintable(fake.messages.shown.first().text));
}

} // namespace

int main(int argc, char* argv[])
{
    bench::offscreenUnlessSet();
    QApplication app(argc, argv);
    QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::China));
    const Options o = parseOptions(app.arguments().mid(1));
    const QString distinct = o.common + QStringLiteral("-endings");
    QTemporaryDir work;
    if (o.like) {
        compareLikeLookup(o.common + QStringLiteral("-like"), work.path());
        return 0;
    }

    if (o.onlyProgress || (!o.onlyLookup && !o.endingsOnly && !o.onlyOurs && !o.rows)) {
        if (!makeFolder(o.common, false)) {
            std::printf("cannot make %s\n", qPrintable(o.common));
            return 1;
        }
        recordOnce(o.common, work.path()); // warm the page cache
        measureRunControl(o.common, work.path());
        if (o.onlyProgress)
            return 0;
    }

    std::vector<Case> cases;
    if (!o.endingsOnly)
        cases.push_back({"ten common endings", o.common, false});
    cases.push_back({"all endings different", distinct, true});
    for (const Case& c : cases) {
        if (o.onlyLookup)
            break;
        if (!makeFolder(c.folder, c.distinctEndings)) {
            std::fprintf(stderr, "cannot make %s\n", qPrintable(c.folder));
            return 1;
        }
        if (o.onlyOurs) {
            const Timing t = recordOnce(c.folder, work.path());
            std::printf("record %d files, %s: korvane %.3f s (cpu %.3f s)\n", kFiles, c.what, t.wall, t.cpu);
            continue;
        }
        compareRecording(c, work.path(), o.rows);
    }
    if (o.onlyOurs || o.onlyRecord || o.rows)
        return 0;

    measureSizeLookup(work.path());
    return 0;
}
