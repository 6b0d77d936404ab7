// Times a drawing's thumbnail at 256 px, PNG encoding included, against reading the file's first
// 100 KB; and the whole thumbnailer process as a file manager starts it.
//   bench_thumbnailer [testdata folder]   (default: $KORVANE_TESTDATA, then the build's guess)
// Prints medians per file of warm-cache runs, in milliseconds.
#include "thumbnailer/dwgthumbnailer.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

volatile qint64 g_sink = 0; // keeps the optimiser from dropping the work

double medianMillis(int runs, const std::function<void()>& work)
{
    std::vector<double> times;
    work(); // warm the cache
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::nth_element(times.begin(), times.begin() + runs / 2, times.end());
    return times[size_t(runs / 2)];
}

/// User and system time of every child waited for so far: a process's cost without the wait
/// for a loaded machine's cores.
double childrenCpuMillis()
{
    struct rusage usage {};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

void readFirst100K(const QByteArray& path)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    static char buffer[100 * 1024];
    g_sink = g_sink + ::read(fd, buffer, sizeof buffer);
    ::close(fd);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QString root = argc > 1 ? QString::fromLocal8Bit(argv[1]) : qEnvironmentVariable("KORVANE_TESTDATA");
    if (root.isEmpty())
        root = QStringLiteral(KORVANE_DEFAULT_TESTDATA);
    const QDir samples(root + QStringLiteral("/dwg"));
    const QStringList names = samples.entryList({QStringLiteral("*.dwg")}, QDir::Files, QDir::Name);
    if (names.isEmpty()) {
        std::fprintf(stderr, "no sample drawings in %s\n", qPrintable(samples.path()));
        return 1;
    }
    QTemporaryDir temp;
    const QString output = temp.filePath(QStringLiteral("thumb.png"));
    const int runs = 200;
    const int processRuns = 30;
    std::printf("medians of warm runs (%d in process, %d as a process), milliseconds per file\n", runs, processRuns);
    std::printf("%-30s %9s %11s %11s %13s %9s %5s\n", "file", "bytes", "thumb+png", "first100K", "process wall",
                "its CPU", "exit");
    double worst = 0;
    double worstCpu = 0;
    for (const QString& name : names) {
        const QString path = samples.filePath(name);
        const QByteArray raw = QFile::encodeName(path);
        const double thumb = medianMillis(runs, [&] {
            const QImage image = korvane::thumbnailer::thumbnailImage(path, 256);
            QByteArray png;
            QBuffer buffer(&png);
            buffer.open(QIODevice::WriteOnly);
            if (!image.isNull())
                image.save(&buffer, "PNG");
            g_sink = g_sink + png.size();
        });
        const double first = medianMillis(runs, [&] { readFirst100K(raw); });
        int exitCode = -1;
        const double cpuBefore = childrenCpuMillis();
        const double process = medianMillis(processRuns, [&] {
            exitCode = QProcess::execute(QStringLiteral(KORVANE_THUMBNAILER),
                                         {QStringLiteral("-s"), QStringLiteral("256"), path, output});
        });
        const double cpu = (childrenCpuMillis() - cpuBefore) / (processRuns + 1);
        worst = std::max(worst, process);
        worstCpu = std::max(worstCpu, cpu);
        std::printf("%-30s %9lld %11.3f %11.3f %13.2f %9.2f %5d\n", qPrintable(name), QFileInfo(path).size(), thumb,
                    first, process, cpu, exitCode);
    }
    // What any process start costs here, and one that loads Qt without reading a drawing.
    const double floor = medianMillis(processRuns, [] { QProcess::execute(QStringLiteral("/bin/true"), {}); });
    const double qtOnly = medianMillis(processRuns, [] {
        QProcess p;
        p.setStandardErrorFile(QProcess::nullDevice());
        p.start(QStringLiteral(KORVANE_THUMBNAILER), {});
        p.waitForFinished();
    });
    std::printf("slowest whole process: %.2f ms wall, %.2f ms CPU; starting /bin/true: %.2f ms; the thumbnailer "
                "refusing its arguments (Qt loaded, nothing read): %.2f ms\n",
                worst, worstCpu, floor, qtOnly);
    return 0;
}
