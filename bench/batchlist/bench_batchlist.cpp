// Timings of the batch list window's heavy paths, through the window's own handlers:
//  1. adding a folder tree of 100,000 files (1,000 folders x 100 files, 20,000 matching) to an
//     empty list, beside `find <tree> -type f -iname '*doc'` on the same tree;
//  2. a compiler run over 30,000 entries with a fake program starter (30,000 lines appended).
#include "batchlist/frmcompile.h"
#include "platform/fakes/fakeservices.h"
#include "platform/localfilesystem.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace korvane;

namespace {

constexpr int kFolders = 1000;
constexpr int kFilesPerFolder = 100;
constexpr int kMatchingPerFolder = 20;
constexpr int kRepeats = 7;

/// The shared window configured for "doc", the way the document encryptor walks.
class DocWindow final : public batchlist::BatchListWindow {
public:
    explicit DocWindow(platform::Services& services) : BatchListWindow(services, config(), nullptr) { finishLoad({}); }

protected:
    QStringList comp(const batchlist::BatchEntry&) override { return {}; }

private:
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

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    QTemporaryDir dir;
    const QByteArray root = QFile::encodeName(dir.path());
    QElapsedTimer timer;
    timer.start();
    if (!makeTree(root)) {
        std::fprintf(stderr, "could not build the tree\n");
        return 1;
    }
    std::printf("tree: %d files in %d folders (%d matching), built in %lld ms\n", kFolders * kFilesPerFolder, kFolders,
                kFolders * kMatchingPerFolder, timer.elapsed());

    platform::FakeServices fakes;
    platform::LocalFileSystem localFs;
    platform::Services& f = fakes.services();
    platform::Services services{f.messages, f.folders, f.files,    f.input,         f.settings, f.programs,
                                f.desktop,  localFs,   f.registry, f.programFolder, nullptr};

    // find, with its output read through a pipe as any consumer would.
    std::vector<double> findTimes;
    int findCount = 0;
    for (int i = 0; i < kRepeats + 1; ++i) {
        QProcess find;
        timer.restart();
        find.start(QStringLiteral("find"), {dir.path(), "-type", "f", "-iname", "*doc"});
        find.waitForFinished(-1);
        const double ms = double(timer.nsecsElapsed()) / 1e6;
        findCount = int(find.readAllStandardOutput().count('\n'));
        if (i > 0) // the first run warms the cache
            findTimes.push_back(ms);
    }

    std::vector<double> walkTimes;
    int listed = 0;
    {
        DocWindow window(services);
        window.show();
        auto* list = window.findChild<QListWidget*>(QStringLiteral("List1"));
        for (int i = 0; i < kRepeats; ++i) {
            window.Command7_Click();
            fakes.folders.answers << dir.path();
            timer.restart();
            window.Command4_Click();
            walkTimes.push_back(double(timer.nsecsElapsed()) / 1e6);
            listed = list->count();
        }
    }
    const double findMs = median(findTimes), walkMs = median(walkTimes);
    std::printf("add folder tree: median %.1f ms over %d runs, %d entries listed\n", walkMs, kRepeats, listed);
    std::printf("find -iname '*doc': median %.1f ms, %d paths\n", findMs, findCount);
    std::printf("ratio: %.2f x find (target <= 3)\n", walkMs / findMs);

    // A compiler run over 30,000 entries.
    const QString compiler = dir.filePath(QStringLiteral("vb6.exe"));
    QFile(compiler).open(QIODevice::WriteOnly);
    std::vector<double> runTimes;
    for (int i = 0; i < 3; ++i) {
        fakes.programs.calls.clear();
        batchlist::frmCompile window(services);
        window.show();
        window.findChild<QLineEdit*>(QStringLiteral("Text2"))->setText(compiler);
        for (int e = 0; e < 30000; ++e) {
            const QString path = QStringLiteral("/projects/group%1/project%2.vbp").arg(e / 100).arg(e);
            window.addEntry({path, path.toUtf8()});
        }
        timer.restart();
        window.Command2_Click();
        runTimes.push_back(double(timer.nsecsElapsed()) / 1e6);
        const int lines = window.findChild<QPlainTextEdit*>(QStringLiteral("Text3"))->document()->blockCount();
        if (fakes.programs.calls.size() != 30000 || lines != 30000 + 3) {
            std::fprintf(stderr, "run went wrong: %lld starts, %d blocks\n", qlonglong(fakes.programs.calls.size()),
                         lines);
            return 1;
        }
    }
    std::printf("run over 30000 entries (fake starter): median %.1f ms (target < 1000 ms)\n", median(runTimes));
    return 0;
}
