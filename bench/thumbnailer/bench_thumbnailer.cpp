// Times a drawing's thumbnail at 256 px, PNG encoding included, against reading the file's first
// 100 KB; and the whole thumbnailer process as a file manager starts it.
//   bench_thumbnailer [testdata folder]   (default: $KORVANE_TESTDATA, then the build's guess)
// Prints medians per file of warm-cache runs, in milliseconds.
#include "benchutil.h"
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
#include <unistd.h>
#include <vector>

namespace bench = korvane::bench;

namespace {

volatile qint64 g_sink = 0; // keeps the optimiser from dropping the work

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
    const QDir samples(bench::samplesRoot(argc, argv, KORVANE_DEFAULT_TESTDATA) + QStringLiteral("/dwg"));
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
        const double thumb = bench::medianOfRuns<std::milli>(runs, [&] {
            const QImage image = korvane::thumbnailer::thumbnailImage(path, 256);
            QByteArray png;
            QBuffer buffer(&png);
            buffer.open(QIODevice::WriteOnly);
            if (!image.isNull())
                image.save(&buffer, "PNG");
            g_sink = g_sink + png.size();
        });
        const double first = bench::medianOfRuns<std::milli>(runs, [&] { readFirst100K(raw); });
        int exitCode = -1;
        const double cpuBefore = bench::cpuSeconds(RUSAGE_CHILDREN) * 1e3;
        const double process = bench::medianOfRuns<std::milli>(processRuns, [&] {
            exitCode = QProcess::execute(QStringLiteral(KORVANE_THUMBNAILER),
                                         {QStringLiteral("-s"), QStringLiteral("256"), path, output});
        });
        const double cpu = (bench::cpuSeconds(RUSAGE_CHILDREN) * 1e3 - cpuBefore) / (processRuns + 1);
        worst = std::max(worst, process);
        worstCpu = std::max(worstCpu, cpu);
        std::printf("%-30s %9lld %11.3f %11.3f %13.2f %9.2f %5d\n", qPrintable(name), QFileInfo(path).size(), thumb,
                    first, process, cpu, exitCode);
    }
    // What any process start costs here, and one that loads Qt without reading a drawing.
    const double floor =
        bench::medianOfRuns<std::milli>(processRuns, [] { QProcess::execute(QStringLiteral("/bin/true"), {}); });
    const double qtOnly = bench::medianOfRuns<std::milli>(processRuns, [] {
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
