// Decompiling help files: our extraction (in the helper process, as the window runs it, and
// in-process to show what the process costs) beside extract_chmLib and 7z x on the same files.
//
//   bench_helpdecompiler [--rounds N] [--large] [--dir FOLDER] [file.chm ...]
//   bench_helpdecompiler --rows [--rounds N] [--dir FOLDER] [--files HELPFILES]
//
// --rows times korvane-cli as a user runs it beside its peers, on all cores and on one
// (taskset -c 0), pairs interleaved, and prints one line a job:
// job<TAB>ours_wall_ms<TAB>peer_wall_ms<TAB>ours_cpu_ms<TAB>peer_cpu_ms (medians); the spread
// goes to standard error. With --files, the jobs are instead one a help file of the folder
// HELPFILES against 7z x, and standard error ends with the median and largest wall ratio.
//
// Always measures a help file of 2,000 pages (about 24 MB of HTML) compiled with chmcmd here;
// --large adds one of 20,000 pages; the shared samples' real help files and any files named
// on the command line are measured too. Prints wall-clock medians and the CPU time used.
// The whole run as the window makes it (walk, helper, project file) is timed with progress
// reporting off and on, and the largest file's run is stopped half-way to time the cancel.
// Output goes below FOLDER (default: the system's temporary folder).
#include "benchutil.h"
#include "helpdecompiler/chmextractor.h"
#include "helpdecompiler/decompilerun.h"
#include "helpdecompiler/extractprocess.h"
#include "helpdecompiler/fullproject.h"
#include "helpdecompiler/helpproject.h"
#include "platform/localfilesystem.h"
#include "platform/qtprogramstarter.h"
#include "platform/runcontrol.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

using namespace korvane::helpdecompiler;
namespace bench = korvane::bench;

namespace {

struct Sample {
    double wallMs = 0;
    double cpuMs = 0; // user + system, ours and our children
    qint64 files = 0;
    bool ok = false;
};

qint64 countFiles(const QString& folder)
{
    qint64 n = 0;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(folder.toStdString(), ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_regular_file(ec))
            ++n;
    }
    return n;
}

bool runProgram(const QString& program, const QStringList& args)
{
    QProcess p;
    p.setStandardOutputFile(QProcess::nullDevice());
    p.setStandardErrorFile(QProcess::nullDevice());
    p.start(program, args);
    return p.waitForFinished(600000) && p.exitStatus() == QProcess::NormalExit;
}

Sample measure(const QString& workFolder, const std::function<bool(const QString& out)>& run)
{
    const QString out = workFolder + QStringLiteral("/out");
    std::error_code ec;
    std::filesystem::remove_all(out.toStdString(), ec);
    QDir().mkpath(out);
    Sample s;
    const double cpu0 = bench::cpuSecondsWithChildren() * 1000;
    QElapsedTimer timer;
    timer.start();
    s.ok = run(out);
    s.wallMs = bench::elapsedMs(timer);
    s.cpuMs = bench::cpuSecondsWithChildren() * 1000 - cpu0;
    s.files = countFiles(out);
    std::filesystem::remove_all(out.toStdString(), ec);
    return s;
}

QString buildHelpFile(const QString& folder, int pages)
{
    QDir().mkpath(folder + QStringLiteral("/p"));
    const char* words[] = {"the",    "help",   "file", "decompiler", "writes",    "every", "page", "under",
                           "output", "folder", "with", "its",        "structure", "and",   "a",    "project"};
    QRandomGenerator random(7);
    QByteArray hhp = "[OPTIONS]\r\nCompatibility=1.1 or later\r\nCompiled file=bench.chm\r\nDefault topic=index.htm\r\n"
                     "Display compile progress=No\r\nLanguage=0x409 English (United "
                     "States)\r\n\r\n[FILES]\r\nindex.htm\r\n";
    QFile index(folder + QStringLiteral("/index.htm"));
    index.open(QIODevice::WriteOnly);
    index.write("<html><body>index</body></html>");
    index.close();
    for (int i = 0; i < pages; ++i) {
        const QByteArray sub = "p/s" + QByteArray::number(i / 100);
        QDir().mkpath(folder + QLatin1Char('/') + QString::fromLatin1(sub));
        const QByteArray name = sub + "/page" + QByteArray::number(i) + ".htm";
        QByteArray body = "<html><head><title>Page " + QByteArray::number(i) + "</title></head><body><p>";
        for (int w = 0; w < 1800; ++w) {
            body += words[random.bounded(16)];
            body += ' ';
        }
        body += "</p></body></html>";
        QFile f(folder + QLatin1Char('/') + QString::fromLatin1(name));
        f.open(QIODevice::WriteOnly);
        f.write(body);
        hhp += name + "\r\n";
    }
    hhp += "\r\n[INFOTYPES]\r\n";
    QFile project(folder + QStringLiteral("/bench.hhp"));
    project.open(QIODevice::WriteOnly);
    project.write(hhp);
    project.close();
    QProcess chmcmd;
    chmcmd.setWorkingDirectory(folder);
    chmcmd.setProcessChannelMode(QProcess::MergedChannels);
    chmcmd.start(QStringLiteral("chmcmd"), {QStringLiteral("--no-html-scan"), QStringLiteral("bench.hhp")});
    if (!chmcmd.waitForFinished(1800000) || chmcmd.exitCode() != 0)
        return {};
    return folder + QStringLiteral("/bench.chm");
}

struct Options {
    int rounds = 5;
    bool large = false;
    bool rows = false;
    QString folder = QDir::tempPath();
    QString helpFiles; ///< --files: a folder of real help files, one job each
    QStringList inputs;
};

Options parseOptions(const QStringList& args)
{
    Options o;
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--rounds") && i + 1 < args.size())
            o.rounds = std::max(1, args[++i].toInt());
        else if (args[i] == QLatin1String("--dir") && i + 1 < args.size())
            o.folder = args[++i];
        else if (args[i] == QLatin1String("--large"))
            o.large = true;
        else if (args[i] == QLatin1String("--rows"))
            o.rows = true;
        else if (args[i] == QLatin1String("--files") && i + 1 < args.size())
            o.helpFiles = args[++i];
        else
            o.inputs << args[i];
    }
    return o;
}

/// The help files built here first, then the files named, then the shared samples; empty
/// when the 2,000-page file could not be built.
QStringList gatherInputs(const QString& work, const Options& o)
{
    QStringList inputs = o.inputs;
    std::printf("building the 2,000-page help file with chmcmd...\n");
    std::fflush(stdout);
    const QString built = buildHelpFile(work + QStringLiteral("/src2000"), 2000);
    if (built.isEmpty())
        return {};
    inputs.prepend(built);
    if (o.large) {
        std::printf("building the 20,000-page help file with chmcmd...\n");
        std::fflush(stdout);
        const QString big = buildHelpFile(work + QStringLiteral("/src20000"), 20000);
        if (!big.isEmpty())
            inputs.insert(1, big);
    }
    const QString data = qEnvironmentVariable("KORVANE_TESTDATA", QCoreApplication::applicationDirPath() +
                                                                      QStringLiteral("/../../../shared/testdata"));
    for (const char* real : {"/chm/real/putty.chm", "/chm/real/7-zip.chm"}) {
        if (QFileInfo::exists(data + QString::fromLatin1(real)))
            inputs << data + QString::fromLatin1(real);
    }
    return inputs;
}

struct Tool {
    const char* name;
    std::function<bool(const QString&)> run;
    std::vector<double> wall, cpu;
    qint64 files = -1;
    bool ok = true;
};

/// The window's whole run (walk, helper, project file) over the help file linked into `out`;
/// with the full project it also writes <project>.full.hhp.
using WholeRun = std::function<bool(const QString& out, korvane::platform::RunControl* control, ProjectKind kind)>;

/// Everything timed on one help file: ours in both forms, the window's run, and the peers found.
std::vector<Tool> makeTools(ExtractProcess& process, const QString& copy, quint64 size, const WholeRun& wholeRun)
{
    const QString extractChmLib = QStandardPaths::findExecutable(QStringLiteral("extract_chmLib"));
    const QString sevenZip = QStandardPaths::findExecutable(QStringLiteral("7z"));
    std::vector<Tool> tools;
    tools.push_back({"korvane (helper process)",
                     [&process, copy, size](const QString& out) {
                         const ExtractReport r = process.extract(copy.toUtf8(), out.toUtf8(), "x", size);
                         return r.opened && r.error.empty();
                     },
                     {},
                     {}});
    tools.push_back({"korvane (in-process)",
                     [copy, size](const QString& out) {
                         const ExtractReport r =
                             extractChm(copy.toUtf8(), out.toUtf8(), "x", {ExtractLimits::defaultFor(size)});
                         return r.opened && r.error.empty();
                     },
                     {},
                     {}});
    tools.push_back({"korvane run, progress off",
                     [wholeRun](const QString& out) { return wholeRun(out, nullptr, ProjectKind::Hhp); },
                     {},
                     {}});
    tools.push_back({"korvane run, full project",
                     [wholeRun](const QString& out) { return wholeRun(out, nullptr, ProjectKind::Full); },
                     {},
                     {}});
    tools.push_back({"korvane run, progress on",
                     [wholeRun](const QString& out) {
                         korvane::platform::RunControl control;
                         return wholeRun(out, &control, ProjectKind::Hhp);
                     },
                     {},
                     {}});
    if (!extractChmLib.isEmpty())
        tools.push_back({"extract_chmLib",
                         [extractChmLib, copy](const QString& out) {
                             return runProgram(extractChmLib, {copy, out + QStringLiteral("/x")});
                         },
                         {},
                         {}});
    if (!sevenZip.isEmpty())
        tools.push_back({"7z x",
                         [sevenZip, copy](const QString& out) {
                             return runProgram(sevenZip, {QStringLiteral("x"), QStringLiteral("-y"),
                                                          QStringLiteral("-o") + out + QStringLiteral("/x"), copy});
                         },
                         {},
                         {}});
    return tools;
}

void timeTools(std::vector<Tool>& tools, const QString& work, int rounds)
{
    for (int round = 0; round < rounds; ++round) {
        for (Tool& tool : tools) { // interleaved, so a busy moment hurts every tool alike
            const Sample s = measure(work, tool.run);
            tool.wall.push_back(s.wallMs);
            tool.cpu.push_back(s.cpuMs);
            tool.files = s.files;
            tool.ok = tool.ok && s.ok;
        }
    }
}

void printTools(const QFileInfo& info, int rounds, const std::vector<Tool>& tools)
{
    std::printf("\n%s  (%lld bytes, %d rounds)\n", qPrintable(info.fileName()), qint64(info.size()), rounds);
    std::printf("  %-26s %12s %12s %12s %8s\n", "tool", "median ms", "min ms", "cpu ms", "files");
    for (const Tool& tool : tools) {
        std::printf("  %-26s %12.1f %12.1f %12.1f %8lld%s\n", tool.name, bench::median(tool.wall),
                    *std::min_element(tool.wall.begin(), tool.wall.end()), bench::median(tool.cpu),
                    static_cast<long long>(tool.files), tool.ok ? "" : "  (reported failure)");
    }
    // The full project against the .hhp alone: the median of the round-by-round ratios, which
    // holds when the machine's speed drifts between rounds.
    const auto named = [&tools](const char* name) {
        return std::find_if(tools.begin(), tools.end(),
                            [name](const Tool& t) { return std::strcmp(t.name, name) == 0; });
    };
    const auto hhp = named("korvane run, progress off");
    const auto full = named("korvane run, full project");
    if (hhp != tools.end() && full != tools.end()) {
        std::vector<double> ratios;
        for (std::size_t i = 0; i < hhp->wall.size(); ++i)
            ratios.push_back(full->wall[i] / hhp->wall[i]);
        std::printf("  full project / .hhp alone: medians %.3f, round-by-round median %.3f, cpu medians %.3f "
                    "(target <= 1.05)\n",
                    bench::median(full->wall) / bench::median(hhp->wall), bench::median(ratios),
                    bench::median(full->cpu) / bench::median(hhp->cpu));
    }
    std::fflush(stdout);
}

/// The project writers alone, on one extracted folder: what the full project adds, without the
/// extraction's noise around it.
void timeProjectWriters(ExtractProcess& process, const QString& copy, quint64 size, const QString& work, int rounds)
{
    const QString target = work + QStringLiteral("/writers/");
    QDir().mkpath(target);
    const ExtractReport report = process.extract(copy.toUtf8(), target.toUtf8(), "x", size);
    korvane::platform::LocalFileSystem fs;
    const QByteArray folder = (target + QStringLiteral("x")).toUtf8();
    std::vector<double> hhp, full;
    for (int round = 0; round < rounds; ++round) {
        QElapsedTimer timer;
        timer.start();
        writeHelpProject(fs, "x.chm", "x", folder);
        hhp.push_back(bench::elapsedMs(timer));
        timer.restart();
        writeFullProject(fs, "x.chm", "x", folder, report.project);
        full.push_back(bench::elapsedMs(timer));
    }
    std::printf("  project writers alone: .hhp %.2f ms, full project %.2f ms more (medians)\n", bench::median(hhp),
                bench::median(full));
    std::error_code ec;
    std::filesystem::remove_all(target.toStdString(), ec);
}

/// Stops the window's run half-way through the time the file takes, then counts what it left.
void measureCancel(const QString& work, int rounds, double halfMs, const WholeRun& wholeRun)
{
    std::vector<double> latencies;
    qint64 left = 0;
    for (int round = 0; round < rounds; ++round) {
        korvane::platform::RunControl control;
        QElapsedTimer stopAt;
        const Sample s = measure(work, [&](const QString& out) {
            std::thread run([&] { wholeRun(out, &control, ProjectKind::Hhp); });
            std::this_thread::sleep_for(std::chrono::milliseconds(qint64(halfMs)));
            stopAt.start();
            control.requestStop();
            run.join();
            latencies.push_back(bench::elapsedMs(stopAt));
            return true;
        });
        left = s.files - 1; // less the link to the help file
    }
    std::printf("  cancelled after %.0f ms: latency median %.1f ms, max %.1f ms (target < 1000 ms); %lld files "
                "left\n",
                halfMs, bench::median(latencies), *std::max_element(latencies.begin(), latencies.end()), left);
    std::fflush(stdout);
}

/// One command line of a job: what it runs, with the folder it writes cleared before each run.
struct Command {
    QString program;
    QStringList arguments;
};

/// Wall and CPU milliseconds of running `commands` one after another (children waited for).
Sample timeCommands(const QList<Command>& commands, bool oneCore, const QStringList& clear)
{
    std::error_code ec;
    for (const QString& folder : clear)
        std::filesystem::remove_all(folder.toStdString(), ec);
    Sample s;
    s.ok = true;
    const double cpu0 = bench::cpuSeconds(RUSAGE_CHILDREN) * 1000;
    QElapsedTimer timer;
    timer.start();
    for (const Command& c : commands) {
        s.ok = (oneCore ? runProgram(QStringLiteral("taskset"),
                                     QStringList{QStringLiteral("-c"), QStringLiteral("0"), c.program} + c.arguments)
                        : runProgram(c.program, c.arguments)) &&
               s.ok;
    }
    s.wallMs = bench::elapsedMs(timer);
    s.cpuMs = bench::cpuSeconds(RUSAGE_CHILDREN) * 1000 - cpu0;
    for (const QString& folder : clear)
        std::filesystem::remove_all(folder.toStdString(), ec);
    return s;
}

struct Contender {
    const char* name;
    QList<Command> commands;
    QStringList clear; ///< folders its output goes to
    std::vector<double> wall, cpu;
};

void spread(const char* job, const Contender& c)
{
    std::fprintf(stderr, "%s: %s wall median %.1f ms (min %.1f, max %.1f), cpu median %.1f ms\n", job, c.name,
                 bench::median(c.wall), *std::min_element(c.wall.begin(), c.wall.end()),
                 *std::max_element(c.wall.begin(), c.wall.end()), bench::median(c.cpu));
}

/// Ours against the fastest of the peers (by median wall time), interleaved round by round.
/// Returns the wall and CPU ratios of the medians.
std::pair<double, double> row(const QString& job, Contender ours, std::vector<Contender> peers, int rounds,
                              bool oneCore)
{
    for (int round = 0; round < rounds; ++round) {
        for (Contender* c : [&] {
                 std::vector<Contender*> all{&ours};
                 for (Contender& p : peers)
                     all.push_back(&p);
                 if (round % 2)
                     std::reverse(all.begin(), all.end()); // neither side always runs first
                 return all;
             }()) {
            const Sample s = timeCommands(c->commands, oneCore, c->clear);
            c->wall.push_back(s.wallMs);
            c->cpu.push_back(s.cpuMs);
        }
    }
    const QByteArray name = (job + (oneCore ? QStringLiteral(" (taskset -c 0)") : QString())).toUtf8();
    spread(name.constData(), ours);
    const Contender* best = &peers.front();
    for (const Contender& p : peers) {
        spread(name.constData(), p);
        if (bench::median(p.wall) < bench::median(best->wall))
            best = &p;
    }
    std::printf("%s\t%.1f\t%.1f\t%.1f\t%.1f\n", name.constData(), bench::median(ours.wall), bench::median(best->wall),
                bench::median(ours.cpu), bench::median(best->cpu));
    std::fflush(stdout);
    return {bench::median(ours.wall) / bench::median(best->wall), bench::median(ours.cpu) / bench::median(best->cpu)};
}

/// One job a help file of `folder` against 7z x, each in a folder of its own (the command line
/// writes beside the file); the ratios' median and largest go to standard error.
int helpFileRows(const Options& o, const QString& work, const QString& cli, const QString& sevenZip)
{
    QStringList names;
    for (const QString& name : QDir(o.helpFiles).entryList(QDir::Files, QDir::Name)) {
        if (name.right(3).toLower() == QLatin1String("chm") && name.indexOf(QLatin1Char('.')) > 0)
            names << name;
    }
    if (names.isEmpty()) {
        std::fprintf(stderr, "no help files in %s\n", qPrintable(o.helpFiles));
        return 1;
    }
    for (const bool oneCore : {false, true}) {
        std::vector<double> wall, cpu;
        for (qsizetype i = 0; i < names.size(); ++i) {
            const QString folder = work + QStringLiteral("/set%1").arg(i);
            const QString file = folder + QLatin1Char('/') + names[i];
            QDir().mkpath(folder);
            QFile::copy(o.helpFiles + QLatin1Char('/') + names[i], file);
            const QString project = names[i].left(names[i].indexOf(QLatin1Char('.')));
            const auto [w, c] = row(QStringLiteral("decompile ") + names[i],
                                    {"korvane-cli",
                                     {{cli, {QStringLiteral("chm"), QStringLiteral("decompile"), file}}},
                                     {folder + QLatin1Char('/') + project},
                                     {},
                                     {}},
                                    {{"7z x",
                                      {{sevenZip,
                                        {QStringLiteral("x"), QStringLiteral("-y"),
                                         QStringLiteral("-o") + folder + QStringLiteral("/7z"), file}}},
                                      {folder + QStringLiteral("/7z")},
                                      {},
                                      {}}},
                                    o.rounds, oneCore);
            wall.push_back(w);
            cpu.push_back(c);
        }
        std::fprintf(stderr, "%lld help files%s: wall ratio median %.2f (min %.2f, max %.2f), cpu ratio median %.2f\n",
                     qlonglong(names.size()), oneCore ? " (taskset -c 0)" : "", bench::median(wall),
                     *std::min_element(wall.begin(), wall.end()), *std::max_element(wall.begin(), wall.end()),
                     bench::median(cpu));
    }
    return 0;
}

int printRows(const Options& o, const QString& work)
{
    const QString bin = QCoreApplication::applicationDirPath();
    const QString cli = bin + QStringLiteral("/korvane-cli");
    const QString sevenZip = QStandardPaths::findExecutable(QStringLiteral("7z"));
    const QString chmLib = QStandardPaths::findExecutable(QStringLiteral("extract_chmLib"));
    const QString data = qEnvironmentVariable("KORVANE_TESTDATA", bin + QStringLiteral("/../../../shared/testdata"));
    const QString putty = data + QStringLiteral("/chm/real/putty.chm");
    if (!o.helpFiles.isEmpty() && !sevenZip.isEmpty() && QFileInfo::exists(cli))
        return helpFileRows(o, work, cli, sevenZip);
    if (sevenZip.isEmpty() || !QFileInfo::exists(putty) || !QFileInfo::exists(cli)) {
        std::fprintf(stderr, "needs 7z, korvane-cli and %s\n", qPrintable(putty));
        return 1;
    }
    // putty.chm alone: the command line writes beside the file, the peers into a folder.
    const QString one = work + QStringLiteral("/one");
    QDir().mkpath(one);
    QFile::copy(putty, one + QStringLiteral("/putty.chm"));
    const auto puttyJob = [&](bool oneCore) {
        std::vector<Contender> peers{
            {"7z x",
             {{sevenZip,
               {QStringLiteral("x"), QStringLiteral("-y"), QStringLiteral("-o") + one + QStringLiteral("/7z"),
                one + QStringLiteral("/putty.chm")}}},
             {one + QStringLiteral("/7z")},
             {},
             {}}};
        if (!chmLib.isEmpty())
            peers.push_back({"extract_chmLib",
                             {{chmLib, {one + QStringLiteral("/putty.chm"), one + QStringLiteral("/chmlib")}}},
                             {one + QStringLiteral("/chmlib")},
                             {},
                             {}});
        row(QStringLiteral("decompile putty.chm"),
            {"korvane-cli",
             {{cli, {QStringLiteral("chm"), QStringLiteral("decompile"), one + QStringLiteral("/putty.chm")}}},
             {one + QStringLiteral("/putty")},
             {},
             {}},
            peers, o.rounds, oneCore);
    };
    // Fifteen help files of 500 pages in one folder: the command line walks it, 7z x takes
    // them one after another.
    std::printf("# building the 500-page help file with chmcmd...\n");
    std::fflush(stdout);
    const QString built = buildHelpFile(work + QStringLiteral("/src500"), 500);
    if (built.isEmpty())
        return 1;
    const QString many = work + QStringLiteral("/many");
    QDir().mkpath(many);
    QList<Command> loop;
    QStringList oursOut, peerOut;
    for (int i = 1; i <= 15; ++i) {
        const QString name = QStringLiteral("help%1").arg(i, 2, 10, QLatin1Char('0'));
        QFile::copy(built, many + QLatin1Char('/') + name + QStringLiteral(".chm"));
        oursOut << many + QLatin1Char('/') + name;
        peerOut << work + QStringLiteral("/7z/") + name;
        loop.append({sevenZip,
                     {QStringLiteral("x"), QStringLiteral("-y"), QStringLiteral("-o") + peerOut.last(),
                      many + QLatin1Char('/') + name + QStringLiteral(".chm")}});
    }
    const auto manyJob = [&](bool oneCore) {
        row(QStringLiteral("decompile 15 help files (CLI)"),
            {"korvane-cli", {{cli, {QStringLiteral("chm"), QStringLiteral("decompile"), many}}}, oursOut, {}, {}},
            {{"loop of 7z x", loop, peerOut, {}, {}}}, o.rounds, oneCore);
    };
    for (const bool oneCore : {false, true}) {
        puttyJob(oneCore);
        manyJob(oneCore);
    }
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const Options o = parseOptions(app.arguments().mid(1));
    QTemporaryDir work(o.folder + QStringLiteral("/bench_helpdecompiler-XXXXXX"));
    if (QStandardPaths::findExecutable(QStringLiteral("chmcmd")).isEmpty()) {
        std::fprintf(stderr, "chmcmd is not installed\n");
        return 1;
    }
    if (o.rows)
        return printRows(o, work.path());
    const QStringList inputs = gatherInputs(work.path(), o);
    if (inputs.isEmpty())
        return 1;

    korvane::platform::QtProgramStarter programs;
    korvane::platform::LocalFileSystem fs;
    ExtractProcess process(programs, fs,
                           QCoreApplication::applicationDirPath() + QStringLiteral("/korvane-chmextract"));
    for (const QString& input : inputs) {
        const QFileInfo info(input);
        const QString copy = work.path() + QStringLiteral("/input.chm");
        QFile::remove(copy);
        QFile::copy(input, copy);
        const WholeRun wholeRun = [&](const QString& out, korvane::platform::RunControl* control, ProjectKind kind) {
            QFile::link(copy, out + QStringLiteral("/input.chm"));
            DecompileRun run(fs, [&](const korvane::platform::NativePath& file,
                                     const korvane::platform::NativePath& target, const QByteArray& project,
                                     quint64 size) { return process.extract(file, target, project, size); });
            run.setProjectKind(kind);
            const auto outcomes = run.run((out + QLatin1Char('/')).toUtf8(), false, true, control);
            return outcomes.size() == 1 && outcomes.first().clean();
        };
        std::vector<Tool> tools = makeTools(process, copy, quint64(info.size()), wholeRun);
        timeTools(tools, work.path(), o.rounds);
        printTools(info, o.rounds, tools);
        timeProjectWriters(process, copy, quint64(info.size()), work.path(), o.rounds);
        if (input != inputs.first() && !(o.large && input == inputs[1]))
            continue;
        measureCancel(work.path(), o.rounds, bench::median(tools.front().wall) / 2, wholeRun);
    }
    return 0;
}
