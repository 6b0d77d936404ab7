// Timings of the batch list window's heavy paths, through the window's own handlers:
//  1. adding a folder tree of 100,000 files (1,000 folders x 100 files, 20,000 matching) to an
//     empty list, beside `find <tree> -type f -iname '*doc'` on the same tree;
//  2. a compiler run over 30,000 entries with a fake program starter (90,000 lines appended).
// Both handlers return once their run has started: each timing lasts until the run has ended.
// `--compile-only` times the second alone (for a profiler).
#include "batchlist/frmcompile.h"
#include "benchutil.h"
#include "platform/fakes/fakeservices.h"
#include "platform/localfilesystem.h"
#include "platform/widgets/backgroundrun.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace korvane;

namespace {

constexpr int kFolders = 1000;
constexpr int kFilesPerFolder = 100;
constexpr int kMatchingPerFolder = 20;
int kRepeats = 7; ///< `--runs N` for fewer under a profiler

/// CPU time of every thread of the process so far: on a shared machine the wall time says more
/// about the load than about the run.
double cpuMs(clockid_t clock = CLOCK_PROCESS_CPUTIME_ID)
{
    timespec t{};
    ::clock_gettime(clock, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

/// Runs the event loop until every run has ended and its window has taken the outcome.
void waitForRuns()
{
    while (!platform::BackgroundRun::runsInFlight().isEmpty())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
}

/// The shared window configured for "doc", the way the document encryptor walks.
class DocWindow final : public batchlist::BatchListWindow {
public:
    explicit DocWindow(platform::Services& services) : BatchListWindow(services, config(), nullptr) { finishLoad({}); }

protected:
    batchlist::BatchRunHooks& runHooks() override { return m_hooks; }

private:
    struct NoHooks final : batchlist::BatchRunHooks {
        QStringList comp(batchlist::BatchRunContext&, const batchlist::BatchEntry&) override { return {}; }
    } m_hooks;

    static batchlist::BatchListConfig config()
    {
        batchlist::BatchListConfig c;
        c.objectName = QStringLiteral("bench");
        c.extensions = QStringLiteral("doc");
        c.countSuffix = QStringLiteral("个文档等待加密");
        return c;
    }
};

bool makeTree(const QByteArray& root)
{
    for (int d = 0; d < kFolders; ++d) {
        // Ten top folders of a hundred each, so the walk goes more than one level deep.
        const QByteArray top = root + "/t" + QByteArray::number(d / 100);
        ::mkdir(top.constData(), 0755);
        const QByteArray folder = top + "/d" + QByteArray::number(d);
        if (::mkdir(folder.constData(), 0755) != 0)
            return false;
        for (int f = 0; f < kFilesPerFolder; ++f) {
            const QByteArray name = folder + "/file" + QByteArray::number(f) +
                                    (f < kMatchingPerFolder ? (f % 2 ? ".DOC" : ".doc") : (f % 3 ? ".txt" : ".docx"));
            const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
            if (fd < 0)
                return false;
            ::close(fd);
        }
    }
    return true;
}

/// find, with its output read through a pipe as any consumer would; the first run warms the cache.
void timeFind(const QString& root, std::vector<double>& times, int& count)
{
    for (int i = 0; i < kRepeats + 1; ++i) {
        QProcess find;
        QElapsedTimer timer;
        timer.start();
        find.start(QStringLiteral("find"), {root, "-type", "f", "-iname", "*doc"});
        find.waitForFinished(-1);
        const double ms = bench::elapsedMs(timer);
        count = int(find.readAllStandardOutput().count('\n'));
        if (i > 0)
            times.push_back(ms);
    }
}

/// The window's own add-folder path, into a list emptied before each run.
void timeAddFolder(platform::FakeServices& fakes, platform::Services& services, const QString& root,
                   std::vector<double>& times, int& listed)
{
    DocWindow window(services);
    window.show();
    auto* list = window.findChild<QListWidget*>(QStringLiteral("List1"));
    for (int i = 0; i < kRepeats; ++i) {
        window.Command7_Click();
        fakes.folders.answers << root;
        QElapsedTimer timer;
        timer.start();
        window.Command4_Click();
        waitForRuns();
        times.push_back(bench::elapsedMs(timer));
        listed = list->count();
    }
}

/// A compiler run over 30,000 entries; false when it did not start every entry or log every line.
bool timeCompilerRun(platform::FakeServices& fakes, platform::Services& services, const QString& compiler,
                     std::vector<double>& times, std::vector<double>& cpuTimes, std::vector<double>& uiCpuTimes)
{
    QFile(compiler).open(QIODevice::WriteOnly);
    // A Windows compiler is started through wine: the fake must know where wine is, or the
    // run refuses before the first entry.
    fakes.programs.executables.insert(QStringLiteral("wine"), QStringLiteral("/usr/bin/wine"));
    for (int i = 0; i < kRepeats; ++i) {
        fakes.programs.calls.clear();
        batchlist::frmCompile window(services);
        window.show();
        window.findChild<QLineEdit*>(QStringLiteral("Text2"))->setText(compiler);
        for (int e = 0; e < 30000; ++e) {
            const QString path = QStringLiteral("/projects/group%1/project%2.vbp").arg(e / 100).arg(e);
            window.addEntry({path, path.toUtf8()});
        }
        QElapsedTimer timer;
        const double cpuBefore = cpuMs(), uiCpuBefore = cpuMs(CLOCK_THREAD_CPUTIME_ID);
        timer.start();
        window.Command2_Click();
        waitForRuns();
        times.push_back(bench::elapsedMs(timer));
        cpuTimes.push_back(cpuMs() - cpuBefore);
        uiCpuTimes.push_back(cpuMs(CLOCK_THREAD_CPUTIME_ID) - uiCpuBefore);
        const auto lines = window.findChild<QPlainTextEdit*>(QStringLiteral("Text3"))->toPlainText().count(u'\n');
        // Each project: its line, the missing project file's warning and "  已完成".
        if (fakes.programs.calls.size() != 30000 || lines != 3 * 30000 + 2) {
            std::fprintf(stderr, "run went wrong: %lld starts, %lld lines\n", qlonglong(fakes.programs.calls.size()),
                         qlonglong(lines));
            return false;
        }
    }
    return true;
}

/// The folder walk beside find; false when the tree could not be built.
bool timeWalk(platform::FakeServices& fakes, platform::Services& services, const QTemporaryDir& dir)
{
    const QByteArray root = QFile::encodeName(dir.path());
    QElapsedTimer timer;
    timer.start();
    if (!makeTree(root)) {
        std::fprintf(stderr, "could not build the tree\n");
        return false;
    }
    std::printf("tree: %d files in %d folders (%d matching), built in %lld ms\n", kFolders * kFilesPerFolder, kFolders,
                kFolders * kMatchingPerFolder, timer.elapsed());
    std::vector<double> findTimes, walkTimes;
    int findCount = 0, listed = 0;
    timeFind(dir.path(), findTimes, findCount);
    timeAddFolder(fakes, services, dir.path(), walkTimes, listed);
    const double findMs = bench::median(findTimes), walkMs = bench::median(walkTimes);
    std::printf("add folder tree: median %.1f ms over %d runs, %d entries listed\n", walkMs, kRepeats, listed);
    std::printf("find -iname '*doc': median %.1f ms, %d paths\n", findMs, findCount);
    std::printf("ratio: %.2f x find (target <= 3)\n", walkMs / findMs);
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    bench::offscreenUnlessSet();
    QApplication app(argc, argv);

    const QStringList args = app.arguments();
    const bool compileOnly = args.contains(QStringLiteral("--compile-only"));
    if (const qsizetype runs = args.indexOf(QStringLiteral("--runs")); runs > 0 && runs + 1 < args.size())
        kRepeats = std::max(1, args[runs + 1].toInt());
    QTemporaryDir dir;
    platform::FakeServices fakes;
    platform::LocalFileSystem localFs;
    platform::Services& f = fakes.services();
    platform::Services services{f.messages, f.folders, f.files,    f.input,         f.settings, f.programs,
                                f.desktop,  localFs,   f.registry, f.programFolder, nullptr};
    if (!compileOnly && !timeWalk(fakes, services, dir))
        return 1;

    std::vector<double> runTimes, runCpu, uiCpu;
    if (!timeCompilerRun(fakes, services, dir.filePath(QStringLiteral("vb6.exe")), runTimes, runCpu, uiCpu))
        return 1;
    // The user-interface thread's share shows what the information box costs.
    std::printf("run over 30000 entries (fake starter): median %.1f ms, min %.1f, max %.1f, CPU median %.1f ms "
                "(target <= 400 ms), of it the user-interface thread %.1f ms\n",
                bench::median(runTimes), *std::min_element(runTimes.begin(), runTimes.end()),
                *std::max_element(runTimes.begin(), runTimes.end()), bench::median(runCpu), bench::median(uiCpu));
    return 0;
}
