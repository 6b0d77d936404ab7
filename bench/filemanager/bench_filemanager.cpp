// Times the batch file manager's copy, move and delete on a large tree beside
// `find ... -exec cp/mv/rm {} +` on the same tree, in one run.
//
//   bench_filemanager [--root DIR] [--small N] [--large N] [--large-mb MB] [--rounds N] [--settle S]
//                     [--progress 1]
//
// With --progress 1 it times instead copies with progress reporting off and on, and the time
// from a stop request, made while a large file is being copied, to the end of the run.
//
// The tree (N small "*.dat" files in folders of 1000, a few non-matching files, and the
// large "*.dat" files in a folder of their own) is made in a fresh folder under DIR
// (default /tmp) and removed at the end.

#include "benchutil.h"
#include "filemanager/batchrun.h"
#include "platform/localfilesystem.h"
#include "platform/nativepath.h"
#include "platform/runcontrol.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

using namespace korvane;
using filemanager::Operation;

namespace {

struct Options {
    QString root = QStringLiteral("/tmp");
    int small = 100000;
    int large = 10;
    int largeMb = 100;
    int rounds = 2;
    int settle = 65;
    bool progress = false;
};

/// Wall time and the CPU time (user + system) of this process or of its finished children.
struct Timing {
    double wall = 0;
    double cpu = 0;
};

bool writeBytes(const QByteArray& path, const QByteArray& chunk, int repeat)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    bool ok = true;
    for (int i = 0; i < repeat && ok; ++i)
        ok = ::write(fd, chunk.constData(), size_t(chunk.size())) == chunk.size();
    return ::close(fd) == 0 && ok;
}

int countFiles(const QString& folder)
{
    int n = 0;
    QProcess find;
    find.start(QStringLiteral("find"), {folder, QStringLiteral("-type"), QStringLiteral("f"), QStringLiteral("-name"),
                                        QStringLiteral("*.dat")});
    find.waitForFinished(-1);
    for (const QByteArray& line : find.readAllStandardOutput().split('\n'))
        n += !line.isEmpty();
    return n;
}

Timing runFind(const QStringList& arguments)
{
    const double cpu = bench::cpuSeconds(RUSAGE_CHILDREN);
    QElapsedTimer timer;
    timer.start();
    QProcess find;
    find.start(QStringLiteral("find"), arguments);
    if (!find.waitForFinished(-1) || find.exitCode() != 0)
        std::fprintf(stderr, "find failed: %s\n", find.readAllStandardError().constData());
    return {bench::elapsedSeconds(timer), bench::cpuSeconds(RUSAGE_CHILDREN) - cpu};
}

Timing runOurs(filemanager::BatchFileManager& manager, const QString& source, const QString& target, Operation op,
               platform::RunControl* control = nullptr)
{
    filemanager::RunRequest request;
    request.source = QFile::encodeName(source);
    request.target = QFile::encodeName(target);
    request.operation = op;
    request.singleType = QStringLiteral("*.dat");
    const double cpu = bench::cpuSeconds(RUSAGE_SELF);
    QElapsedTimer timer;
    timer.start();
    const filemanager::RunReport report = manager.run(request, control);
    const Timing t{bench::elapsedSeconds(timer), bench::cpuSeconds(RUSAGE_SELF) - cpu};
    if (report.refusal != filemanager::Refusal::None || (!report.failures.isEmpty() && !report.stopped))
        std::fprintf(stderr, "our run: refusal %d, %lld failures\n", int(report.refusal),
                     qlonglong(report.failures.size()));
    return t;
}

void line(const char* what, Timing ours, Timing peer, int files, double megabytes = 0)
{
    std::printf("%-30s ours %7.2f s  find -exec %7.2f s  ratio %5.2f | cpu %6.2f / %6.2f s  ratio %5.2f | files %d",
                what, ours.wall, peer.wall, ours.wall / peer.wall, ours.cpu, peer.cpu, ours.cpu / peer.cpu, files);
    if (megabytes > 0)
        std::printf(" | %.0f / %.0f MB/s", megabytes / ours.wall, megabytes / peer.wall);
    std::printf("\n");
    std::fflush(stdout);
}

/// What reporting adds to each file, alone: far steadier than two whole copies on a shared machine.
void measureProgressCalls(const QString& src)
{
    const QByteArray path = QFile::encodeName(src + QStringLiteral("/d042/f042123.dat"));
    platform::RunControl control;
    constexpr int kCalls = 1000000;
    const double cpu = bench::cpuSeconds(RUSAGE_SELF);
    for (int i = 0; i < kCalls; ++i) {
        control.addToTotal(1);
        control.begin(platform::displayPath(path));
        control.advance();
    }
    const double perFile = (bench::cpuSeconds(RUSAGE_SELF) - cpu) / kCalls;
    std::printf("progress calls per file: %.0f ns of cpu\n", perFile * 1e9);
}

/// Whole copies of the tree with progress reporting off and on.
void compareProgress(filemanager::BatchFileManager& manager, const QString& src, const QTemporaryDir& dir,
                     const Options& o)
{
    for (int round = 0; round < o.rounds; ++round) {
        Timing times[2];
        // Each round lets the other go first, each copy after the settling time (see below).
        for (const bool on : {round % 2 == 1, round % 2 == 0}) {
            if (o.settle > 0)
                ::sleep(unsigned(o.settle));
            const QString target = dir.filePath(QStringLiteral("progress%1-%2").arg(round).arg(on));
            QDir().mkpath(target);
            platform::RunControl control;
            times[on] = runOurs(manager, src, target, Operation::Copy, on ? &control : nullptr);
            ::sync();
            runOurs(manager, target, {}, Operation::Delete);
            ::sync();
        }
        std::printf("copy tree, progress off %.2f s (cpu %.2f), on %.2f s (cpu %.2f): %+.1f %% wall, %+.1f %% cpu\n",
                    times[0].wall, times[0].cpu, times[1].wall, times[1].cpu, (times[1].wall / times[0].wall - 1) * 100,
                    (times[1].cpu / times[0].cpu - 1) * 100);
        std::fflush(stdout);
    }
}

/// The time from a stop request, made while a large file is being copied, to the end of the run.
void measureCancel(filemanager::BatchFileManager& manager, const QString& src, const QTemporaryDir& dir,
                   const Options& o)
{
    for (int round = 0; round < o.rounds; ++round) {
        const QString target = dir.filePath(QStringLiteral("cancel%1").arg(round));
        QDir().mkpath(target);
        platform::RunControl control;
        QElapsedTimer stopAt;
        std::thread run([&] { runOurs(manager, src, target, Operation::Copy, &control); });
        // Stop a quarter of a second into the first large file.
        while (!control.snapshot().current.contains(QStringLiteral("/big/large")))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        const QString during = control.snapshot().current;
        stopAt.start();
        control.requestStop();
        run.join();
        const double ms = bench::elapsedMs(stopAt);
        // Every large file in the target must be whole: a stopped copy leaves none behind.
        int partial = 0, whole = 0;
        for (const QFileInfo& f : QDir(target).entryInfoList({QStringLiteral("large*")}, QDir::Files | QDir::Hidden))
            (f.size() == qint64(o.largeMb) << 20 ? whole : partial)++;
        std::printf("copy tree cancelled during %s: latency %.1f ms (target < 1000 ms); large files in target: %d "
                    "whole, %d partial; %lld files copied\n",
                    qPrintable(QFileInfo(during).fileName()), ms, whole, partial, qlonglong(control.snapshot().done));
        std::fflush(stdout);
        runOurs(manager, target, {}, Operation::Delete);
        ::sync();
    }
}

Options parseOptions(const QStringList& args)
{
    Options o;
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == "--root")
            o.root = args[i + 1];
        else if (args[i] == "--small")
            o.small = args[i + 1].toInt();
        else if (args[i] == "--large")
            o.large = args[i + 1].toInt();
        else if (args[i] == "--large-mb")
            o.largeMb = args[i + 1].toInt();
        else if (args[i] == "--rounds")
            o.rounds = args[i + 1].toInt();
        else if (args[i] == "--settle")
            o.settle = args[i + 1].toInt();
        else if (args[i] == "--progress")
            o.progress = args[i + 1].toInt() != 0;
    }
    return o;
}

/// The small files in folders of 1000 with one non-matching file each, then the large ones,
/// whose writing from memory shows what the disk itself takes.
void makeTree(const QTemporaryDir& dir, const QString& src, const Options& o)
{
    QDir(dir.path()).mkpath("src/big");
    for (const char* f : {"big-ours", "big-peer"})
        QDir(dir.path()).mkpath(f);

    std::printf("tree: %d small files, %d x %d MB under %s\n", o.small, o.large, o.largeMb, qPrintable(dir.path()));
    QElapsedTimer timer;
    timer.start();
    const QByteArray smallContent(1024, 's');
    for (int i = 0; i < o.small; ++i) {
        const QString folder = src + QStringLiteral("/d%1").arg(i / 1000, 3, 10, QLatin1Char('0'));
        if (i % 1000 == 0) {
            QDir().mkpath(folder);
            writeBytes(QFile::encodeName(folder + "/readme.txt"), "not matched", 1);
        }
        writeBytes(QFile::encodeName(folder + QStringLiteral("/f%1.dat").arg(i, 6, 10, QLatin1Char('0'))), smallContent,
                   1);
    }
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    for (qsizetype i = 0; i < chunk.size(); ++i)
        chunk[i] = char((i * 131) ^ (i >> 9));
    ::sync();
    std::printf("made in %.1f s\n\n", bench::elapsedSeconds(timer));
    timer.restart();
    for (int i = 0; i < o.large; ++i)
        writeBytes(QFile::encodeName(src + QStringLiteral("/big/large%1.dat").arg(i)), chunk, o.largeMb);
    ::sync();
    const double diskSeconds = bench::elapsedSeconds(timer);
    std::printf("%-30s %7.2f s  %.0f MB/s\n", "disk: write large files (+sync)", diskSeconds,
                double(o.large) * o.largeMb / diskSeconds);
}

/// The large files alone: copy throughput, each side flushed to disk by a sync.
void compareLargeCopy(filemanager::BatchFileManager& manager, const QString& src, const QTemporaryDir& dir,
                      const Options& o)
{
    QElapsedTimer t;
    t.start();
    Timing ours = runOurs(manager, src + "/big", dir.filePath("big-ours"), Operation::Copy);
    ::sync();
    ours.wall = bench::elapsedSeconds(t);
    t.restart();
    Timing peer = runFind({src + "/big", "-name", "*.dat", "-exec", "cp", "-t", dir.filePath("big-peer"), "{}", "+"});
    ::sync();
    peer.wall = bench::elapsedSeconds(t);
    line("copy large files (+ sync)", ours, peer, o.large, double(o.large) * o.largeMb);
    runOurs(manager, dir.filePath("big-ours"), {}, Operation::Delete);
    runFind({dir.filePath("big-peer"), "-name", "*.dat", "-exec", "rm", "{}", "+"});
    ::sync();
}

/// Copy, move back and delete, ours and find -exec; each round lets the other side go first.
void compareRound(filemanager::BatchFileManager& manager, const QString& src, const QTemporaryDir& dir,
                  const Options& o, int round)
{
    const int all = o.small + o.large;
    const double largeMb = double(o.large) * o.largeMb;
    const bool oursFirst = round % 2 == 0;
    // ext4 passes over inodes freed in the last 30 to 60 s when it makes new files, which
    // slows whichever copy comes first after a mass delete; let that window close.
    if (o.settle > 0) {
        std::printf("settling %d s\n", o.settle);
        std::fflush(stdout);
        ::sleep(unsigned(o.settle));
    }
    const QString tag = QString::number(round);
    for (const QString f : {"copy-ours", "copy-peer", "back-ours", "back-peer"})
        QDir(dir.path()).mkpath(f + tag);
    std::printf("round %d (%s first)\n", round + 1, oursFirst ? "ours" : "find -exec");
    auto pair = [&](auto ourRun, auto peerRun) {
        Timing ours, peer;
        if (oursFirst) {
            ours = ourRun();
            ::sync();
            peer = peerRun();
        } else {
            peer = peerRun();
            ::sync();
            ours = ourRun();
        }
        ::sync();
        return std::pair{ours, peer};
    };

    auto [copyOurs, copyPeer] = pair(
        [&] { return runOurs(manager, src, dir.filePath("copy-ours" + tag), Operation::Copy); },
        [&] {
            return runFind({src, "-name", "*.dat", "-exec", "cp", "-t", dir.filePath("copy-peer" + tag), "{}", "+"});
        });
    line("copy all *.dat into a target", copyOurs, copyPeer, countFiles(dir.filePath("copy-ours" + tag)), largeMb);
    if (countFiles(dir.filePath("copy-peer" + tag)) != all)
        std::fprintf(stderr, "peer copied %d files\n", countFiles(dir.filePath("copy-peer" + tag)));

    auto [moveOurs, movePeer] = pair(
        [&] {
            return runOurs(manager, dir.filePath("copy-ours" + tag), dir.filePath("back-ours" + tag), Operation::Move);
        },
        [&] {
            return runFind({dir.filePath("copy-peer" + tag), "-name", "*.dat", "-exec", "mv", "-t",
                            dir.filePath("back-peer" + tag), "{}", "+"});
        });
    line("move them back", moveOurs, movePeer, countFiles(dir.filePath("back-ours" + tag)));

    auto [deleteOurs, deletePeer] =
        pair([&] { return runOurs(manager, dir.filePath("back-ours" + tag), {}, Operation::Delete); },
             [&] {
                 return runFind({dir.filePath("back-peer" + tag), "-name", "*.dat", "-exec", "rm", "{}", "+"});
             });
    line("delete them", deleteOurs, deletePeer, all - countFiles(dir.filePath("back-ours" + tag)));
    if (countFiles(dir.filePath("back-peer" + tag)) != 0)
        std::fprintf(stderr, "peer left %d files\n", countFiles(dir.filePath("back-peer" + tag)));
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const Options o = parseOptions(app.arguments());

    QTemporaryDir dir(o.root + QStringLiteral("/korvane-fm-bench-XXXXXX"));
    if (!dir.isValid()) {
        std::fprintf(stderr, "cannot make a folder under %s\n", qPrintable(o.root));
        return 1;
    }
    const QString src = dir.filePath("src");
    makeTree(dir, src, o);

    platform::LocalFileSystem fs;
    filemanager::BatchFileManager manager(fs);
    if (o.progress) {
        measureProgressCalls(src);
        compareProgress(manager, src, dir, o);
        measureCancel(manager, src, dir, o);
        return dir.remove() ? 0 : 1;
    }
    compareLargeCopy(manager, src, dir, o);
    for (int round = 0; round < o.rounds; ++round)
        compareRound(manager, src, dir, o, round);

    QElapsedTimer timer;
    timer.start();
    const bool removed = dir.remove();
    std::printf("\ntree removed: %s (%.1f s)\n", removed ? "yes" : "NO", bench::elapsedSeconds(timer));
    return removed ? 0 : 1;
}
