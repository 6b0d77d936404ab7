// `korvane-cli files copy` beside `find … -exec cp -t T {} +`, both as whole processes, in
// interleaved pairs (the order turned each pair), medians of wall and CPU time:
//
//   unique     20 folders × 1,000 files of 1 KB, every name unique
//   replacing  20 folders × 1,000 files of 1 KB with the same names: a flattened copy makes
//              1,000 files and replaces 19,000. cp will not replace a file it made itself in the
//              same call, so the peer runs one find -exec cp per source folder.
//   large      10 files of 100 MB, each side followed by sync
//   reflink    the large files on a btrfs or xfs image on a loop device (root, mkfs and the
//              kernel's support needed; skipped otherwise)
//
//   bench_copy [--root DIR] [--pairs N] [--cli PATH] [--rows unique,replacing,large,reflink]
//              [--jobs N] [--tab LABEL] [--strace 1]
//
// --jobs N hands `--jobs N` to korvane-cli (default: its own choice for the target's disk).
// --tab LABEL prints one tab-separated line per row instead, for a table of every benchmark:
//   job  ours_wall  peer_wall  ours_cpu  peer_cpu  (medians, seconds; the job named "ROW LABEL")
//   wall_ratio_min  wall_ratio_max  cpu_ratio_min  cpu_ratio_max  (the spread of the pairs)
// At least 7 pairs are run whatever --pairs says: fewer give no median worth reading on a
// machine that others share.
// Run the whole program under `taskset -c 0` to measure on one core: the children inherit it.
// With --strace 1 it instead runs each side of the two small-file rows once under strace -f -c
// and prints the system calls per copied file.

#include "benchutil.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace korvane;

namespace {

struct Timing {
    double wall = 0;
    double cpu = 0;
};

/// Runs a program with its output thrown away; its own and its children's CPU time from wait4.
Timing spawn(const QStringList& arguments)
{
    std::vector<QByteArray> bytes;
    for (const QString& a : arguments)
        bytes.push_back(QFile::encodeName(a));
    std::vector<char*> argv;
    for (QByteArray& b : bytes)
        argv.push_back(b.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    QElapsedTimer timer;
    timer.start();
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        std::fprintf(stderr, "cannot start %s\n", argv[0]);
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    struct rusage usage {};
    ::wait4(pid, &status, 0, &usage);
    const double wall = bench::elapsedSeconds(timer);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        std::fprintf(stderr, "%s ended with status %d\n", argv[0], status);
    const auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return {wall, seconds(usage.ru_utime) + seconds(usage.ru_stime)};
}

bool writeBytes(const QString& path, const QByteArray& chunk, int repeat)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    bool ok = fd >= 0;
    for (int i = 0; i < repeat && ok; ++i)
        ok = ::write(fd, chunk.constData(), size_t(chunk.size())) == chunk.size();
    return fd >= 0 && ::close(fd) == 0 && ok;
}

/// 20 folders of 1,000 files of 1 KB, named uniquely or alike in every folder.
void makeSmallTree(const QString& root, bool sameNames)
{
    for (int d = 0; d < 20; ++d) {
        const QString folder = root + QStringLiteral("/d%1").arg(d, 2, 10, QLatin1Char('0'));
        QDir().mkpath(folder);
        const QByteArray content(1024, char('a' + d));
        for (int i = 0; i < 1000; ++i) {
            const int n = sameNames ? i : d * 1000 + i;
            writeBytes(folder + QStringLiteral("/f%1.dat").arg(n, 5, 10, QLatin1Char('0')), content, 1);
        }
    }
}

void makeLargeTree(const QString& root)
{
    QDir().mkpath(root);
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    for (qsizetype i = 0; i < chunk.size(); ++i)
        chunk[i] = char((i * 131) ^ (i >> 9));
    for (int i = 0; i < 10; ++i)
        writeBytes(root + QStringLiteral("/large%1.dat").arg(i), chunk, 100);
}

struct Row {
    QString name;
    QString source;
    bool peerPerFolder = false; ///< one find -exec cp per source folder
    bool sync = false;          ///< each side's time includes a sync
};

QString g_jobs; ///< --jobs for korvane-cli, empty for its own choice
QString g_tab;  ///< the label of the tab-separated rows; empty for the table for people

QStringList oursCommand(const QString& cli, const Row& row, const QString& target)
{
    QStringList command{cli, QStringLiteral("files"), QStringLiteral("copy"), QStringLiteral("--type"),
                        QStringLiteral("dat")};
    if (!g_jobs.isEmpty())
        command << QStringLiteral("--jobs") << g_jobs;
    return command << row.source << target;
}

QList<QStringList> peerCommands(const Row& row, const QString& target)
{
    QStringList sources{row.source};
    if (row.peerPerFolder) {
        sources.clear();
        for (const QString& d : QDir(row.source).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name))
            sources.append(row.source + "/" + d);
    }
    QList<QStringList> commands;
    for (const QString& s : sources)
        commands.append({QStringLiteral("find"), s, QStringLiteral("-name"), QStringLiteral("*.dat"),
                         QStringLiteral("-exec"), QStringLiteral("cp"), QStringLiteral("-t"), target,
                         QStringLiteral("{}"), QStringLiteral("+")});
    return commands;
}

Timing timeSide(const QList<QStringList>& commands, bool sync)
{
    ::sync(); // the last run's writeback is not this one's
    QElapsedTimer timer;
    timer.start();
    Timing total;
    for (const QStringList& c : commands)
        total.cpu += spawn(c).cpu;
    if (sync)
        ::sync();
    total.wall = bench::elapsedSeconds(timer);
    return total;
}

int filesIn(const QString& folder)
{
    return int(QDir(folder).entryList(QDir::Files | QDir::Hidden).size());
}

void runRow(const QString& cli, const Row& row, const QString& work, int pairs)
{
    std::vector<double> wall[2], cpu[2], wallRatio, cpuRatio;
    int counts[2] = {0, 0};
    for (int pair = 0; pair < pairs; ++pair) {
        Timing t[2];
        for (const int side : {pair % 2, 1 - pair % 2}) {
            // A fresh folder each time: removing 20,000 files just before a run would slow it.
            const QString target = work + QStringLiteral("/target-%1-%2").arg(pair).arg(side);
            QDir().mkpath(target);
            t[side] = timeSide(
                side == 0 ? QList<QStringList>{oursCommand(cli, row, target)} : peerCommands(row, target), row.sync);
            counts[side] = filesIn(target);
            if (row.sync) // ten files go at once, and a gigabyte per run would fill a tmpfs
                QDir(target).removeRecursively();
        }
        for (const int side : {0, 1}) {
            wall[side].push_back(t[side].wall);
            cpu[side].push_back(t[side].cpu);
        }
        wallRatio.push_back(t[0].wall / t[1].wall);
        cpuRatio.push_back(t[0].cpu / t[1].cpu);
    }
    const auto low = [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); };
    const auto high = [](const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); };
    if (!g_tab.isEmpty()) {
        std::printf("copy %s %s\t%.3f\t%.3f\t%.3f\t%.3f\t%.3f\t%.3f\t%.3f\t%.3f\n", qPrintable(row.name),
                    qPrintable(g_tab), bench::median(wall[0]), bench::median(wall[1]), bench::median(cpu[0]),
                    bench::median(cpu[1]), low(wallRatio), high(wallRatio), low(cpuRatio), high(cpuRatio));
    } else {
        // Each median with the spread of the values it was taken from.
        const auto show = [&](const std::vector<double>& v, const char* format) {
            std::printf(format, bench::median(v), low(v), high(v));
        };
        std::printf("%-10s wall ", qPrintable(row.name));
        show(wall[0], "%.3f (%.3f–%.3f)");
        show(wall[1], " / %.3f (%.3f–%.3f) s");
        show(wallRatio, ", ratio %.2f (%.2f–%.2f)");
        std::printf("\n%-10s cpu  ", "");
        show(cpu[0], "%.3f (%.3f–%.3f)");
        show(cpu[1], " / %.3f (%.3f–%.3f) s");
        show(cpuRatio, ", ratio %.2f (%.2f–%.2f)");
        std::printf("\n%-10s files %d / %d\n", "", counts[0], counts[1]);
    }
    std::fflush(stdout);
    for (int pair = 0; pair < pairs; ++pair) {
        for (const int side : {0, 1})
            QDir(work + QStringLiteral("/target-%1-%2").arg(pair).arg(side)).removeRecursively();
    }
}

/// strace -c's table: calls per system call, summed over the runs.
std::map<QString, long> straceCounts(const QList<QStringList>& commands, const QString& log)
{
    std::map<QString, long> calls;
    for (const QStringList& c : commands) {
        spawn(QStringList{QStringLiteral("strace"), QStringLiteral("-f"), QStringLiteral("-c"), QStringLiteral("-o"),
                          log} +
              c);
        QFile file(log);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        // "% time  seconds  usecs/call  calls  errors syscall"; errors may be blank.
        for (const QByteArray& line : file.readAll().split('\n')) {
            const QList<QByteArray> f = line.simplified().split(' ');
            bool number = false;
            if (f.size() < 5 || (f[0].toDouble(&number), !number) || f.last() == "total")
                continue;
            calls[QString::fromLatin1(f.last())] += f[3].toLong();
        }
    }
    return calls;
}

void runStrace(const QString& cli, const Row& row, const QString& work)
{
    std::map<QString, long> calls[2];
    for (const int side : {0, 1}) {
        const QString target = work + QStringLiteral("/strace-target");
        QDir(target).removeRecursively();
        QDir().mkpath(target);
        calls[side] =
            straceCounts(side == 0 ? QList<QStringList>{oursCommand(cli, row, target)} : peerCommands(row, target),
                         work + QStringLiteral("/strace.log"));
        QDir(target).removeRecursively();
    }
    std::map<QString, std::pair<long, long>> both;
    long totals[2] = {0, 0};
    for (const int side : {0, 1}) {
        for (const auto& [name, n] : calls[side]) {
            (side == 0 ? both[name].first : both[name].second) = n;
            totals[side] += n;
        }
    }
    constexpr double kFiles = 20000;
    std::printf("%s: system calls per copied file, korvane-cli / cp (with find)\n", qPrintable(row.name));
    for (const auto& [name, n] : both) {
        if (double(n.first) / kFiles >= 0.05 || double(n.second) / kFiles >= 0.05)
            std::printf("  %-16s %6.2f  %6.2f\n", qPrintable(name), double(n.first) / kFiles,
                        double(n.second) / kFiles);
    }
    std::printf("  %-16s %6.2f  %6.2f\n", "all", double(totals[0]) / kFiles, double(totals[1]) / kFiles);
    std::fflush(stdout);
}

/// A btrfs or xfs file system on a loop device, for copies that share extents; unmounted at the end.
class ReflinkMount {
public:
    explicit ReflinkMount(const QString& work) : m_image(work + "/reflink.img"), m_path(work + "/reflink")
    {
        QDir().mkpath(m_path);
        for (const char* kind : {"btrfs", "xfs"}) {
            const QString mkfs = QStandardPaths::findExecutable(QStringLiteral("mkfs.") + kind, {"/usr/sbin", "/sbin"});
            QFile image(m_image);
            if (mkfs.isEmpty() || !image.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
                !image.resize(qint64(3) << 30))
                continue;
            image.close();
            if (QProcess::execute(mkfs, {QStringLiteral("-q"), m_image}) == 0 &&
                QProcess::execute(QStringLiteral("mount"),
                                  {QStringLiteral("-o"), QStringLiteral("loop"), m_image, m_path}) == 0) {
                m_kind = kind;
                return;
            }
        }
    }
    ~ReflinkMount()
    {
        if (!m_kind.isEmpty())
            QProcess::execute(QStringLiteral("umount"), {m_path});
        QFile::remove(m_image);
    }
    QString kind() const { return m_kind; }
    QString path() const { return m_path; }

private:
    QString m_image;
    QString m_path;
    QString m_kind;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QString root = QStringLiteral("/tmp");
    QString cli = QCoreApplication::applicationDirPath() + QStringLiteral("/korvane-cli");
    QStringList rows{"unique", "replacing", "large", "reflink"};
    int pairs = 7;
    bool strace = false;
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == "--root")
            root = args[i + 1];
        else if (args[i] == "--pairs")
            pairs = std::max(7, args[i + 1].toInt());
        else if (args[i] == "--cli")
            cli = args[i + 1];
        else if (args[i] == "--rows")
            rows = args[i + 1].split(',');
        else if (args[i] == "--jobs")
            g_jobs = args[i + 1];
        else if (args[i] == "--tab")
            g_tab = args[i + 1];
        else if (args[i] == "--strace")
            strace = args[i + 1].toInt() != 0;
    }
    QTemporaryDir work(root + QStringLiteral("/korvane-copy-bench-XXXXXX"));
    if (!work.isValid() || !QFileInfo(cli).isExecutable()) {
        std::fprintf(stderr, "need a folder under %s and korvane-cli (%s)\n", qPrintable(root), qPrintable(cli));
        return 1;
    }
    if (g_tab.isEmpty())
        std::printf("korvane-cli files copy / find -exec cp -t, %d interleaved pairs, medians, under %s\n", pairs,
                    qPrintable(work.path()));
    for (const QString& name : rows) {
        Row row{name, work.filePath(name)};
        std::unique_ptr<ReflinkMount> reflink;
        if (name == "unique" || name == "replacing") {
            row.peerPerFolder = name == "replacing";
            makeSmallTree(row.source, row.peerPerFolder);
        } else if (name == "large" || name == "reflink") {
            row.sync = true;
            if (name == "reflink") {
                reflink = std::make_unique<ReflinkMount>(work.path());
                if (reflink->kind().isEmpty()) {
                    if (!g_tab.isEmpty())
                        continue;
                    std::printf("%-10s skipped: no btrfs or xfs image could be made and mounted\n", "reflink");
                    continue;
                }
                row.source = reflink->path() + "/src";
                row.name = "reflink (" + reflink->kind() + ")";
            }
            makeLargeTree(row.source);
        } else {
            continue;
        }
        ::sync();
        const QString place = reflink ? reflink->path() : work.path();
        if (strace && row.sync)
            continue;
        if (strace)
            runStrace(cli, row, place);
        else
            runRow(cli, row, place, pairs);
        if (reflink)
            QDir(row.source).removeRecursively();
    }
    return 0;
}
